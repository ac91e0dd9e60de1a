// The upgrade's patch road: programs published one after the other through vesk-publish,
// a workstation holding one of them, and what the launcher fetches and installs.
#include "AppEnd.h"
#include "ChunkRecords.h"
#include "Files.h"
#include "TestServer.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/ProgramSeal.h"
#include "upgrade/ShowFormUnit.h"
#include "upgrade/patch/PatchFormat.h"

#include <QDir>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>
#include <cstring>
#include <optional>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

using chunks::nextRelease;

namespace {

struct Site {
    QTemporaryDir dir; // before the server, which logs into it
    TestServer server;
    SqlConnection connection{QStringLiteral("patchroad")};
    SqlConnection admin{QStringLiteral("patchroad-admin")}; // free while the download holds the other
    QList<QByteArray> releases; // as published, oldest first

    explicit Site(const QStringList &serverArgs = {})
        : server(TestServer::standardSchema(), QStringList{QStringLiteral("--log-requests"), requestLog()} + serverArgs)
    {
    }
    QString requestLog() const { return dir.filePath(QStringLiteral("requests.log")); }
    QString program() const { return dir.filePath(QStringLiteral("DovaDu.exe")); }
    bool open()
    {
        if (!server.ok())
            return false;
        connection.setTarget({server.server(), QStringLiteral("VeskDB")});
        connection.open(TestServer::login, TestServer::password);
        admin.setTarget(connection.target());
        admin.open(TestServer::login, TestServer::password);
        return true;
    }
    // Publishes bytes as the next version; vesk-publish's exit status.
    int publish(const QByteArray &bytes, const QStringList &args = {}, int version = -1)
    {
        const QString file = dir.filePath(QStringLiteral("release"));
        putFile(file, bytes);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), TestServer::password);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const int v = version > 0 ? version : int(releases.size()) + 1;
        p.start(QStringLiteral(VESK_PUBLISH),
                QStringList{QStringLiteral("--server"), server.server(), QStringLiteral("--version"), QString::number(v),
                            QStringLiteral("--chunk-size"), QStringLiteral("65536")}
                    + args + QStringList{file});
        p.waitForFinished(120000);
        const int status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        if (status == 0)
            releases << bytes;
        return status;
    }
    void exec(const QString &sql, const QVariantList &values = {}) { execSql(admin.database(), sql, values); }
    // The statements the server was sent since the log was last cleared that name table.
    int requestsFor(const QString &table) const
    {
        return int(QString::fromUtf8(fileBytes(requestLog())).split(u'\n').filter(table).size());
    }
    void clearLog() const { QFile::remove(requestLog()); }
};

// A release whose patch from base needs several parts of 16 KiB: a kilobyte of new bytes in
// every eight.
QByteArray scatteredRelease(const QByteArray &base, quint32 seed)
{
    QByteArray next = base;
    QRandomGenerator g(seed);
    for (qsizetype at = 0; at + 1024 < next.size(); at += 8192)
        for (int k = 0; k < 1024; ++k)
            next[at + k] = char(g.generate());
    return next;
}

// Two releases published one after the other, the workstation holding the first.
struct Pair {
    QByteArray base, next;
};
Pair publishPair(Site &site, qsizetype size, quint32 seed)
{
    Pair p{chunks::programBytes(size, seed), {}};
    p.next = scatteredRelease(p.base, seed + 1);
    const QStringList smallParts{QStringLiteral("--patch-part-size"), QStringLiteral("16384")};
    if (!site.open() || site.publish(p.base, smallParts) != 0 || site.publish(p.next, smallParts) != 0)
        return {};
    putFile(site.program(), p.base);
    return p;
}

struct Outcome {
    QString error; // "(silent)" for the stop, empty for success
    int chunkRequests = 0;
    int patchRequests = 0;
    int patchesApplied = 0;
    qint64 patchBytes = 0;
    QString whyNot;
    int32_t version = 0;
};

Outcome unite(Site &site, const QList<ReleaseKey> &keys = {}, qsizetype batchBytes = kDefaultBatchBytes)
{
    TFileDivisionAndUnite worker;
    worker.Connection = &site.connection;
    worker.TargetDirectory = site.dir.path();
    worker.ReleaseKeys = keys;
    worker.BatchBytes = batchBytes;
    Outcome o;
    try {
        worker.UniteFile();
    } catch (const SilentAbort &) {
        o.error = QStringLiteral("(silent)");
    } catch (const Exception &e) {
        o.error = e.message();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    o.chunkRequests = worker.ChunkRequests;
    o.patchRequests = worker.PatchRequests;
    o.patchesApplied = worker.PatchesApplied;
    o.patchBytes = worker.PatchBytes;
    o.whyNot = worker.PatchesNotUsed;
    o.version = worker.InstalledVersion;
    return o;
}

// A patch of held whose header claims a program of length, all of it in an extra stream
// that holds nothing: it passes every check made before the result is given room.
QByteArray patchClaiming(const QByteArray &held, qint64 length)
{
    using namespace patchformat;
    QByteArray patch(kHeaderSize, '\0');
    auto *p = reinterpret_cast<uchar *>(patch.data());
    std::memcpy(p, kMagic, 4);
    p[4] = kVersion;
    qToLittleEndian<quint64>(held.size(), p + 8);
    qToLittleEndian<quint64>(length, p + 16);
    qToLittleEndian<quint32>(crc32(0, reinterpret_cast<const Bytef *>(held.constData()), uInt(held.size())), p + 24);
    for (int s = 0; s < kStreams; ++s) {
        uchar *h = p + 32 + s * kStreamHeaderSize;
        qToLittleEndian<quint64>(s == kExtra ? length : s < kDiff ? 1 : 0, h);
        h[16] = 3; // lc
        h[18] = 2; // pb
        qToLittleEndian<quint32>(kMinDictSize, h + 20);
    }
    return patch;
}

#ifdef _WIN32
// No limit of the address space to be had here: the case that needs one is skipped.
class ShortOfMemory {};
#else
// Room for a few programs, not for one of 2 GiB, while it lives.
class ShortOfMemory {
public:
    ShortOfMemory()
    {
        QFile statm(QStringLiteral("/proc/self/statm"));
        statm.open(QIODevice::ReadOnly);
        const rlim_t used = statm.readAll().split(' ').first().toULongLong() * rlim_t(sysconf(_SC_PAGESIZE));
        getrlimit(RLIMIT_AS, &old);
        rlimit tight = old;
        tight.rlim_cur = used + (rlim_t(1) << 30);
        setrlimit(RLIMIT_AS, &tight);
    }
    ~ShortOfMemory() { setrlimit(RLIMIT_AS, &old); }

private:
    rlimit old{};
};
#endif

QStringList folder(const Site &site)
{
    return QDir(site.dir.path()).entryList({QStringLiteral("DovaDu.exe*")}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestPatchRoad : public QObject {
    Q_OBJECT

private slots:
    void roads_data();
    void roads();
    void republishedDuringPatchDownload();
    void prunedDuringPatchDownload();
    void stopDuringPatchDownload();
    void tablesDroppedDuringPatchDownload();
    void signedSite_data();
    void signedSite();
};

void TestPatchRoad::roads_data()
{
    QTest::addColumn<int>("holds");     // the release the workstation holds, 0 the oldest
    QTest::addColumn<QString>("tamper"); // what is done to it or to the patches first
    QTest::addColumn<int>("patches");   // the patches applied; 0: the whole program fetched
    QTest::newRow("one publish behind") << 2 << "" << 1;
    QTest::newRow("a chain of two") << 1 << "" << 2;
    QTest::newRow("one publish too many behind") << 0 << "" << 0;
    QTest::newRow("DovaDu.exe changed on the workstation") << 2 << "local" << 0;
    QTest::newRow("a damaged patch part") << 2 << "flip" << 0;
    QTest::newRow("a patch part missing") << 2 << "missing part" << 0;
    QTest::newRow("a patch that makes another program") << 2 << "other" << 0;
    QTest::newRow("the patch tables absent") << 2 << "no tables" << 0;
    QTest::newRow("the same program, Version.txt lost") << 3 << "" << 0;
    QTest::newRow("a patch claiming more than its row") << 2 << "header 2 GiB" << 0;
    QTest::newRow("a patch and its row claiming 2 GiB, memory short") << 2 << "row 2 GiB" << 0;
}

void TestPatchRoad::roads()
{
    QFETCH(int, holds);
    QFETCH(QString, tamper);
    QFETCH(int, patches);
    Site site;
    QVERIFY(site.open());
    const QStringList keepTwo{QStringLiteral("--patches"), QStringLiteral("2")};
    QByteArray release = chunks::programBytes(200 * 1024, 7);
    for (int i = 0; i < 4; ++i, release = nextRelease(release, 100 + i)) {
        if (i == 3 && tamper == QLatin1String("other")) // a detour, so that a patch from the held program makes it
            QCOMPARE(site.publish(nextRelease(release, 55), keepTwo), 0);
        QCOMPARE(site.publish(release, keepTwo), 0);
    }
    QByteArray held = site.releases[holds];
    if (tamper == QLatin1String("local"))
        held[held.size() / 3] = char(held[held.size() / 3] ^ 1);
    putFile(site.program(), held);
    const QString last = QStringLiteral("(SELECT MAX(PatchId) FROM BPatch)");
    if (tamper == QLatin1String("flip"))
        site.exec(QStringLiteral("UPDATE BPatchPart SET Data = ? WHERE PatchId = %1 AND Part = 0").arg(last),
                  {QByteArray(2000, 'x')});
    else if (tamper == QLatin1String("missing part"))
        site.exec(QStringLiteral("DELETE FROM BPatchPart WHERE PatchId = %1").arg(last));
    else if (tamper == QLatin1String("no tables"))
        site.exec(QStringLiteral("DROP TABLE BPatchPart")), site.exec(QStringLiteral("DROP TABLE BPatch"));
    else if (tamper == QLatin1String("other")) {
        // An intact patch from the held program to the detour, its record claiming the
        // published program: it applies, and makes something else.
        site.exec(QStringLiteral("DELETE FROM BPatch WHERE FromSha256 = ?"), {sha256Of(site.releases[3])});
        site.exec(QStringLiteral("UPDATE BPatch SET ToSha256 = ?, ToLength = ? WHERE FromSha256 = ?"),
                  {sha256Of(site.releases.last()), int(site.releases[3].size()), sha256Of(held)});
    } else if (tamper.endsWith(QLatin1String("2 GiB"))) {
        const QByteArray patch = patchClaiming(held, kMaxProgramSize);
        const qint64 toLength = tamper.startsWith(QLatin1String("row")) ? kMaxProgramSize : site.releases.last().size();
        site.exec(QStringLiteral("DELETE FROM BPatchPart WHERE PatchId = %1 AND Part > 0").arg(last));
        site.exec(QStringLiteral("UPDATE BPatchPart SET Data = ? WHERE PatchId = %1").arg(last), {patch});
        site.exec(QStringLiteral("UPDATE BPatch SET ToLength = ?, Parts = 1, Bytes = ?, PatchSha256 = ? WHERE PatchId = %1")
                      .arg(last),
                  {int(toLength), int(patch.size()), sha256Of(patch)});
    }
    site.clearLog();

#ifdef _WIN32
    if (tamper == QLatin1String("row 2 GiB"))
        QSKIP("no limit of the address space here to make memory short");
#endif
    std::optional<ShortOfMemory> tight;
    if (tamper == QLatin1String("row 2 GiB")) {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer ends the program where the allocation would fail");
#endif
        tight.emplace();
    }
    const Outcome o = unite(site);
    tight.reset();
    if (tamper == QLatin1String("row 2 GiB"))
        QCOMPARE(o.whyNot, QStringLiteral("there is not enough memory to apply the patches"));
    if (tamper == QLatin1String("header 2 GiB"))
        QCOMPARE(o.whyNot, QStringLiteral("The patch cannot be applied: it makes a program of another length than announced."));
    QCOMPARE(o.error, QString());
    QVERIFY(fileBytes(site.program()) == site.releases.last());
    QCOMPARE(o.version, int32_t(site.releases.size())); // the row it was checked against
    QCOMPARE(folder(site), QStringList{QStringLiteral("DovaDu.exe")});
    QVERIFY2(o.patchesApplied == patches, qPrintable(o.whyNot));
    // Counted by the server: the patch road asks for no chunk, the full road for every one.
    const int chunkStatements = site.requestsFor(QStringLiteral("CopyRight"));
    if (patches > 0) {
        QCOMPARE(chunkStatements, 0);
        QVERIFY(site.requestsFor(QStringLiteral("BPatchPart")) > 0);
        QVERIFY(o.patchBytes > 0 && o.patchBytes < site.releases.last().size() / 4);
    } else if (tamper.isEmpty() && holds == 3) {
        QCOMPARE(chunkStatements, 0); // nothing to fetch at all
        QCOMPARE(o.patchRequests, 0);
    } else {
        QCOMPARE(o.chunkRequests, chunkStatements);
        QVERIFY(chunkStatements > 0);
    }
}

void TestPatchRoad::republishedDuringPatchDownload()
{
    // Slow answers, and one part a request, so that the republish lands inside the download.
    Site site({QStringLiteral("--delay"), QStringLiteral("20")});
    const auto [base, next] = publishPair(site, 1024 * 1024, 9);
    QVERIFY(!base.isEmpty());
    const QByteArray other = nextRelease(next, 77);
    bool republished = false;
    int partsLeft = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!republished && ShowForm && ShowForm->ProgressBar1->value() >= 2) {
            // The same version, another program.
            QCOMPARE(site.publish(other, {}, 2), 0);
            republished = true;
            partsLeft = ShowForm->ProgressBar1->maximum() - ShowForm->ProgressBar1->value();
        }
    });
    poll.start(1);
    const Outcome o = unite(site, {}, 1);
    poll.stop();
    QVERIFY(republished);
    QVERIFY(partsLeft >= 2); // parts still to come, asked for after the publish committed
    QVERIFY2(o.error.startsWith(QStringLiteral("The program on the server changed during the download")),
             qPrintable(o.error));
    QVERIFY(fileBytes(site.program()) == base);
    QCOMPARE(folder(site), QStringList{QStringLiteral("DovaDu.exe")});
    // The next login follows the chain to the program published now.
    const Outcome again = unite(site);
    QCOMPARE(again.error, QString());
    QCOMPARE(again.patchesApplied, 2);
    QVERIFY(fileBytes(site.program()) == other);
}

// Every patch pruned and a new one stored while a workstation reads the parts of one: the
// new patch never takes the number the workstation is reading under.
void TestPatchRoad::prunedDuringPatchDownload()
{
    Site site({QStringLiteral("--delay"), QStringLiteral("20")});
    const auto [base, next] = publishPair(site, 1024 * 1024, 13);
    QVERIFY(!base.isEmpty());
    const QByteArray other = chunks::programBytes(1024 * 1024, 31), third = scatteredRelease(other, 32);
    bool republished = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!republished && ShowForm && ShowForm->ProgressBar1->value() >= 2) {
            republished = true;
            const QStringList smallParts{QStringLiteral("--patch-part-size"), QStringLiteral("16384")};
            QCOMPARE(site.publish(other, {QStringLiteral("--no-patch")}), 0); // prunes every patch
            QCOMPARE(site.publish(third, smallParts), 0);
        }
    });
    poll.start(1);
    const Outcome o = unite(site, {}, 1);
    poll.stop();
    QVERIFY(republished);
    QSqlQuery q(site.admin.database());
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral("SELECT PatchId FROM BPatch")) && q.next());
    QCOMPARE(q.value(0).toInt(), 2); // patch 1 was the one being read
    QVERIFY(!q.next());
    q.finish();
    QVERIFY2(o.whyNot.endsWith(QStringLiteral("of patch 1 is missing")), qPrintable(o.whyNot));
    QVERIFY2(o.error.startsWith(QStringLiteral("The program on the server changed during the download")),
             qPrintable(o.error));
    QVERIFY(fileBytes(site.program()) == base);
}

void TestPatchRoad::stopDuringPatchDownload()
{
    Site site({QStringLiteral("--delay"), QStringLiteral("20")});
    const auto [base, next] = publishPair(site, 1024 * 1024, 11);
    QVERIFY(!base.isEmpty());
    QTimer poll;
    QElapsedTimer pressed;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!pressed.isValid() && ShowForm && ShowForm->ProgressBar1->value() >= 1) {
            pressed.start();
            ShowForm->BitBtn1->click();
        }
    });
    poll.start(1);
    const Outcome o = unite(site, {}, 1);
    poll.stop();
    QCOMPARE(o.error, QStringLiteral("(silent)"));
    QVERIFY(pressed.isValid());
    QVERIFY2(pressed.elapsed() < 1000, qPrintable(QString::number(pressed.elapsed())));
    QVERIFY(o.patchRequests >= 1 && o.chunkRequests == 0);
    QVERIFY(applicationEndRequested());
    QVERIFY(fileBytes(site.program()) == base);
    QCOMPARE(folder(site), QStringList{QStringLiteral("DovaDu.exe")});
}

void TestPatchRoad::tablesDroppedDuringPatchDownload()
{
    Site site({QStringLiteral("--delay"), QStringLiteral("20")});
    const auto [base, next] = publishPair(site, 1024 * 1024, 15);
    QVERIFY(!base.isEmpty());
    int partsLeft = -1;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (partsLeft < 0 && ShowForm && ShowForm->ProgressBar1->value() >= 1) {
            partsLeft = ShowForm->ProgressBar1->maximum() - ShowForm->ProgressBar1->value();
            site.exec(QStringLiteral("DROP TABLE BPatchPart"));
        }
    });
    poll.start(1);
    const Outcome o = unite(site, {}, 1);
    poll.stop();
    QVERIFY(partsLeft >= 4); // parts still to come when the table went
    // The full download, in the same window, with none of the patch road's words.
    QCOMPARE(o.error, QString());
    QVERIFY2(o.patchRequests >= 1 && o.chunkRequests > 0, qPrintable(o.whyNot));
    QVERIFY(fileBytes(site.program()) == next);
    QCOMPARE(folder(site), QStringList{QStringLiteral("DovaDu.exe")});
}

void TestPatchRoad::signedSite_data()
{
    QTest::addColumn<bool>("forged");
    QTest::newRow("a patch whose result is signed") << false;
    QTest::newRow("a patch that makes another program") << true;
}

void TestPatchRoad::signedSite()
{
    QFETCH(bool, forged);
    QTemporaryDir keys;
    QProcess keygen;
    keygen.start(QStringLiteral(VESK_PUBLISH), {QStringLiteral("--keygen"), keys.filePath(QStringLiteral("k"))});
    QVERIFY(keygen.waitForFinished(10000) && keygen.exitCode() == 0);
    const ReleaseKey key = ReleaseKey::parse(QString::fromLatin1(fileBytes(keys.filePath(QStringLiteral("k/release.pub")))));
    const QStringList sign{QStringLiteral("--sign"), keys.filePath(QStringLiteral("k/release.key"))};
    Site site;
    QVERIFY(site.open());
    const QByteArray first = chunks::programBytes(200 * 1024, 13), second = nextRelease(first, 14);
    QCOMPARE(site.publish(first, sign), 0);
    QCOMPARE(site.publish(second, sign), 0);
    putFile(site.program(), first);
    if (forged) {
        // Someone who may write the tables but holds no key: another program published over
        // the same version, with the signature of the real one copied into its row.
        QSqlQuery q(site.connection.database());
        q.setForwardOnly(true);
        QVERIFY2(q.exec(QStringLiteral("SELECT Signature FROM BVersion")) && q.next(), qPrintable(q.lastError().text()));
        const QByteArray signature = q.value(0).toByteArray();
        q.finish();
        QCOMPARE(site.publish(nextRelease(second, 99), {}, 2), 0);
        site.exec(QStringLiteral("UPDATE BVersion SET Signature = ?"), {signature});
    }
    const Outcome o = unite(site, {key});
    if (!forged) {
        QCOMPARE(o.error, QString());
        QCOMPARE(o.patchesApplied, 1);
        QCOMPARE(o.chunkRequests, 0);
        QVERIFY(fileBytes(site.program()) == second);
    } else {
        QCOMPARE(o.error, QStringLiteral("The program on the server does not match the signature of the site's release "
                                         "key. The old program is kept; nothing was installed or started."));
        QCOMPARE(o.patchesApplied, 2); // made by the patches, refused before it replaced anything
        QVERIFY(fileBytes(site.program()) == first);
    }
    QCOMPARE(folder(site), QStringList{QStringLiteral("DovaDu.exe")});
}

QTEST_MAIN(TestPatchRoad)
#include "tst_patchroad.moc"
