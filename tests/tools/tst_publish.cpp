// vesk-publish as an administrator runs it: publishing, --show, progress on a terminal
// and not in a pipe, and each documented exit status from the failure it names.
#include "ChunkRecords.h"
#include "Files.h"
#include "TestServer.h"
#include "db/SqlConnection.h"
#include "upgrade/ProgramSeal.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QtTest>
#include <sys/stat.h>

namespace {

struct Run {
    int status;
    QString out, err;
};

Run publisher(const QStringList &args, const QString &password = TestServer::password)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (password.isNull())
        env.remove(QStringLiteral("VESK_PUBLISH_PASSWORD"));
    else
        env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), password);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VESK_PUBLISH), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The value after "label:" in --show's output.
QString shown(const QString &out, const QString &label)
{
    for (const QString &line : out.split(u'\n'))
        if (line.startsWith(label + u':'))
            return line.mid(label.size() + 1).trimmed();
    return {};
}

// What the stand-in reports of a table: each column's name, type, NOT NULL and place in the
// primary key, as its catalog (SQLite's table_info) holds them.
QStringList tableShape(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT name, type, \"notnull\", pk FROM pragma_table_info('%1')").arg(table)))
        return {q.lastError().text()};
    QStringList shape;
    while (q.next())
        shape << QStringLiteral("%1 %2 %3 key %4").arg(q.value(0).toString(), q.value(1).toString().toLower(),
                                                      q.value(2).toInt() ? QStringLiteral("NOT NULL") : QStringLiteral("NULL"),
                                                      q.value(3).toString());
    return shape;
}

// Runs a script of docs/sql/ as sqlcmd does, batch after batch, in db (its USE left out);
// the errors of the batches that failed.
QStringList runScript(const QSqlDatabase &db, const QString &name)
{
    QFile f(QStringLiteral(VESK_SOURCE_DIR "/docs/sql/") + name);
    if (!f.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + name};
    QStringList errors;
    for (const QString &batch : QString::fromUtf8(f.readAll()).split(QRegularExpression(QStringLiteral("(?m)^GO\\s*$")))) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!batch.trimmed().isEmpty() && !batch.contains(QRegularExpression(QStringLiteral("(?m)^USE ")))
            && !q.exec(batch))
            errors << q.lastError().nativeErrorCode() + u' ' + q.lastError().text();
    }
    return errors;
}

class Site {
public:
    TestServer server;
    QTemporaryDir dir;
    SqlConnection admin{QStringLiteral("publish-admin")};

    explicit Site(const QStringList &serverArgs = {}) : server(TestServer::standardSchema(), serverArgs)
    {
        admin.setTarget({server.server(), QStringLiteral("VeskDB")});
        admin.open(TestServer::login, TestServer::password);
    }
    QString file(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("DovaDu.exe"));
        putFile(path, bytes);
        return path;
    }
    Run publish(const QByteArray &bytes, const QStringList &more = {})
    {
        return publisher(QStringList{"--server", server.server(), "--version", "7", "--chunk-size", "10000"} + more
                         << file(bytes));
    }
    Run show() { return publisher({QStringLiteral("--server"), server.server(), QStringLiteral("--show")}); }
};

} // namespace

class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void showTellsWhatWorkstationsGet()
    {
        Site s;
        QVERIFY(s.server.ok());
        const QByteArray program = chunks::programBytes(45000, 3);
        const Run pub = s.publish(program, {QStringLiteral("--verify")});
        QCOMPARE(pub.status, 0);
        // Not a terminal: one summary line, then the verification's.
        QCOMPARE(pub.out.count(u'\n'), 2);
        QVERIFY2(pub.out.startsWith(QStringLiteral("published ")), qPrintable(pub.out));
        QVERIFY(!pub.out.contains(u'\r'));

        const Run r = s.show();
        QCOMPARE(r.status, 0);
        QCOMPARE(shown(r.out, QStringLiteral("version")), QStringLiteral("7"));
        QCOMPARE(shown(r.out, QStringLiteral("chunks")), QStringLiteral("5"));
        QCOMPARE(shown(r.out, QStringLiteral("unpacked size")), QStringLiteral("45000 bytes (43.9 KiB)"));
        QCOMPARE(shown(r.out, QStringLiteral("sha-256")),
                 QString::fromLatin1(QCryptographicHash::hash(program, QCryptographicHash::Sha256).toHex()));
        QSqlQuery q(s.admin.database());
        q.setForwardOnly(true);
        QVERIFY(q.exec(QStringLiteral("SELECT ExEPic FROM CopyRight")));
        qint64 stored = 0;
        while (q.next())
            stored += q.value(0).toByteArray().size();
        QVERIFY(shown(r.out, QStringLiteral("stored size")).startsWith(QString::number(stored) + QStringLiteral(" bytes")));
        QVERIFY(r.out.contains(QStringLiteral("every chunk's record checked: 5 good")));
    }

    void showReportsDamage_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QByteArray>("value"); // bound to the statement's "?"
        QTest::addColumn<QString>("report");
        const QByteArray record = chunks::record(chunks::programBytes(10000, 5));
        QByteArray corrupt = record;
        for (int i = 20; i < 40; ++i)
            corrupt[i] = char(0xFF);
        const QString update = QStringLiteral("UPDATE CopyRight SET ExEPic = ? WHERE Idcol = '2'");
        QTest::newRow("no row") << QStringLiteral("DELETE FROM CopyRight WHERE Idcol = '1'") << QByteArray()
                                << QStringLiteral("chunk 1: no row in CopyRight");
        QTest::newRow("NULL") << QStringLiteral("UPDATE CopyRight SET ExEPic = NULL WHERE Idcol = '4'") << QByteArray()
                              << QStringLiteral("chunk 4: NULL in CopyRight.ExEPic (a workstation stops with \"Stream read error\")");
        QTest::newRow("too short") << update << QByteArray("\x10\x27", 2)
                                   << QStringLiteral("chunk 2: too short: 2 bytes, less than the 4-byte size in front");
        QTest::newRow("corrupt stream") << update << corrupt
                                        << QStringLiteral("chunk 2: corrupt stream: zlib finds \"");
        QTest::newRow("cut stream") << update << record.left(record.size() / 2)
                                    << QStringLiteral("chunk 2: cut stream: its data ends after ");
    }
    void showReportsDamage()
    {
        QFETCH(QString, damage);
        QFETCH(QByteArray, value);
        QFETCH(QString, report);
        Site s;
        QVERIFY(s.server.ok());
        QCOMPARE(s.publish(chunks::programBytes(45000, 4)).status, 0);
        execSql(s.admin.database(), damage, value.isNull() ? QVariantList{} : QVariantList{value});
        const Run r = s.show();
        QCOMPARE(r.status, 6);
        QVERIFY2(r.out.contains(report), qPrintable(r.out));
        QVERIFY(r.out.contains(QStringLiteral("damaged:        1 of 5 chunks")));
        QVERIFY(!r.out.contains(QStringLiteral("sha-256")));
    }

    // The operators' login may read what the launcher reads, and nothing else.
    void readOnlyLoginCannotPublish()
    {
        Site s(QStringList{QStringLiteral("--login"), QStringLiteral("Operators:op pw"), QStringLiteral("--read-only-login"),
                           QStringLiteral("Operators")});
        QVERIFY(s.server.ok());
        const Run first = s.publish("small program");
        QCOMPARE(first.status, 0);
        QVERIFY2(first.out.contains(QStringLiteral(" bytes in 1 chunk, ")), qPrintable(first.out));
        const QStringList asOperators{QStringLiteral("--server"), s.server.server(), QStringLiteral("--user"),
                                      QStringLiteral("Operators")};
        const QStringList show = asOperators + QStringList{QStringLiteral("--show")};
        const Run before = publisher(show, QStringLiteral("op pw"));
        QCOMPARE(before.status, 0);
        const Run refused = publisher(asOperators + QStringList{QStringLiteral("--version"), QStringLiteral("8"),
                                                                s.file(chunks::programBytes(30000, 9))},
                                      QStringLiteral("op pw"));
        QCOMPARE(refused.status, 5);
        QVERIFY2(refused.err.contains(QStringLiteral("deleting the old chunks: [FreeTDS][SQL Server]The DELETE permission "
                                                     "was denied on the object 'CopyRight', database 'VeskDB', schema 'dbo'.")),
                 qPrintable(refused.err));
        QVERIFY(refused.err.contains(QStringLiteral("publish with the publisher's login, --user")));
        const Run after = publisher(show, QStringLiteral("op pw"));
        QCOMPARE(after.out, before.out); // nothing changed
        QCOMPARE(shown(after.out, QStringLiteral("version")), QStringLiteral("7"));
    }

    void progressOnATerminalOnly()
    {
        Site s;
        QVERIFY(s.server.ok());
        const QString program = s.file(chunks::programBytes(300000, 6));
        // script(1) gives the publisher a pseudo-terminal for its output.
        const QString command = QStringLiteral("'%1' --server '%2' --version 2 --chunk-size 10000 '%3'")
                                    .arg(QStringLiteral(VESK_PUBLISH), s.server.server(), program);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), TestServer::password);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("script"), {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")});
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(p.exitCode() == 0, qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("\rsending chunk 30 of 30, 293.0 KiB of 293.0 KiB")), qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("published ")));
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << "option" << 2 << "Unknown option";
        QTest::newRow("no version") << "no version" << 2 << "--version is required";
        QTest::newRow("version 0") << "version 0" << 2 << "--version must be a non-zero";
        QTest::newRow("unreadable program") << "unreadable" << 3 << "cannot read";
        QTest::newRow("nobody listens") << "closed port" << 4 << "connecting to 127.0.0.1,";
        QTest::newRow("wrong password") << "password" << 4 << "Login failed for user 'VeskLogin'";
        QTest::newRow("no tables") << "no tables" << 5 << "deleting the old chunks: [FreeTDS][SQL Server]Invalid object name 'CopyRight'";
        QTest::newRow("nothing published") << "empty" << 6 << "reading BVersion: it holds no row";
        QTest::newRow("password not set") << "no password" << 2 << "VESK_PUBLISH_PASSWORD is not set";
        QTest::newRow("port out of range") << "port" << 2 << "must be a number from 1 to 65535";
        QTest::newRow("encryption required, none offered") << "encryption" << 4 << "the server offers no encryption";
        QTest::newRow("cut while asking for a table") << "cut" << 5 << "asking whether table BPatch exists: ";
    }
    void exitStatuses()
    {
        QFETCH(QString, failure);
        QFETCH(int, status);
        QFETCH(QString, message);
        const QStringList cut{QStringLiteral("--close-on"), QStringLiteral("WHERE 1=0")};
        TestServer server(failure == QLatin1String("no tables") ? QString() : TestServer::standardSchema(),
                          failure == QLatin1String("cut") ? cut : QStringList());
        QVERIFY(server.ok());
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("p.exe"));
        putFile(program, "program");
        QStringList args{QStringLiteral("--server"), server.server(), QStringLiteral("--version"), QStringLiteral("3"), program};
        QString password = TestServer::password;
        if (failure == QLatin1String("option"))
            args.prepend(QStringLiteral("--bogus"));
        else if (failure == QLatin1String("no version"))
            args = QStringList{QStringLiteral("--server"), server.server(), program};
        else if (failure == QLatin1String("version 0"))
            args[3] = QStringLiteral("0");
        else if (failure == QLatin1String("unreadable"))
            args.last() = dir.filePath(QStringLiteral("missing.exe"));
        else if (failure == QLatin1String("closed port"))
            args[1] = QStringLiteral("127.0.0.1,%1").arg(closedPort());
        else if (failure == QLatin1String("password"))
            password = QStringLiteral("wrong");
        else if (failure == QLatin1String("empty"))
            args = QStringList{QStringLiteral("--server"), server.server(), QStringLiteral("--show")};
        else if (failure == QLatin1String("no password"))
            password = QString();
        else if (failure == QLatin1String("port"))
            args[1] = QStringLiteral("127.0.0.1,65536");
        else if (failure == QLatin1String("encryption"))
            args << QStringLiteral("--encryption") << QStringLiteral("require");
        const Run r = publisher(args, password);
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY2(r.err.startsWith(QStringLiteral("vesk-publish: ")), qPrintable(r.err));
    }

    void releaseKeysAndSigning()
    {
        QTemporaryDir keys;
        const QString dir = keys.filePath(QStringLiteral("site"));
        const Run made = publisher({QStringLiteral("--keygen"), dir});
        QCOMPARE(made.status, 0);
        const QString privateKey = dir + QStringLiteral("/release.key");
        struct stat st{};
        QCOMPARE(::stat(QFile::encodeName(privateKey).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
        const QByteArray pub = fileBytes(dir + QStringLiteral("/release.pub"));
        QCOMPARE(pub.count('\n'), 1);
        const ReleaseKey key = ReleaseKey::parse(QString::fromLatin1(pub));
        QVERIFY(made.out.contains(key.fingerprint()));
        QCOMPARE(publisher({QStringLiteral("--keygen"), dir}).status, 1); // never replaced by accident
        QCOMPARE(fileBytes(dir + QStringLiteral("/release.pub")), pub);

        Site s;
        QVERIFY(s.server.ok());
        const QByteArray program = chunks::programBytes(45000, 6);
        QCOMPARE(s.publish(program).status, 0);
        QVERIFY2(shown(s.show().out, QStringLiteral("signature")).startsWith(QStringLiteral("none")), qPrintable(s.show().out));
        const Run signedRun = s.publish(program, {QStringLiteral("--sign"), privateKey, QStringLiteral("--verify")});
        QCOMPARE(signedRun.status, 0);
        const Run r = s.show();
        QCOMPARE(r.status, 0);
        const QString signature = shown(r.out, QStringLiteral("signature"));
        QVERIFY2(signature.startsWith(QStringLiteral("by key ") + key.fingerprint()), qPrintable(signature));
        QVERIFY(signature.endsWith(QStringLiteral("holds for this program, version and chunk count")));
        QVERIFY(shown(r.out, QStringLiteral("stored sha-256")).startsWith(QStringLiteral("the same")));
        execSql(s.admin.database(), QStringLiteral("UPDATE BVersion SET Version = 8"));
        const Run tampered = s.show();
        QCOMPARE(tampered.status, 6);
        QVERIFY(shown(tampered.out, QStringLiteral("signature")).endsWith(QStringLiteral("does NOT hold for this program")));
    }

    void badSigningKeys_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no such file
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << 0600 << "cannot read the signing key";
        QTest::newRow("not a key") << QByteArray("junk\n") << 0600 << "is not an Ed25519 private key";
        QTest::newRow("the public key") << QByteArray("ed25519:AAAA\n") << 0644 << "is the public key (release.pub)";
        QTest::newRow("readable by the group") << QByteArray("x") << 0640 << "may be read by others than its owner (mode 640)";
        QTest::newRow("readable by all") << QByteArray("x") << 0644 << "may be read by others than its owner (mode 644)";
    }
    void badSigningKeys()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(QString, message);
        Site s;
        QVERIFY(s.server.ok());
        QCOMPARE(s.publish(chunks::programBytes(1000, 7)).status, 0);
        const QString key = s.dir.filePath(QStringLiteral("release.key"));
        if (!content.isEmpty()) {
            putFile(key, content);
            QVERIFY(::chmod(QFile::encodeName(key).constData(), mode_t(mode)) == 0);
        }
        const Run r = publisher({QStringLiteral("--server"), s.server.server(), QStringLiteral("--version"),
                                 QStringLiteral("9"), QStringLiteral("--sign"), key, s.file("new")});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(shown(s.show().out, QStringLiteral("version")), QStringLiteral("7")); // nothing published
    }

    void patchesKeptShownAndDropped()
    {
        Site s;
        QVERIFY(s.server.ok());
        QList<QByteArray> releases{chunks::programBytes(300000, 5)};
        for (int i = 0; i < 3; ++i)
            releases << chunks::nextRelease(releases.last(), 20 + i);
        const QStringList keepTwo{QStringLiteral("--patches"), QStringLiteral("2")};
        QCOMPARE(s.publish(releases[0], keepTwo).status, 0);
        for (int i = 1; i < 3; ++i)
            QCOMPARE(s.publish(releases[i], keepTwo).status, 0);
        const Run last = s.publish(releases[3], keepTwo + QStringList{QStringLiteral("--verify")});
        QCOMPARE(last.status, 0);
        QVERIFY2(last.out.contains(QStringLiteral("stored a patch from the program published before"))
                     && last.out.contains(QStringLiteral("2 patches kept"))
                     && last.out.contains(QStringLiteral("verified: the stored patch turns the program published before "
                                                         "into the file byte for byte")),
                 qPrintable(last.out));
        Run r = s.show();
        QCOMPARE(r.status, 0);
        QCOMPARE(shown(r.out, QStringLiteral("patches")).left(8), QStringLiteral("2 stored"));
        QCOMPARE(r.out.count(QStringLiteral("makes the published program")), 1);
        QCOMPARE(r.out.count(QStringLiteral("leads to the published program in 2 steps")), 1);

        // A damaged part is named; --show still reports the program itself good.
        execSql(s.admin.database(),
                QStringLiteral("UPDATE BPatchPart SET Data = ? WHERE PatchId = (SELECT MIN(PatchId) FROM BPatch)"),
                {QByteArray("junk")});
        r = s.show();
        QCOMPARE(r.out.count(QStringLiteral("DAMAGED")), 1);

        // A program the published one shares next to nothing with: no patch is even made.
        const Run unrelated = s.publish(chunks::programBytes(300000, 8));
        QCOMPARE(unrelated.status, 0);
        QVERIFY2(unrelated.out.contains(QStringLiteral("no patch stored: the program published now holds only 0.0 % of "
                                                       "this one")),
                 qPrintable(unrelated.out));

        // Without a patch, the old ones lead nowhere and go.
        const Run plain = s.publish(chunks::programBytes(300000, 6), {QStringLiteral("--no-patch")});
        QCOMPARE(plain.status, 0);
        QVERIFY2(shown(s.show().out, QStringLiteral("patches")).startsWith(QStringLiteral("none stored")),
                 qPrintable(s.show().out));
    }

    // --create, the administrator's script, and an older database given its keys by
    // add-keys.sql make the same tables, keys included.
    void tablesAsTheScriptDefinesThem()
    {
        TestServer server(QString(), {QStringLiteral("--database"), QStringLiteral("Older")});
        QVERIFY(server.ok());
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("p.exe"));
        putFile(program, "program");
        const Run created = publisher({QStringLiteral("--server"), server.server(), QStringLiteral("--version"),
                                       QStringLiteral("1"), QStringLiteral("--create"), program});
        QVERIFY2(created.status == 0, qPrintable(created.err));
        SqlConnection byPublisher(QStringLiteral("by-publisher")), byScript(QStringLiteral("by-script")),
            older(QStringLiteral("older"));
        const QList<std::pair<SqlConnection *, QString>> databases{
            {&byPublisher, QStringLiteral("VeskDB")}, {&byScript, QStringLiteral("Voruvidi")}, {&older, QStringLiteral("Older")}};
        for (const auto &[c, name] : databases) {
            c->setTarget({server.server(), name});
            c->open(TestServer::login, TestServer::password);
        }
        const QStringList scriptErrors = runScript(byScript.database(), QStringLiteral("1-tables.sql"));
        QVERIFY2(scriptErrors.isEmpty(), qPrintable(scriptErrors.join(u'\n')));
        // The patch tables as the publisher made them before they had keys.
        execSql(older.database(), QStringLiteral("CREATE TABLE BPatch (PatchId int NOT NULL, FromSha256 varbinary(32) NOT "
                                                 "NULL, ToSha256 varbinary(32) NOT NULL, ToLength int NOT NULL, Parts int "
                                                 "NOT NULL, Bytes int NOT NULL, PatchSha256 varbinary(32) NOT NULL)"));
        execSql(older.database(), QStringLiteral("CREATE TABLE BPatchPart (PatchId int NOT NULL, Part int NOT NULL, Data "
                                                 "image NULL)"));
        execSql(older.database(), QStringLiteral("INSERT INTO BPatchPart (PatchId, Part, Data) VALUES (1, 0, ?)"),
                {QByteArray("kept")});
        const QStringList keyed = runScript(older.database(), QStringLiteral("add-keys.sql"));
        QVERIFY2(keyed.isEmpty(), qPrintable(keyed.join(u'\n')));
        // Run again, or on tables that have their keys: refused, nothing changed.
        const QStringList again = runScript(byScript.database(), QStringLiteral("add-keys.sql"));
        QVERIFY2(again.size() == 2 && again.filter(QStringLiteral("1779 ")).size() == 2, qPrintable(again.join(u'\n')));

        for (const char *table : {"BVersion", "CopyRight", "BPatch", "BPatchPart"}) {
            const QStringList script = tableShape(byScript.database(), QLatin1String(table));
            QVERIFY2(script.size() >= 2, qPrintable(script.join(u'\n')));
            QCOMPARE(tableShape(byPublisher.database(), QLatin1String(table)), script);
            if (QLatin1String(table).startsWith(QLatin1String("BPatch")))
                QCOMPARE(tableShape(older.database(), QLatin1String(table)), script);
        }
        QCOMPARE(tableShape(byScript.database(), QStringLiteral("BPatchPart")).filter(QRegularExpression(QStringLiteral("key [12]$"))).size(), 2);
        QCOMPARE(tableShape(byScript.database(), QStringLiteral("BPatch")).filter(QRegularExpression(QStringLiteral("key 1$"))),
                 QStringList{QStringLiteral("PatchId int NOT NULL key 1")});
        QSqlQuery kept(older.database());
        kept.setForwardOnly(true);
        QVERIFY(kept.exec(QStringLiteral("SELECT Data FROM BPatchPart WHERE PatchId = 1 AND Part = 0")) && kept.next());
        QCOMPARE(kept.value(0).toByteArray(), QByteArray("kept"));
        kept.finish();
        // The key holds: a part stored twice is refused.
        QSqlQuery twice(older.database());
        twice.setForwardOnly(true);
        QVERIFY(!twice.exec(QStringLiteral("INSERT INTO BPatchPart (PatchId, Part) VALUES (1, 0)")));
        QVERIFY2(twice.lastError().text().contains(QStringLiteral("Violation of PRIMARY KEY constraint")), qPrintable(twice.lastError().text()));
    }

    void helpExplainsEveryOption()
    {
        const Run r = publisher({QStringLiteral("--help")});
        QCOMPARE(r.status, 0);
        for (const char *option : {"--server", "--database", "--user", "--version", "--chunk-size", "--level", "--create",
                                   "--verify", "--show", "--keygen", "--sign", "--no-patch", "--patches", "--patch-part-size", "--encryption",
                                   "--ca-file", "VESK_RELEASE_KEYS",
                                   "VESK_PUBLISH_PASSWORD", "Examples:", "Exit status:"})
            QVERIFY2(r.out.contains(QLatin1String(option)), option);
        for (int status = 0; status <= 6; ++status)
            QVERIFY(r.out.contains(QStringLiteral("\n  %1  ").arg(status)));
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
