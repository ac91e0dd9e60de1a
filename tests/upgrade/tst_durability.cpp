// The order in which replacements reach the disk: each new file is flushed before it is
// renamed into place, and its folder is synced after, so that a power cut never leaves
// Version.txt naming a program that the disk does not hold yet. The calls are recorded,
// and a folder's flush made to fail, by wrapping the C library's own fsync and rename.
#include "ChunkRecords.h"
#include "Files.h"
#include "ProgramCopy.h"
#include "TestServer.h"
#include "core/Application.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "platform/RegistryHive.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/VersionCheck.h"
#include "upgrade/VersionFile.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QtTest>
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

namespace {

QStringList *journal = nullptr; // recording while set
QString failingSync;             // a path whose flush fails, as a failing disk's would

QString pathOfFd(int fd)
{
    return QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
}

} // namespace

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (journal)
        journal->append(QStringLiteral("fsync ") + pathOfFd(fd));
    if (!failingSync.isEmpty() && pathOfFd(fd) == failingSync) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

extern "C" int rename(const char *from, const char *to)
{
    static auto real = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "rename"));
    if (journal)
        journal->append(QStringLiteral("rename %1 %2").arg(QFileInfo(QFile::decodeName(from)).canonicalFilePath(),
                                                           QFile::decodeName(to)));
    return real(from, to);
}

namespace {

// What the journal must show for one replacement of target: the new content flushed
// (under whatever temporary name), then renamed over target, then the folder synced.
void checkReplacement(const QStringList &log, const QString &target)
{
    const QString folder = QFileInfo(target).absolutePath();
    const qsizetype renamed = log.indexOf(QRegularExpression(QStringLiteral("^rename \\S+ ") + QRegularExpression::escape(target) + u'$'));
    QVERIFY2(renamed >= 0, qPrintable(log.join(u'\n')));
    const QString temporary = log[renamed].section(u' ', 1, 1);
    const qsizetype flushed = log.indexOf(QStringLiteral("fsync ") + temporary);
    QVERIFY2(flushed >= 0 && flushed < renamed, qPrintable(log.join(u'\n')));
    const qsizetype synced = log.indexOf(QStringLiteral("fsync ") + folder, renamed);
    QVERIFY2(synced > renamed, qPrintable(log.join(u'\n')));
}

// The stand-in publishing version 5 as one chunk, "the new program".
struct Site {
    TestServer server{TestServer::standardSchema()};
    SqlConnection connection{QStringLiteral("durability")};
    bool open()
    {
        if (!server.ok())
            return false;
        connection.setTarget({server.server(), QStringLiteral("VeskDB")});
        connection.open(TestServer::login, TestServer::password);
        execSql(connection.database(), QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES ('0', ?)"),
                {chunks::record("the new program")});
        execSql(connection.database(), QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (5, 1)"));
        return true;
    }
};

} // namespace

class TestDurability : public QObject {
    Q_OBJECT

private slots:
    void programThenFolderThenVersion();
    void unconfirmedFolderLeavesVersionUnrecorded();
    void hiveReplacement();
};

void TestDurability::programThenFolderThenVersion()
{
    Site site;
    QVERIFY2(site.open(), qPrintable(site.server.errors()));
    QTemporaryDir dir;
    const QString folder = QFileInfo(dir.path()).canonicalFilePath();
    putFile(folder + QStringLiteral("/DovaDu.exe"), "the old program", true);

    QStringList log;
    journal = &log;
    {
        TFileDivisionAndUnite unite;
        unite.Connection = &site.connection;
        unite.TargetDirectory = folder;
        unite.UniteFile();
    }
    const qsizetype programDone = log.size();
    writeVersionFile(folder, 5); // what the hand-off does next
    journal = nullptr;

    checkReplacement(log.mid(0, programDone), folder + QStringLiteral("/DovaDu.exe"));
    checkReplacement(log.mid(programDone), folder + QStringLiteral("/Version.txt"));
    QCOMPARE(fileBytes(folder + QStringLiteral("/Version.txt")), QByteArray("5\r\n"));
}

void TestDurability::unconfirmedFolderLeavesVersionUnrecorded()
{
    Site site;
    QVERIFY2(site.open(), qPrintable(site.server.errors()));
    const QString folder = QFileInfo(programDirectory()).canonicalFilePath();
    putFile(folder + QStringLiteral("/DovaDu.exe"), "the old program", true);

    // The rename is done when the folder's flush fails: the new program stands, unrecorded.
    failingSync = folder;
    QStringList notices;
    const int32_t recorded = runUpgrade(site.connection, [&](const QString &text) { notices << text; });
    failingSync.clear();
    QCOMPARE(recorded, 0);
    QCOMPARE(notices, QStringList{QStringLiteral("软件升级成功！")});
    QCOMPARE(fileBytes(folder + QStringLiteral("/DovaDu.exe")), QByteArray("the new program"));
    QVERIFY(!QFile::exists(folder + QStringLiteral("/DovaDu.exe.download")));
}

void TestDurability::hiveReplacement()
{
    QTemporaryDir dir;
    const QString file = QFileInfo(dir.path()).canonicalFilePath() + QStringLiteral("/HKEY_CURRENT_USER.reg");
    RegistryHive hive(file);
    hive.update([](HiveData &d) { d.createKey(QStringLiteral("Software\\Vesk")); });
    QStringList log;
    journal = &log;
    hive.update([](HiveData &d) {
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("FormVersion"), RegValue::text(QStringLiteral("0")));
    });
    journal = nullptr;
    checkReplacement(log, file);
}

int main(int argc, char *argv[])
{
    // In a program folder of its own, which the upgrade writes into.
    if (const int rc = runAsProgramCopy(argc, argv); rc >= 0)
        return rc;
    QApplication app(argc, argv);
    TestDurability t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_durability.moc"
