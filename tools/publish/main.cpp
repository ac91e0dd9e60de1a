// vesk-publish: cuts a program into chunks, compresses each behind its size, and stores
// them in CopyRight with the version record in BVersion, in one transaction.
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDB.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QtEndian>
#include <cstdio>
#include <zlib.h>

namespace {

[[noreturn]] void fail(const QString &message)
{
    fprintf(stderr, "vesk-publish: %s\n", qPrintable(message));
    exit(1);
}

QByteArray chunkRecord(const char *data, qsizetype size, int level)
{
    uLongf bound = compressBound(uLong(size));
    QByteArray record(4 + qsizetype(bound), Qt::Uninitialized);
    qToLittleEndian<qint32>(qint32(size), record.data());
    if (compress2(reinterpret_cast<Bytef *>(record.data() + 4), &bound, reinterpret_cast<const Bytef *>(data),
                  uLong(size), level) != Z_OK)
        fail(QStringLiteral("compression failed"));
    record.resize(4 + qsizetype(bound));
    return record;
}

QSqlQuery run(SqlConnection &c, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    bool ok = values.isEmpty() ? q.exec(sql) : q.prepare(sql);
    if (ok && !values.isEmpty()) {
        for (const QVariant &v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok)
        throw Exception(databaseErrorText(q.lastError()));
    return q;
}

bool tableExists(SqlConnection &c, const QString &table)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    return q.exec(QStringLiteral("SELECT * FROM %1 WHERE 1=0").arg(table));
}

// Reads every chunk back through the launcher's own decoder and compares it with the file.
void verify(SqlConnection &c, const QByteArray &program, int version)
{
    QSqlQuery v = run(c, QStringLiteral("select * from  BVersion "));
    if (!v.next())
        throw Exception(QStringLiteral("BVersion holds no row"));
    if (v.value(QStringLiteral("Version")).toInt() != version)
        throw Exception(QStringLiteral("BVersion.Version is %1, not %2").arg(v.value(QStringLiteral("Version")).toInt()).arg(version));
    const int counts = v.value(QStringLiteral("Counts")).toInt();
    v.finish();
    QByteArray rebuilt;
    TLoadBinaryDataToDB loader;
    for (int i = 0; i < counts; ++i) {
        QSqlQuery q = run(c, QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(i));
        if (!q.next())
            throw Exception(QStringLiteral("chunk %1 is missing").arg(i));
        TMemoryStream chunk;
        chunk.data = q.value(QStringLiteral("ExEPic")).toByteArray();
        loader.DecompressChunk(chunk);
        rebuilt += chunk.data;
    }
    if (rebuilt != program)
        throw Exception(QStringLiteral("the stored chunks do not give back the file (%1 bytes stored, %2 in the file)")
                            .arg(rebuilt.size()).arg(program.size()));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Publishes a main client program into CopyRight and BVersion. The password is read from the\n"
        "environment variable VESK_PUBLISH_PASSWORD, so that it never shows on a command line."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("program"), QStringLiteral("the program file to publish"));
    QCommandLineOption server(QStringLiteral("server"), QStringLiteral("database server (host, host,port, host\\instance)"), QStringLiteral("server"));
    QCommandLineOption database(QStringLiteral("database"), QStringLiteral("public database (default VeskDB)"), QStringLiteral("name"), QStringLiteral("VeskDB"));
    QCommandLineOption user(QStringLiteral("user"), QStringLiteral("database login (default VeskLogin)"), QStringLiteral("login"), QStringLiteral("VeskLogin"));
    QCommandLineOption version(QStringLiteral("version"), QStringLiteral("version number to announce (not 0)"), QStringLiteral("n"));
    QCommandLineOption chunkSize(QStringLiteral("chunk-size"), QStringLiteral("bytes of the program in one chunk (default 262144)"), QStringLiteral("bytes"), QStringLiteral("262144"));
    QCommandLineOption level(QStringLiteral("level"), QStringLiteral("zlib compression level 0-9 (default 9)"), QStringLiteral("level"), QStringLiteral("9"));
    QCommandLineOption create(QStringLiteral("create"), QStringLiteral("create BVersion and CopyRight when they are missing"));
    QCommandLineOption verifyOpt(QStringLiteral("verify"), QStringLiteral("read everything back and compare it byte for byte"));
    p.addOptions({server, database, user, version, chunkSize, level, create, verifyOpt});
    p.process(app);

    if (p.positionalArguments().size() != 1)
        fail(QStringLiteral("name one program file (see --help)"));
    if (!p.isSet(server) || !p.isSet(version))
        fail(QStringLiteral("--server and --version are required"));
    bool ok = false;
    const int ver = p.value(version).toInt(&ok);
    if (!ok || ver == 0)
        fail(QStringLiteral("--version must be a non-zero 32-bit integer"));
    const qlonglong size = p.value(chunkSize).toLongLong(&ok);
    if (!ok || size < 1 || size > 64 * 1024 * 1024)
        fail(QStringLiteral("--chunk-size must be between 1 and 67108864"));
    const int lvl = p.value(level).toInt(&ok);
    if (!ok || lvl < 0 || lvl > 9)
        fail(QStringLiteral("--level must be between 0 and 9"));

    QFile f(p.positionalArguments().first());
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1: %2").arg(f.fileName(), f.errorString()));
    const QByteArray program = f.readAll();
    f.close();

    try {
        SqlConnection c(QStringLiteral("publish"));
        c.setTarget({p.value(server), p.value(database)});
        c.open(p.value(user), qEnvironmentVariable("VESK_PUBLISH_PASSWORD"));
        if (p.isSet(create)) {
            if (!tableExists(c, QStringLiteral("BVersion")))
                run(c, QStringLiteral("CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL)"));
            if (!tableExists(c, QStringLiteral("CopyRight")))
                run(c, QStringLiteral("CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL)"));
        }
        QSqlDatabase db = c.database();
        if (!db.transaction())
            throw Exception(databaseErrorText(db.lastError()));
        try {
            run(c, QStringLiteral("DELETE FROM CopyRight"));
            // An empty program still gets one chunk, of size 0.
            int counts = 0;
            qsizetype at = 0;
            do {
                const qsizetype n = std::min<qsizetype>(size, program.size() - at);
                run(c, QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"),
                    {QString::number(counts), chunkRecord(program.constData() + at, n, lvl)});
                ++counts;
                at += n;
            } while (at < program.size());
            run(c, QStringLiteral("DELETE FROM BVersion"));
            run(c, QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (?, ?)"), {ver, counts});
            if (!db.commit())
                throw Exception(databaseErrorText(db.lastError()));
            printf("published %s: %lld bytes in %d chunks as version %d\n", qPrintable(f.fileName()),
                   qlonglong(program.size()), counts, ver);
        } catch (...) {
            db.rollback();
            throw;
        }
        if (p.isSet(verifyOpt)) {
            verify(c, program, ver);
            printf("verified: the stored chunks give back the file byte for byte\n");
        }
    } catch (const Exception &e) {
        fail(e.message());
    }
    return 0;
}
