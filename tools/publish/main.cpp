// vesk-publish: cuts a program into chunks, compresses each behind its size, and stores
// them in CopyRight with the version record in BVersion, in one transaction; or, with
// --show, tells what is published now, as the workstations will rebuild it.
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "ChunkEncoder.h"
#include "ReleaseSigning.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "upgrade/ProgramSeal.h"
#include "upgrade/PublishedProgram.h"
#include "upgrade/patch/PatchReader.h"
#include "PatchMaker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>
#include <zlib.h>

namespace {

// Exit statuses, one for each class of failure.
enum Status {
    Ok = 0,
    Other = 1,
    Usage = 2,
    ProgramUnreadable = 3,
    CannotConnect = 4,
    DatabaseFailed = 5,
    Damaged = 6,
};

const char kEpilogue[] = R"(
The password of the database login is read from the environment variable
VESK_PUBLISH_PASSWORD, so that it never shows on a command line or in a process list.

Publishing replaces every row of CopyRight and the row of BVersion in one transaction:
the workstations see the old program or the new one, never a mix. BVersion also gets
the program's SHA-256 (column Sha256, added when missing), which every workstation
checks what it rebuilt against; with --sign, the release key's signature over the
version, the chunk count, the length and that SHA-256 (column Signature). A launcher
built with VESK_RELEASE_KEYS installs only programs signed by one of those keys. A
workstation that is downloading while a publish commits notices it and downloads the
new version at the next login.

When a program is published already, the publisher rebuilds it from the chunks, makes a
binary patch from it to the new one and stores it in the same transaction (tables
BPatch and BPatchPart, created when missing), keeping the patches of the last --patches
publishes. A workstation whose DovaDu.exe one of them starts from fetches only the
patches; any other falls back to the whole program. A patch is stored only when it
saves at least half of the full download.

Examples:
  Publish version 13 of a program, creating the tables on a new database, and read it
  back to compare:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --version 13 \
        --create --verify DovaDu.exe
  Make the site's release key once, on the release manager's machine:
    vesk-publish --keygen ~/vesk-release-key
  Publish and sign version 14:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --version 14 \
        --sign ~/vesk-release-key/release.key --verify DovaDu.exe
  Show what the workstations will get from that server now:
    VESK_PUBLISH_PASSWORD='...' vesk-publish --server '10.1.2.3,1433' --show

Progress (chunks sent of all, bytes, rate) is shown while the output is a terminal;
otherwise only one summary line is printed.

Encryption of the connection (--encryption): off; request, the default, encrypted when
the server offers it; require, never unencrypted; verify, require and the server's
certificate checked against --ca-file and against the server's name. A refused
connection says why: no encryption offered, a certificate the CA file does not trust,
or a certificate for another name.

Exit status:
  0  done (with --show: every chunk is good)
  1  any other failure
  2  wrong command line: an unknown option, a missing or bad value (a port outside 1 to
     65535 included), VESK_PUBLISH_PASSWORD not set, or a --sign key that cannot be used
     (missing, unreadable, readable by others, the public key, or no key)
  3  the program file cannot be read
  4  the database server cannot be reached, the login or database is refused, or the
     connection is refused for its encryption
  5  a statement failed on the server, a permission refused included (nothing of a
     failed publish is kept)
  6  what is stored is damaged: --verify found a difference, or --show a bad chunk, a
     stored SHA-256 that is not the program's or a signature that does not hold
)";

class Failure {
public:
    Failure(Status status, QString message) : status(status), message(std::move(message)) {}
    Status status;
    QString message;
};

[[noreturn]] void fail(Status status, const QString &message)
{
    throw Failure(status, message);
}

// Small sizes in KiB or bytes, so that a small file never shows as "0.0 MiB".
QString mib(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QString::number(double(bytes) / 1024.0, 'f', 1) + QStringLiteral(" KiB");
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

QString chunksText(qint64 n)
{
    return n == 1 ? QStringLiteral("1 chunk") : QStringLiteral("%1 chunks").arg(n);
}

// One line rewritten in place while the output is a terminal; silent otherwise.
class Progress {
public:
    explicit Progress(const char *verb) : verb(verb), shown(isatty(STDOUT_FILENO)) { clock.start(); }
    void update(int done, int all, qint64 bytes, qint64 totalBytes, bool last = false)
    {
        if (!shown || (!last && clock.elapsed() - lastAt < 100))
            return;
        lastAt = clock.elapsed();
        const double s = std::max(1e-3, double(clock.nsecsElapsed()) / 1e9);
        const QString of = totalBytes >= 0 ? QStringLiteral(" of ") + mib(totalBytes) : QString();
        printf("\r%s chunk %d of %d, %s%s, %s/s   ", verb, done, all, qPrintable(mib(bytes)), qPrintable(of),
               qPrintable(mib(qint64(double(bytes) / s))));
        if (last)
            printf("\n");
        fflush(stdout);
    }

private:
    const char *verb;
    bool shown;
    QElapsedTimer clock;
    qint64 lastAt = -1000;
};

// Runs a statement; a failure names the step and carries the server's message.
QSqlQuery run(SqlConnection &c, const QString &step, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    bool ok = values.isEmpty() ? q.exec(sql) : q.prepare(sql);
    if (ok && !values.isEmpty()) {
        for (const QVariant &v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok) {
        // 229, 262, 1088 and 3701: what SQL Server answers a login without the permission.
        const int code = q.lastError().nativeErrorCode().toInt();
        const bool denied = code == 229 || code == 262 || code == 1088 || code == 3701;
        fail(DatabaseFailed, step + QStringLiteral(": ") + databaseErrorText(q.lastError())
                                 + (denied ? QStringLiteral(" (this login may not change the tables; publish with the "
                                                            "publisher's login, --user, as docs/sql/ sets it up)")
                                           : QString()));
    }
    return q;
}

bool tableExists(SqlConnection &c, const QString &table)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    return q.exec(QStringLiteral("SELECT * FROM %1 WHERE 1=0").arg(table));
}

// BVersion's row as the workstations read it; a publisher's failure to read it is a
// failed statement, and a table without a row publishes nothing.
Published readVersion(SqlConnection &c)
{
    Published p;
    try {
        p = readPublished(c);
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading BVersion: ") + e.message());
    }
    if (p.row.isEmpty())
        fail(Damaged, QStringLiteral("reading BVersion: it holds no row, so nothing is published"));
    return p;
}

bool columnExists(SqlConnection &c, const QString &table, const QString &column)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    return q.exec(QStringLiteral("SELECT %1 FROM %2 WHERE 1=0").arg(column, table));
}

// What the stored seal says of the program the workstations rebuild; empty when it holds.
// Prints a line each for the hash and the signature unless quiet.
QString describeSeal(const Published &p, const QByteArray &sha256, qint64 length, bool quiet = false)
{
    const auto printf = [quiet](const char *format, auto... args) {
        if (!quiet)
            std::printf(format, args...);
    };
    const SealVerdict v = judgeSeal(p, sha256, length);
    QString wrong;
    switch (v.hash) {
    case SealVerdict::NoHash:
        printf("stored sha-256: none (a publisher before the column; workstations check only each chunk)\n");
        break;
    case SealVerdict::HashMatches:
        printf("stored sha-256: the same, so workstations install what they rebuild\n");
        break;
    case SealVerdict::HashDiffers:
        printf("stored sha-256: %s, NOT the program's: workstations refuse it\n", p.sha256.toHex().constData());
        wrong = QStringLiteral("the SHA-256 stored in BVersion is not the program's");
        break;
    }
    switch (v.signature) {
    case SealVerdict::NoSignature:
        printf("signature:      none: launchers built with a release key refuse this program\n");
        return wrong;
    case SealVerdict::NotASignature:
        printf("signature:      %lld bytes that are not a signature: launchers with a release key refuse it\n",
               qlonglong(p.signature.size()));
        return wrong.isEmpty() ? QStringLiteral("the stored signature is damaged") : wrong;
    case SealVerdict::Holds:
    case SealVerdict::DoesNotHold:
        break;
    }
    const bool holds = v.signature == SealVerdict::Holds;
    const QList<ReleaseKey> ours = builtInReleaseKeys();
    const bool known = std::any_of(ours.begin(), ours.end(), [&](const ReleaseKey &k) { return k.raw == v.signer.raw; });
    printf("signature:      by key %s (%s), %s\n", qPrintable(v.signer.fingerprint()),
           ours.isEmpty() ? "this publisher was built without release keys"
                          : known ? "a release key of this build" : "NOT a release key of this build",
           holds ? "holds for this program, version and chunk count" : "does NOT hold for this program");
    if (!holds && wrong.isEmpty())
        wrong = QStringLiteral("the signature does not hold for the program, its version or its chunk count");
    return wrong;
}

// What is wrong with a record the launcher's decoder refused: its size in front, then
// a zlib stream of that many bytes.
QString damageOf(const QByteArray &record)
{
    if (record.size() < 4)
        return QStringLiteral("too short: %1 bytes, less than the 4-byte size in front").arg(record.size());
    const qint32 size = qFromLittleEndian<qint32>(record.constData());
    if (size < 0)
        return QStringLiteral("corrupt stream: the size in front is %1").arg(size);
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return QStringLiteral("corrupt stream");
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(record.constData() + 4));
    z.avail_in = uInt(record.size() - 4);
    QByteArray scratch(64 * 1024, Qt::Uninitialized);
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef *>(scratch.data());
        z.avail_out = uInt(scratch.size());
        rc = inflate(&z, Z_NO_FLUSH);
    } while (rc == Z_OK);
    const QString zlibSaid = QString::fromLatin1(z.msg ? z.msg : "");
    const qint64 out = qint64(z.total_out);
    const bool inputLeft = z.avail_in > 0;
    inflateEnd(&z);
    if (rc == Z_STREAM_END && out != size)
        return QStringLiteral("corrupt stream: it unpacks to %1 bytes, not the %2 its size says").arg(out).arg(size);
    if (rc == Z_BUF_ERROR && !inputLeft)
        return QStringLiteral("cut stream: its data ends after %1 of the %2 bytes it unpacks to").arg(out).arg(size);
    return zlibSaid.isEmpty() ? QStringLiteral("corrupt stream")
                              : QStringLiteral("corrupt stream: zlib finds \"%1\"").arg(zlibSaid);
}

// What the workstations rebuild from the stored chunks: read as the launcher reads them
// (the first row of each chunk's statement) and decoded by its own decoder.
struct Contents {
    qint64 stored = 0;
    qint64 unpacked = 0;
    QByteArray sha256; // raw
    QStringList damaged; // "chunk i: why"
    QByteArray bytes;    // kept only when asked for
};

Contents readContents(SqlConnection &c, int counts, bool keepBytes)
{
    Contents out;
    Sha256 hash;
    TLoadBinaryDataToDB loader;
    Progress progress("reading");
    for (int i = 0; i < counts; ++i) {
        QSqlQuery q = run(c, QStringLiteral("reading chunk %1").arg(i),
                          QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(i));
        TMemoryStream chunk;
        if (!q.next()) {
            out.damaged << QStringLiteral("chunk %1: no row in CopyRight").arg(i);
            continue;
        }
        const QVariant record = q.value(QStringLiteral("ExEPic"));
        chunk.data = record.toByteArray();
        out.stored += chunk.data.size();
        try {
            loader.DecompressChunk(chunk);
        } catch (const Exception &e) {
            out.damaged << QStringLiteral("chunk %1: %2 (a workstation stops with \"%3\")")
                               .arg(i)
                               .arg(record.isNull() ? QStringLiteral("NULL in CopyRight.ExEPic") : damageOf(chunk.data),
                                    e.message());
            continue;
        }
        out.unpacked += chunk.data.size();
        hash.add(chunk.data);
        if (keepBytes)
            out.bytes += chunk.data;
        progress.update(i + 1, counts, out.stored, -1, i + 1 == counts);
    }
    out.sha256 = hash.result();
    return out;
}


// --- Patches: from each of the last few published programs to the next -----------------

// The bytes of one stored patch, as a launcher reads them: part after part.
QByteArray readPatchBytes(SqlConnection &c, const StoredPatch &patch)
{
    QByteArray bytes;
    for (int k = 0; k < patch.parts; ++k) {
        QSqlQuery q = run(c, QStringLiteral("reading part %1 of patch %2").arg(k).arg(patch.id),
                          patchPartStatement(patch.id, k));
        if (!q.next())
            fail(Damaged, QStringLiteral("patch %1: part %2 has no row in %3").arg(patch.id).arg(k).arg(kPatchPartTable));
        bytes += q.value(0).toByteArray();
    }
    return bytes;
}

QList<StoredPatch> storedPatches(SqlConnection &c)
{
    try {
        return readPatches(c);
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading %1: %2").arg(kPatchTable, e.message()));
    }
}

void createPatchTables(SqlConnection &c)
{
    if (!tableExists(c, QLatin1String(kPatchTable)))
        run(c, QStringLiteral("creating %1").arg(kPatchTable),
            QStringLiteral("CREATE TABLE %1 (PatchId int NOT NULL, FromSha256 varbinary(32) NOT NULL, ToSha256 "
                           "varbinary(32) NOT NULL, ToLength int NOT NULL, Parts int NOT NULL, Bytes int NOT NULL, "
                           "PatchSha256 varbinary(32) NOT NULL)")
                .arg(kPatchTable));
    if (!tableExists(c, QLatin1String(kPatchPartTable)))
        run(c, QStringLiteral("creating %1").arg(kPatchPartTable),
            QStringLiteral("CREATE TABLE %1 (PatchId int NOT NULL, Part int NOT NULL, Data image NULL)")
                .arg(kPatchPartTable));
}

// The patches a workstation may follow to the program to: the newest patch that makes
// it, the newest that makes that one's start, and so on, at most keep of them.
QSet<int> chainEndingAt(const QList<StoredPatch> &patches, QByteArray to, int keep)
{
    QSet<int> chain;
    QSet<QByteArray> seen{to};
    while (chain.size() < keep) {
        const StoredPatch *newest = nullptr;
        for (const StoredPatch &p : patches)
            if (p.to == to && !chain.contains(p.id) && (!newest || p.id > newest->id))
                newest = &p;
        if (!newest || seen.contains(newest->from))
            break;
        chain.insert(newest->id);
        seen.insert(newest->from);
        to = newest->from;
    }
    return chain;
}

// The program published now, rebuilt as the workstations rebuild it, to make the patch from.
struct Previous {
    QByteArray bytes;
    QByteArray sha256;
    QString whyNone; // empty: there is a previous program
    bool any = false; // something is published
};

Previous previousProgram(SqlConnection &c)
{
    Previous prev;
    if (!tableExists(c, QStringLiteral("BVersion")) || !tableExists(c, QStringLiteral("CopyRight"))) {
        prev.whyNone = QStringLiteral("nothing is published yet");
        return prev;
    }
    Published now;
    try {
        now = readPublished(c);
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading BVersion: ") + e.message());
    }
    if (now.row.isEmpty()) {
        prev.whyNone = QStringLiteral("nothing is published yet");
        return prev;
    }
    prev.any = true;
    const int counts = now.counts;
    const QByteArray stored = now.sha256;
    if (counts < 1) {
        prev.whyNone = QStringLiteral("the published program has no chunks");
        return prev;
    }
    const Contents got = readContents(c, counts, true);
    if (!got.damaged.isEmpty()) {
        prev.whyNone = QStringLiteral("the published program cannot be rebuilt (%1)").arg(got.damaged.first());
        return prev;
    }
    if (!stored.isNull() && stored != got.sha256) {
        prev.whyNone = QStringLiteral("the published program is not the one its SHA-256 in BVersion names");
        return prev;
    }
    prev.bytes = got.bytes;
    prev.sha256 = got.sha256;
    return prev;
}

void listPatches(SqlConnection &c, const Published &p, qint64 fullBytes)
{
    if (!tableExists(c, QLatin1String(kPatchTable))) {
        printf("patches:        none (no table %s: workstations download the whole program)\n", kPatchTable);
        return;
    }
    const QList<StoredPatch> patches = storedPatches(c);
    if (patches.isEmpty()) {
        printf("patches:        none stored: workstations download the whole program\n");
        return;
    }
    printf("patches:        %lld stored (from, to: the first 16 hex digits of each program's SHA-256)\n",
           qlonglong(patches.size()));
    for (const StoredPatch &patch : patches) {
        const int steps = int(patchChain(patches, patch.from, p.sha256).size());
        const QByteArray bytes = readPatchBytes(c, patch);
        const bool intact = bytes.size() == patch.bytes && sha256Of(bytes) == patch.sha256;
        printf("  patch %d: from %s to %s, %lld bytes in %d part%s, %.1f %% of the full download; %s\n", patch.id,
               patch.from.toHex().left(16).constData(), patch.to.toHex().left(16).constData(), qlonglong(patch.bytes),
               patch.parts, patch.parts == 1 ? "" : "s", fullBytes > 0 ? 100.0 * double(patch.bytes) / double(fullBytes) : 0.0,
               !intact ? "DAMAGED: workstations fall back to the whole program"
               : steps == 0 ? "leads nowhere published now (unused)"
               : steps == 1 ? "makes the published program"
                            : qPrintable(QStringLiteral("leads to the published program in %1 steps").arg(steps)));
    }
}

int show(SqlConnection &c, const QString &server, const QString &database)
{
    const Published p = readVersion(c);
    printf("server:         %s, database %s\n", qPrintable(server), qPrintable(database));
    printf("version:        %d\n", p.version.toInt());
    printf("chunks:         %d\n", p.counts);
    if (p.counts < 1) {
        printf("nothing to rebuild: a workstation fails with \"TProgressBar property out of range\"\n");
        return Damaged;
    }
    const Contents got = readContents(c, p.counts, false);
    printf("stored size:    %lld bytes (%s)\n", qlonglong(got.stored), qPrintable(mib(got.stored)));
    if (!got.damaged.isEmpty()) {
        printf("damaged:        %lld of %s; a workstation's upgrade fails at the first\n",
               qlonglong(got.damaged.size()), qPrintable(chunksText(p.counts)));
        for (const QString &d : got.damaged)
            printf("  %s\n", qPrintable(d));
        return Damaged;
    }
    printf("unpacked size:  %lld bytes (%s)\n", qlonglong(got.unpacked), qPrintable(mib(got.unpacked)));
    printf("sha-256:        %s\n", got.sha256.toHex().constData());
    printf("every chunk's record checked: %d good\n", p.counts);
    const bool sealed = describeSeal(p, got.sha256, got.unpacked).isEmpty();
    listPatches(c, p, got.stored);
    return sealed ? Ok : Damaged;
}

// A patch is stored only when a workstation fetches at most this share of the full
// download with it: below that, the rows and the publisher's time buy little.
constexpr double kPatchWorthIt = 0.5;
struct PatchOptions {
    int keep = 3; // 0: no patches
    qsizetype partBytes = 128 * 1024; // a stop answers within one part
};

void publish(SqlConnection &c, const QByteArray &program, const QString &name, int ver, qsizetype size, int lvl,
             bool create, bool verify, const SigningKey *signer, const PatchOptions &patching)
{
    if (create) {
        if (!tableExists(c, QStringLiteral("BVersion")))
            run(c, QStringLiteral("creating BVersion"),
                QStringLiteral("CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL, Sha256 varbinary(32) "
                               "NULL, Signature varbinary(96) NULL)"));
        if (!tableExists(c, QStringLiteral("CopyRight")))
            run(c, QStringLiteral("creating CopyRight"),
                QStringLiteral("CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL)"));
        createPatchTables(c);
    }
    // The program's SHA-256 beside its version, so that no two publishes leave the same row
    // and a workstation can check what it rebuilt; and the release key's signature over it.
    const bool hasTable = tableExists(c, QStringLiteral("BVersion")); // a missing one fails in the transaction
    if (hasTable && !columnExists(c, QStringLiteral("BVersion"), QStringLiteral("Sha256")))
        run(c, QStringLiteral("adding the column Sha256 to BVersion"),
            QStringLiteral("ALTER TABLE BVersion ADD Sha256 varbinary(32) NULL"));
    if (hasTable && signer && !columnExists(c, QStringLiteral("BVersion"), QStringLiteral("Signature")))
        run(c, QStringLiteral("adding the column Signature to BVersion"),
            QStringLiteral("ALTER TABLE BVersion ADD Signature varbinary(96) NULL"));
    const QByteArray sha256 = sha256Of(program);

    // The patch from the program published now to this one, made before the transaction
    // while the chunks are compressed on the other cores.
    Previous previous;
    if (patching.keep > 0) {
        createPatchTables(c);
        previous = previousProgram(c);
        if (previous.whyNone.isEmpty() && previous.sha256 == sha256)
            previous.whyNone = QStringLiteral("the program published now is this one");
    }
    const bool patchTables = tableExists(c, QLatin1String(kPatchTable)) && tableExists(c, QLatin1String(kPatchPartTable));
    ChunkEncoder encoder(program, size, lvl);
    QByteArray patch;
    if (patching.keep > 0 && previous.whyNone.isEmpty()) {
        const bool terminal = isatty(STDOUT_FILENO);
        QElapsedTimer clock;
        clock.start();
        qint64 lastAt = -1000;
        patch = makePatch(previous.bytes, program, [&](qint64 done, qint64 all) {
            if (!terminal || clock.elapsed() - lastAt < 200)
                return;
            lastAt = clock.elapsed();
            printf("\rmaking the patch from the published program: %3d %%   ", all > 0 ? int(100 * done / all) : 0);
            fflush(stdout);
        });
        if (terminal)
            printf("\rmaking the patch from the published program: done in %.1f s\n", double(clock.elapsed()) / 1000);
    }
    QSqlDatabase db = c.database();
    if (!db.transaction())
        fail(DatabaseFailed, QStringLiteral("starting the transaction: ") + databaseErrorText(db.lastError()));
    const int all = int(std::max<qsizetype>(1, (program.size() + size - 1) / size));
    int counts = 0;
    qint64 stored = 0;
    QString patchNote;
    std::optional<StoredPatch> madePatch;
    int keptPatches = 0;
    try {
        run(c, QStringLiteral("deleting the old chunks"), QStringLiteral("DELETE FROM CopyRight"));
        Progress progress("sending");
        qsizetype at = 0;
        for (; counts < encoder.count(); ++counts) {
            const QByteArray record = encoder.record(counts);
            run(c, QStringLiteral("storing chunk %1").arg(counts),
                QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"), {QString::number(counts), record});
            at = std::min<qsizetype>(at + size, program.size());
            stored += record.size();
            progress.update(counts + 1, all, at, program.size(), counts + 1 == encoder.count());
        }
        run(c, QStringLiteral("setting the version"), QStringLiteral("DELETE FROM BVersion"));
        if (signer)
            run(c, QStringLiteral("setting the version"),
                QStringLiteral("INSERT INTO BVersion (Version, Counts, Sha256, Signature) VALUES (?, ?, ?, ?)"),
                {ver, counts, sha256, signer->sign(signedStatement(ver, counts, program.size(), sha256))});
        else
            run(c, QStringLiteral("setting the version"),
                QStringLiteral("INSERT INTO BVersion (Version, Counts, Sha256) VALUES (?, ?, ?)"), {ver, counts, sha256});
        if (!patch.isEmpty() && double(patch.size()) > kPatchWorthIt * double(stored)) {
            patchNote = QStringLiteral("no patch stored: it would be %1 % of the full download")
                            .arg(100.0 * double(patch.size()) / double(stored), 0, 'f', 1);
            patch.clear();
        } else if (patch.isEmpty() && patching.keep > 0 && previous.any) {
            patchNote = QStringLiteral("no patch stored: %1").arg(previous.whyNone);
        }
        if (patchTables) {
            QList<StoredPatch> patches = storedPatches(c);
            if (!patch.isEmpty()) {
                StoredPatch made;
                for (const StoredPatch &p : patches)
                    made.id = std::max(made.id, p.id);
                ++made.id; // never a number a workstation may still be reading the parts of
                made.from = previous.sha256;
                made.to = sha256;
                made.toLength = program.size();
                made.bytes = patch.size();
                made.sha256 = sha256Of(patch);
                const qsizetype partBytes = patching.partBytes;
                made.parts = int((patch.size() + partBytes - 1) / partBytes);
                for (int k = 0; k < made.parts; ++k)
                    run(c, QStringLiteral("storing part %1 of the patch").arg(k),
                        QStringLiteral("INSERT INTO %1 (PatchId, Part, Data) VALUES (?, ?, ?)").arg(kPatchPartTable),
                        {made.id, k, patch.mid(k * partBytes, partBytes)});
                run(c, QStringLiteral("storing the patch"),
                    QStringLiteral("INSERT INTO %1 (PatchId, FromSha256, ToSha256, ToLength, Parts, Bytes, PatchSha256) "
                                   "VALUES (?, ?, ?, ?, ?, ?, ?)")
                        .arg(kPatchTable),
                    {made.id, made.from, made.to, int(made.toLength), made.parts, int(made.bytes), made.sha256});
                patches << made;
                madePatch = made;
            }
            // Only the patches that lead to this program are of use to anyone.
            const QSet<int> kept = chainEndingAt(patches, sha256, patching.keep);
            for (const StoredPatch &p : patches)
                if (!kept.contains(p.id)) {
                    run(c, QStringLiteral("deleting an old patch"),
                        QStringLiteral("DELETE FROM %1 WHERE PatchId=%2").arg(kPatchPartTable).arg(p.id));
                    run(c, QStringLiteral("deleting an old patch"),
                        QStringLiteral("DELETE FROM %1 WHERE PatchId=%2").arg(kPatchTable).arg(p.id));
                }
            keptPatches = int(kept.size());
        }
        if (!db.commit())
            fail(DatabaseFailed, QStringLiteral("committing: ") + databaseErrorText(db.lastError()));
    } catch (...) {
        db.rollback();
        throw;
    }
    printf("published %s as version %d: %lld bytes in %s, %lld bytes stored, sha-256 %s\n", qPrintable(name), ver,
           qlonglong(program.size()), qPrintable(chunksText(counts)), qlonglong(stored), sha256.toHex().constData());
    if (signer)
        printf("signed with the release key %s\n", qPrintable(signer->publicKey().fingerprint()));
    if (madePatch)
        printf("stored a patch from the program published before: %lld bytes in %d part%s, %.1f %% of the full "
               "download; %d patch%s kept\n",
               qlonglong(madePatch->bytes), madePatch->parts, madePatch->parts == 1 ? "" : "s",
               100.0 * double(madePatch->bytes) / double(stored), keptPatches, keptPatches == 1 ? "" : "es");
    else if (!patchNote.isEmpty())
        printf("%s\n", qPrintable(patchNote));
    if (verify) {
        const Published p = readVersion(c);
        if (p.version.toInt() != ver || p.counts != counts)
            fail(Damaged, QStringLiteral("verifying: BVersion announces version %1 in %2 chunks, not %3 in %4")
                              .arg(p.version.toInt()).arg(p.counts).arg(ver).arg(counts));
        const Contents got = readContents(c, counts, true);
        if (!got.damaged.isEmpty())
            fail(Damaged, QStringLiteral("verifying: ") + got.damaged.join(QStringLiteral("; ")));
        if (got.bytes != program)
            fail(Damaged, QStringLiteral("verifying: the stored chunks do not give back the file (%1 bytes stored, %2 "
                                         "in the file)")
                              .arg(got.bytes.size())
                              .arg(program.size()));
        const QString seal = describeSeal(p, got.sha256, got.unpacked, true);
        if (!seal.isEmpty())
            fail(Damaged, QStringLiteral("verifying: ") + seal);
        printf("verified: the stored chunks give back the file byte for byte\n");
        if (madePatch) {
            QByteArray made;
            try {
                made = applyPatch(previous.bytes, readPatchBytes(c, *madePatch), madePatch->toLength);
            } catch (const PatchError &e) {
                fail(Damaged, QStringLiteral("verifying: the stored patch cannot be applied: ") + e.message());
            }
            if (made != program)
                fail(Damaged, QStringLiteral("verifying: the stored patch does not give back the file"));
            printf("verified: the stored patch turns the program published before into the file byte for byte\n");
        }
    }
}

int publisherMain(QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Publishes a main client program for the workstations: cuts it into chunks, compresses\n"
        "each, and stores them in CopyRight with the version in BVersion. With --show, prints\n"
        "what is published now and checks every stored chunk, changing nothing."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this text"));
    p.addOption(help);
    p.addPositionalArgument(QStringLiteral("program"), QStringLiteral("the program file to publish (not with --show)"));
    QCommandLineOption server(QStringLiteral("server"),
                              QStringLiteral("database server as SQL Server users write it: host, host,port or "
                                             "host\\instance (required)"),
                              QStringLiteral("server"));
    QCommandLineOption database(QStringLiteral("database"), QStringLiteral("public database (default VeskDB)"),
                                QStringLiteral("name"), QStringLiteral("VeskDB"));
    QCommandLineOption user(QStringLiteral("user"), QStringLiteral("database login (default VeskLogin)"),
                            QStringLiteral("login"), QStringLiteral("VeskLogin"));
    QCommandLineOption version(QStringLiteral("version"),
                               QStringLiteral("version number to announce, not 0; workstations with a lower "
                                              "Version.txt upgrade (required to publish)"),
                               QStringLiteral("n"));
    QCommandLineOption chunkSize(QStringLiteral("chunk-size"),
                                 QStringLiteral("bytes of the program in one chunk, 1 to 67108864 (default 262144: "
                                                "fewer, larger chunks cost fewer statements, more memory each)"),
                                 QStringLiteral("bytes"), QStringLiteral("262144"));
    QCommandLineOption level(QStringLiteral("level"),
                             QStringLiteral("compress with zlib at this level, 0 to 9, for a quick publish (default: "
                                            "libdeflate's tightest level, on every core, about 3 % fewer bytes for "
                                            "every workstation to fetch than zlib's 9)"),
                             QStringLiteral("level"));
    QCommandLineOption create(QStringLiteral("create"), QStringLiteral("create BVersion and CopyRight when missing"));
    QCommandLineOption verifyOpt(QStringLiteral("verify"),
                                 QStringLiteral("after publishing, read everything back through the launcher's "
                                                "decoder and compare it byte for byte"));
    QCommandLineOption showOpt(QStringLiteral("show"),
                               QStringLiteral("print what is published (version, chunks, stored and unpacked size, "
                                              "SHA-256 of the program the workstations rebuild) and check every "
                                              "chunk; changes nothing"));
    QCommandLineOption keygen(QStringLiteral("keygen"),
                              QStringLiteral("make the site's release key pair in dir: release.key, the private "
                                             "key (keep it offline, readable by its owner alone), and release.pub, "
                                             "the public key for the site build's VESK_RELEASE_KEYS; prints its "
                                             "fingerprint; needs no server"),
                              QStringLiteral("dir"));
    QCommandLineOption sign(QStringLiteral("sign"),
                            QStringLiteral("sign what is published with this private key (made by --keygen), in "
                                           "the same transaction; adds the column Signature to BVersion when missing"),
                            QStringLiteral("keyfile"));
    QCommandLineOption encryption(QStringLiteral("encryption"),
                                  QStringLiteral("encryption of the connection: off, request (the default), require "
                                                 "or verify (see below)"),
                                  QStringLiteral("mode"), QStringLiteral("request"));
    QCommandLineOption caFile(QStringLiteral("ca-file"),
                              QStringLiteral("with --encryption verify: the CA certificate (PEM) that must have "
                                             "signed the server's certificate"),
                              QStringLiteral("file"));
    QCommandLineOption noPatch(QStringLiteral("no-patch"),
                               QStringLiteral("store no patch from the program published now (and drop the stored "
                                              "patches, which lead to it and no further)"));
    QCommandLineOption keepPatches(QStringLiteral("patches"),
                                   QStringLiteral("keep the patches of the last n publishes, so that a workstation up "
                                                  "to n publishes behind fetches only what changed (default 3; 0 is "
                                                  "--no-patch)"),
                                   QStringLiteral("n"), QStringLiteral("3"));
    QCommandLineOption patchPart(QStringLiteral("patch-part-size"),
                                 QStringLiteral("bytes of a patch in one row of BPatchPart, 1024 to 67108864 (default "
                                                "131072: a workstation's stop answers within one)"),
                                 QStringLiteral("bytes"), QStringLiteral("131072"));
    p.addOptions({server, database, user, version, chunkSize, level, create, verifyOpt, showOpt, keygen, sign, noPatch,
                  keepPatches, patchPart, encryption, caFile});
    if (!p.parse(app.arguments()))
        fail(Usage, p.errorText() + QStringLiteral(" (see --help)"));
    if (p.isSet(help)) {
        printf("%s%s", qPrintable(p.helpText()), kEpilogue);
        return Ok;
    }
    if (p.isSet(keygen)) {
        if (p.optionNames().size() != 1 || !p.positionalArguments().isEmpty())
            fail(Usage, QStringLiteral("--keygen takes a folder and nothing else"));
        try {
            const ReleaseKey pub = makeReleaseKeys(p.value(keygen));
            printf("made %s/release.key (private: keep it offline, never on a workstation) and release.pub\n"
                   "fingerprint:     %s\nVESK_RELEASE_KEYS=%s\n",
                   qPrintable(p.value(keygen)), qPrintable(pub.fingerprint()), qPrintable(pub.text()));
        } catch (const Exception &e) {
            fail(Other, e.message());
        }
        return Ok;
    }
    if (!p.isSet(server))
        fail(Usage, QStringLiteral("--server is required (see --help)"));
    TransportSecurity security;
    try {
        parseServerName(p.value(server));
        security = {parseEncryption(p.value(encryption)), p.value(caFile)};
    } catch (const Exception &e) {
        fail(Usage, e.message());
    }
    if ((security.mode == Encryption::Verify) != p.isSet(caFile))
        fail(Usage, QStringLiteral("--ca-file goes with --encryption verify, and verify needs it"));
    if (p.isSet(caFile) && !QFileInfo(p.value(caFile)).isReadable())
        fail(Usage, QStringLiteral("cannot read the CA file %1").arg(p.value(caFile)));
    // An unset variable is a forgotten one, not an empty password.
    if (!qEnvironmentVariableIsSet("VESK_PUBLISH_PASSWORD"))
        fail(Usage, QStringLiteral("VESK_PUBLISH_PASSWORD is not set: put the password of the login %1 there "
                                   "(VESK_PUBLISH_PASSWORD= for an empty one)")
                        .arg(p.value(user)));
    const bool showing = p.isSet(showOpt);
    if (showing && (!p.positionalArguments().isEmpty() || p.isSet(version) || p.isSet(create) || p.isSet(verifyOpt)
                    || p.isSet(sign) || p.isSet(noPatch) || p.isSet(keepPatches)))
        fail(Usage, QStringLiteral("--show takes no program file, --version, --create, --verify, --sign, --no-patch or "
                                   "--patches"));
    if (!showing && p.positionalArguments().size() != 1)
        fail(Usage, QStringLiteral("name one program file (see --help)"));
    bool ok = false;
    int ver = 0;
    if (!showing) {
        if (!p.isSet(version))
            fail(Usage, QStringLiteral("--version is required to publish"));
        ver = p.value(version).toInt(&ok);
        if (!ok || ver == 0)
            fail(Usage, QStringLiteral("--version must be a non-zero 32-bit integer"));
    }
    const qlonglong size = p.value(chunkSize).toLongLong(&ok);
    if (!ok || size < 1 || size > 64 * 1024 * 1024)
        fail(Usage, QStringLiteral("--chunk-size must be between 1 and 67108864"));
    PatchOptions patching;
    patching.keep = p.value(keepPatches).toInt(&ok);
    if (!ok || patching.keep < 0 || patching.keep > 100)
        fail(Usage, QStringLiteral("--patches must be between 0 and 100"));
    if (p.isSet(noPatch))
        patching.keep = 0;
    patching.partBytes = p.value(patchPart).toLongLong(&ok);
    if (!ok || patching.partBytes < 1024 || patching.partBytes > 64 * 1024 * 1024)
        fail(Usage, QStringLiteral("--patch-part-size must be between 1024 and 67108864"));
    int lvl = ChunkEncoder::kTightest;
    if (p.isSet(level)) {
        lvl = p.value(level).toInt(&ok);
        if (!ok || lvl < 0 || lvl > 9)
            fail(Usage, QStringLiteral("--level must be between 0 and 9"));
    }

    QByteArray program;
    QString name;
    if (!showing) {
        QFile f(p.positionalArguments().first());
        name = f.fileName();
        if (!f.open(QIODevice::ReadOnly))
            fail(ProgramUnreadable, QStringLiteral("cannot read %1: %2").arg(name, f.errorString()));
        program = f.readAll();
        if (f.error() != QFileDevice::NoError)
            fail(ProgramUnreadable, QStringLiteral("cannot read %1: %2").arg(name, f.errorString()));
        if (program.size() > qsizetype(INT32_MAX))
            fail(ProgramUnreadable, QStringLiteral("%1 is larger than 2 GiB").arg(name));
    }

    // The key is read before anything is sent, so that a bad key changes nothing.
    std::unique_ptr<SigningKey> signer;
    if (p.isSet(sign)) {
        try {
            signer = std::make_unique<SigningKey>(p.value(sign));
        } catch (const Exception &e) {
            fail(Usage, e.message());
        }
    }

    SqlConnection c(QStringLiteral("publish"));
    try {
        c.setTarget({p.value(server), p.value(database), security});
        c.open(p.value(user), qEnvironmentVariable("VESK_PUBLISH_PASSWORD"));
    } catch (const Exception &e) {
        fail(CannotConnect, QStringLiteral("connecting to %1: %2").arg(p.value(server), e.message()));
    }
    if (showing)
        return show(c, p.value(server), p.value(database));
    publish(c, program, name, ver, qsizetype(size), lvl, p.isSet(create), p.isSet(verifyOpt), signer.get(), patching);
    return Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    try {
        return publisherMain(app);
    } catch (const Failure &f) {
        fflush(stdout);
        fprintf(stderr, "vesk-publish: %s\n", qPrintable(f.message));
        return f.status;
    } catch (const Exception &e) {
        fflush(stdout);
        fprintf(stderr, "vesk-publish: %s\n", qPrintable(e.message()));
        return Other;
    }
}
