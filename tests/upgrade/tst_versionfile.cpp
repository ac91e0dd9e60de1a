// Version.txt as the launcher reads and writes it, and the main program's command line.
#include "Files.h"
#include "core/Exceptions.h"
#include "platform/Wine.h"
#include "upgrade/VersionFile.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestVersionFile : public QObject {
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void missingFileIsVersionZero();
    void ioErrors();
    void writesDecimalAndCrLf_data();
    void writesDecimalAndCrLf();
    void sameContentIsLeftAlone();
    void parameters_data();
    void parameters();
#ifndef _WIN32
    // How the Linux build opens a Windows program.
    void windowsProgramsByTheirHeader_data();
    void windowsProgramsByTheirHeader();
    void noWinePrefixNoKey();
    void commandLineWords_data();
    void commandLineWords();
#endif
};

void TestVersionFile::reads_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("version"); // ignored when error is set
    QTest::addColumn<QString>("error");
    const QString bad = QStringLiteral("'%1' is not a valid integer value");
    QTest::newRow("12 CR LF") << QByteArray("12\r\n") << 12 << "";
    QTest::newRow("12 without line end") << QByteArray("12") << 12 << "";
    QTest::newRow("empty file") << QByteArray() << 0 << "";
    QTest::newRow("blank line") << QByteArray("   \t \r\n7\r\n") << 0 << "";
    QTest::newRow("control characters only") << QByteArray("\x01\x1F ") << 0 << "";
    QTest::newRow("leading space") << QByteArray(" 12\r\n") << 12 << "";
    QTest::newRow("trailing space") << QByteArray("12 \r\n") << 0 << bad.arg("12 ");
    QTest::newRow("leading tab") << QByteArray("\t12") << 0 << bad.arg("\t12");
    QTest::newRow("second line ignored") << QByteArray("12\r\nanything at all\r\n") << 12 << "";
    QTest::newRow("lone LF stays in the line") << QByteArray("12\n") << 0 << bad.arg("12\n");
    QTest::newRow("lone LF before a second line") << QByteArray("12\n13\r\n") << 0 << bad.arg("12\n13");
    QTest::newRow("CR alone ends the line") << QByteArray("12\r13") << 12 << "";
    QTest::newRow("Ctrl-Z ends the line") << QByteArray("12\x1Agarbage") << 12 << "";
    QTest::newRow("plus sign") << QByteArray("+5") << 5 << "";
    QTest::newRow("minus zero") << QByteArray("-0") << 0 << "";
    QTest::newRow("negative") << QByteArray("-17\r\n") << -17 << "";
    QTest::newRow("leading zeros") << QByteArray("0012") << 12 << "";
    QTest::newRow("dollar eight F") << QByteArray("$FFFFFFFF") << -1 << "";
    QTest::newRow("0x7fffffff") << QByteArray("0x7fffffff") << 2147483647 << "";
    QTest::newRow("0X lower and upper") << QByteArray("0XaB") << 171 << "";
    QTest::newRow("x1F") << QByteArray("x1F") << 31 << "";
    QTest::newRow("X1F") << QByteArray("X1F") << 31 << "";
    QTest::newRow("space then hex") << QByteArray("  $10") << 16 << "";
    QTest::newRow("nine hex digits") << QByteArray("$123456789") << 0 << bad.arg("$123456789");
    QTest::newRow("hex prefix alone") << QByteArray("0x") << 0 << bad.arg("0x");
    QTest::newRow("sign before dollar") << QByteArray("-$5") << 0 << bad.arg("-$5");
    QTest::newRow("sign before 0x") << QByteArray("+0x5") << 0 << bad.arg("+0x5");
    QTest::newRow("largest") << QByteArray("2147483647") << 2147483647 << "";
    QTest::newRow("one above largest") << QByteArray("2147483648") << 0 << bad.arg("2147483648");
    QTest::newRow("smallest") << QByteArray("-2147483648") << int(-2147483647 - 1) << "";
    QTest::newRow("below smallest") << QByteArray("-2147483649") << 0 << bad.arg("-2147483649");
    QTest::newRow("sign alone") << QByteArray("-") << 0 << bad.arg("-");
    QTest::newRow("space inside") << QByteArray("1 2") << 0 << bad.arg("1 2");
    QTest::newRow("letters") << QByteArray("v12") << 0 << bad.arg("v12");
    QTest::newRow("decimal point") << QByteArray("1.5") << 0 << bad.arg("1.5");
    const QString shortened = bad.arg(QString(40, u'7') + QChar(0x2026));
    QTest::newRow("41 digits") << QByteArray(41, '7') << 0 << shortened;
    QTest::newRow("50 MiB without a line end") << QByteArray(50 << 20, '7') << 0 << shortened;
    QTest::newRow("64 KiB of blanks, then a digit") << QByteArray(64 << 10, ' ') + "7" << 0
                                                    << bad.arg(QString(40, u' ') + QChar(0x2026));
}

void TestVersionFile::reads()
{
    QFETCH(QByteArray, content);
    QFETCH(int, version);
    QFETCH(QString, error);
    QTemporaryDir dir;
    putFile(dir.filePath(QStringLiteral("Version.txt")), content);
    try {
        const int got = readVersionFile(dir.path());
        QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("read %1").arg(got)));
        QCOMPARE(got, version);
    } catch (const Exception &e) {
        QCOMPARE(e.message(), error);
    }
}

void TestVersionFile::missingFileIsVersionZero()
{
    QTemporaryDir dir;
    QCOMPARE(readVersionFile(dir.path()), 0);
}

void TestVersionFile::ioErrors()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("Version.txt"));
    QVERIFY_THROWS_EXCEPTION(Exception, readVersionFile(dir.path()));
    try {
        writeVersionFile(dir.path(), 3); // a folder stands where the file should be
        QFAIL("wrote over a folder");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("File access denied"));
    }
    putFile(dir.filePath(QStringLiteral("plain")), "x");
    try {
        writeVersionFile(dir.filePath(QStringLiteral("plain")), 3); // a file where the folder should be
        QFAIL("wrote below a file");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("Invalid filename"));
    }
    QCOMPARE(ioErrorText(ENOENT), QStringLiteral("File not found"));
    QCOMPARE(ioErrorText(EMFILE), QStringLiteral("Too many open files"));
    QCOMPARE(ioErrorText(ENOSPC), QStringLiteral("Disk full"));
    QCOMPARE(ioErrorText(EIO), QStringLiteral("I/O error %1").arg(EIO));
}

void TestVersionFile::writesDecimalAndCrLf_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("12") << 12 << QByteArray("12\r\n");
    QTest::newRow("negative") << -5 << QByteArray("-5\r\n");
    QTest::newRow("largest") << 2147483647 << QByteArray("2147483647\r\n");
    QTest::newRow("smallest") << int(-2147483647 - 1) << QByteArray("-2147483648\r\n");
}

void TestVersionFile::writesDecimalAndCrLf()
{
    QFETCH(int, version);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    putFile(dir.filePath(QStringLiteral("Version.txt")), "a much longer earlier content\r\nsecond line\r\n");
    writeVersionFile(dir.path(), version);
    QFile f(dir.filePath(QStringLiteral("Version.txt")));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), bytes);
    QCOMPARE(readVersionFile(dir.path()), version);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"Version.txt"});
}

void TestVersionFile::sameContentIsLeftAlone()
{
    // Not replaced, so a folder the operator may only read still starts its program.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Version.txt"));
    putFile(path, "12\r\n");
    // A file written afresh would bear the time of the write.
    const QDateTime longAgo = QDateTime::currentDateTimeUtc().addDays(-3);
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }
    const QDateTime before = QFileInfo(path).lastModified();
    writeVersionFile(dir.path(), 12);
    QCOMPARE(QFileInfo(path).lastModified(), before);
    writeVersionFile(dir.path(), 13); // another number is written as before
    QVERIFY(QFileInfo(path).lastModified() > before.addDays(1));
    QCOMPARE(readVersionFile(dir.path()), 13);
}

void TestVersionFile::parameters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint32>("handle");
    QTest::addColumn<QString>("expected");
    QTest::newRow("abc with blanks around") << "  abc  " << 0u << "abc:0";
    QTest::newRow("inner blanks stay") << " wang wu\t" << 0u << "wang wu:0";
    QTest::newRow("control characters trimmed") << QString("\x01张三\x1F") << 0u << "张三:0";
    QTest::newRow("handle") << "abc" << 123456u << "abc:123456";
    QTest::newRow("top bit set") << "abc" << 0x80000001u << "abc:-2147483647";
    QTest::newRow("all bits") << "abc" << 0xFFFFFFFFu << "abc:-1";
    QTest::newRow("empty after trim") << "   " << 0u << ":0";
}

void TestVersionFile::parameters()
{
    QFETCH(QString, name);
    QFETCH(quint32, handle);
    QFETCH(QString, expected);
    QCOMPARE(mainProgramParameters(name, handle), expected);
}

#ifndef _WIN32
void TestVersionFile::windowsProgramsByTheirHeader_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("windows");
    QByteArray pe(128, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = char(0x40);
    pe.replace(0x40, 4, QByteArray("PE\0\0", 4));
    QTest::newRow("MZ and PE") << pe << true;
    QByteArray dosOnly = pe;
    dosOnly.replace(0x40, 4, QByteArray("NE\0\0", 4));
    QTest::newRow("MZ without PE (a DOS program)") << dosOnly << false;
    QByteArray pointsAway = pe;
    pointsAway[0x3C] = char(0xF0);
    QTest::newRow("PE pointer past the end") << pointsAway << false;
    QTest::newRow("ELF") << QByteArray("\x7F" "ELF\x02\x01\x01").leftJustified(128, '\0') << false;
    QTest::newRow("script") << QByteArray("#!/bin/sh\necho MZ PE\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestVersionFile::windowsProgramsByTheirHeader()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, windows);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("not-named-exe"));
    putFile(path, head);
    QCOMPARE(isWindowsProgram(path), windows);
}

void TestVersionFile::noWinePrefixNoKey()
{
    // A prefix that does not exist yet is not made by asking it for a key.
    QTemporaryDir dir;
    const QString prefix = dir.filePath(QStringLiteral("never-made"));
    qputenv("WINEPREFIX", QFile::encodeName(prefix));
    QVERIFY(!deleteWineKeyTree(QStringLiteral("\\SOFTWARE\\Dovadu\\")));
    qunsetenv("WINEPREFIX");
    QVERIFY(!QFileInfo::exists(prefix));
}

void TestVersionFile::commandLineWords_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("one word") << "abc:0" << QStringList{"abc:0"};
    QTest::newRow("inner blanks split") << "wang  wu:0" << QStringList{"wang", "wu:0"};
    QTest::newRow("tab splits") << "a\tb:5" << QStringList{"a", "b:5"};
    QTest::newRow("quote is a character") << "o'brien:0" << QStringList{"o'brien:0"};
}

void TestVersionFile::commandLineWords()
{
    QFETCH(QString, line);
    QFETCH(QStringList, words);
    QCOMPARE(::commandLineWords(line), words);
}
#endif

QTEST_GUILESS_MAIN(TestVersionFile)
#include "tst_versionfile.moc"
