// A reassembly killed at any moment leaves DovaDu.exe whole: the old program or the
// new one, startable, and no temporary files piling up beside it.
#include "ChunkRecords.h"
#include "Files.h"
#include "TestServer.h"
#include "db/SqlConnection.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QtTest>

using namespace chunks;

namespace {

constexpr int kKills = 30;

// Small shell programs, so that "startable" can be checked by starting them.
QByteArray program(const char *says, qsizetype padding, quint32 seed)
{
    return QByteArray("#!/bin/sh\necho ") + says + "\nexit 0\n" + programBytes(padding, seed);
}

QString run(const QString &path)
{
    QProcess p;
    p.start(path, {});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return QStringLiteral("(did not run)");
    return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
}

} // namespace

class TestKilledUpgrade : public QObject {
    Q_OBJECT

private slots:
    void killedAtThirtyPoints();
};

void TestKilledUpgrade::killedAtThirtyPoints()
{
    // Each answer waits a little, so the run is long enough to be hit anywhere.
    TestServer server(TestServer::standardSchema(), {QStringLiteral("--delay"), QStringLiteral("4")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection admin(QStringLiteral("admin"));
    admin.setTarget({server.server(), QStringLiteral("VeskDB")});
    admin.open(TestServer::login, TestServer::password);
    const QByteArray oldProgram = program("old", 50000, 1);
    const QByteArray newProgram = program("new", 48 * 32768, 2);
    int chunkCount = 0;
    for (qsizetype at = 0; at < newProgram.size(); at += 32768, ++chunkCount)
        execSql(admin.database(), QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"),
                {QString::number(chunkCount), record(newProgram.mid(at, 32768))});
    execSql(admin.database(), QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (2, ?)"), {chunkCount});

    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("DovaDu.exe"));
    auto start = [&](QProcess &child) {
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(VESK_UNITE_CHILD), {server.server(), dir.path()});
        QVERIFY(child.waitForStarted(5000));
        QVERIFY(child.waitForReadyRead(15000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("ready"));
    };

    // One whole run tells how long the work takes after the connection is up.
    putFile(target, oldProgram, true);
    qint64 whole = 0;
    {
        QProcess child;
        start(child);
        QElapsedTimer t;
        t.start();
        QVERIFY(child.waitForFinished(60000));
        whole = t.nsecsElapsed() / 1000;
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(fileBytes(target) == newProgram);
    }

    int oldSeen = 0, newSeen = 0;
    for (int k = 0; k < kKills; ++k) {
        putFile(target, oldProgram, true);
        QProcess child;
        start(child);
        // From the first chunk to past the replacement.
        QThread::usleep(quint64(whole * k / (kKills - 4)));
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        const QByteArray now = fileBytes(target);
        QVERIFY2(now == oldProgram || now == newProgram, qPrintable(QStringLiteral("kill %1: a mixed program").arg(k)));
        QCOMPARE(run(target), QString::fromLatin1(now == oldProgram ? "old" : "new"));
        (now == oldProgram ? oldSeen : newSeen) += 1;
        // At most the one temporary file of the killed run, taken over by the next one.
        const QStringList others = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".download"));
        QVERIFY2(others.size() <= 1, qPrintable(others.join(u' ')));
    }
    QVERIFY2(oldSeen > 0 && newSeen > 0, qPrintable(QStringLiteral("old %1, new %2").arg(oldSeen).arg(newSeen)));

    // The next upgrade leaves nothing behind.
    putFile(target, oldProgram, true);
    QProcess child;
    start(child);
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"DovaDu.exe"});
    QCOMPARE(run(target), QStringLiteral("new"));
}

QTEST_GUILESS_MAIN(TestKilledUpgrade)
#include "tst_killedupgrade.moc"
