// The hive file standing in for HKEY_CURRENT_USER, and the settings store on it.
#include "core/Exceptions.h"
#include "platform/RegistryHive.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>
#include <csignal>

namespace {

// Child mode: writes count values into its own key, one locked update each.
int writer(const QString &hiveFile, const QString &who, int count)
{
    RegistryHive hive(hiveFile);
    for (int i = 0; i < count; ++i)
        hive.update([&](HiveData &d) { d.setValue(QStringLiteral("Software\\Race\\") + who, QString::number(i), RegValue::text(who)); });
    return 0;
}

// Child mode: rewrites a large hive for ever, until killed.
int churn(const QString &hiveFile)
{
    RegistryHive hive(hiveFile);
    const QString big(20000, u'x');
    for (int i = 0;; ++i)
        hive.update([&](HiveData &d) {
            for (int k = 0; k < 20; ++k)
                d.setValue(QStringLiteral("Software\\Churn"), QString::number(k), RegValue::text(big + QString::number(i)));
        });
}

} // namespace

class TestHive : public QObject {
    Q_OBJECT

private slots:
    void init();
    void valueFormsRoundTrip_data();
    void valueFormsRoundTrip();
    void fileUsesExportFormat();
    void keysIgnoreCaseAndKeepIt();
    void deletingKeyTakesEverythingBelow();
    void readsHexContinuationLines();
    void settingsStoreTypes();
    void settingsStoreNumbersAndSections();
    void twoProcessesLoseNothing();
    void killedWriterLeavesHiveIntact();
    void garbledHiveKeptAside();
    void rewrittenTextStaysTheSame_data();
    void rewrittenTextStaysTheSame();

private:
    QTemporaryDir dir;
    QString file() const { return dir.filePath(QStringLiteral("registry/HKEY_CURRENT_USER.reg")); }
};

// Found by fuzzing: a quoted value holding a raw NUL kept the bytes after it, was written
// back in the hex form and read back cut at the NUL, so one rewrite changed it.
void TestHive::rewrittenTextStaysTheSame_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("NUL inside a quoted value") << QByteArray("\"Fe\"=\"a\0\0\0%\\\"b\\\\c\"", 18) << QByteArray("a");
    QTest::newRow("NUL inside a hex(1) value") << QByteArray("\"Fe\"=hex(1):61,00,62,00") << QByteArray("a");
    QTest::newRow("invalid UTF-8") << QByteArray("\"Fe\"=\"\xe5\xbc\"") << QByteArray("\xe5\xbc");
}

void TestHive::rewrittenTextStaysTheSame()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, text);
    const QByteArray hive = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Dovadu]\r\n" + line + "\r\n";
    const HiveData first = HiveData::parse(hive);
    QCOMPARE(first.value(QStringLiteral("Software\\Dovadu"), QStringLiteral("Fe"))->data, text);
    const QByteArray written = first.serialize();
    const HiveData again = HiveData::parse(written);
    QCOMPARE(again.value(QStringLiteral("Software\\Dovadu"), QStringLiteral("Fe"))->data, text);
    QCOMPARE(again.serialize(), written);
}

void TestHive::init()
{
    QDir(dir.filePath(QStringLiteral("registry"))).removeRecursively();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
}

void TestHive::valueFormsRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<RegValue>("value");
    QTest::newRow("plain text") << "ComboBoxCzy_Text" << RegValue::text(QStringLiteral("张三"));
    QTest::newRow("quotes and backslashes") << "a \"q\"\\b" << RegValue::text(QStringLiteral("C:\\x \"y\" \\"));
    QTest::newRow("empty text") << "Empty" << RegValue::text(QString());
    QTest::newRow("default value") << "" << RegValue::text(QStringLiteral("default"));
    QTest::newRow("text with a newline") << "Lines" << RegValue::text(QStringLiteral("one\r\ntwo"));
    QTest::newRow("not UTF-8") << "Bytes" << RegValue{RegValue::Sz, QByteArray("\xB2\xE2\xCA\xD4", 4)};
    QTest::newRow("expand string") << "Path" << RegValue::text(QStringLiteral("%HOME%/x"), RegValue::ExpandSz);
    QTest::newRow("dword") << "Flags" << RegValue::dword(0xDEADBEEF);
    QTest::newRow("binary") << "Blob" << RegValue{RegValue::Binary, QByteArray("\x00\x01\xFF", 3)};
    QTest::newRow("multi string type") << "Multi" << RegValue{7, QByteArray("a\0b\0\0", 5)};
}

void TestHive::valueFormsRoundTrip()
{
    QFETCH(QString, name);
    QFETCH(RegValue, value);
    RegistryHive hive(file());
    hive.update([&](HiveData &d) { d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), name, value); });
    const std::optional<RegValue> back = RegistryHive(file()).read().value(QStringLiteral("Software\\Vesk\\TLoginForm"), name);
    QVERIFY(back.has_value());
    QCOMPARE(back->type, value.type);
    QCOMPARE(back->data, value.data);
}

void TestHive::fileUsesExportFormat()
{
    RegistryHive hive(file());
    hive.update([](HiveData &d) {
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("FormVersion"), RegValue::text(QStringLiteral("0")));
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("N"), RegValue::dword(10));
    });
    QFile f(file());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QVERIFY(text.startsWith("REGEDIT4\r\n"));
    QVERIFY(text.contains("\r\n[HKEY_CURRENT_USER\\Software]\r\n"));
    QVERIFY(text.contains("[HKEY_CURRENT_USER\\Software\\Vesk\\TLoginForm]\r\n\"FormVersion\"=\"0\"\r\n\"N\"=dword:0000000a\r\n"));
    QVERIFY(text.indexOf("[HKEY_CURRENT_USER\\Software\\Vesk]") < text.indexOf("[HKEY_CURRENT_USER\\Software\\Vesk\\TLoginForm]"));
}

void TestHive::keysIgnoreCaseAndKeepIt()
{
    RegistryHive hive(file());
    hive.update([](HiveData &d) { d.setValue(QStringLiteral("Software\\Dovadu\\Main"), QStringLiteral("X"), RegValue::text(QStringLiteral("1"))); });
    hive.update([](HiveData &d) { d.setValue(QStringLiteral("\\SOFTWARE\\DOVADU\\main\\"), QStringLiteral("x"), RegValue::text(QStringLiteral("2"))); });
    const HiveData d = hive.read();
    QCOMPARE(d.keys().size(), 3);
    QCOMPARE(d.key(QStringLiteral("software\\dovadu\\MAIN"))->path, QStringLiteral("Software\\Dovadu\\Main"));
    QCOMPARE(d.key(QStringLiteral("Software\\Dovadu\\Main"))->values.size(), 1);
    QCOMPARE(d.value(QStringLiteral("Software\\Dovadu\\Main"), QStringLiteral("X"))->data, QByteArray("2"));
}

void TestHive::deletingKeyTakesEverythingBelow()
{
    RegistryHive hive(file());
    hive.update([](HiveData &d) {
        d.setValue(QStringLiteral("Software\\Dovadu\\A\\B\\C"), QStringLiteral("v"), RegValue::text(QStringLiteral("1")));
        d.setValue(QStringLiteral("Software\\Dovadu"), QStringLiteral("v"), RegValue::text(QStringLiteral("1")));
        d.setValue(QStringLiteral("Software\\DovaduOther"), QStringLiteral("v"), RegValue::text(QStringLiteral("keep")));
        d.setValue(QStringLiteral("Software\\Vesk"), QStringLiteral("v"), RegValue::text(QStringLiteral("keep")));
    });
    QVERIFY(CurrentUserRegistry::deleteKeyTree(QStringLiteral("\\SOFTWARE\\Dovadu\\")));
    QVERIFY(!CurrentUserRegistry::deleteKeyTree(QStringLiteral("\\SOFTWARE\\Dovadu\\")));
    const HiveData d = hive.read();
    QVERIFY(!d.hasKey(QStringLiteral("Software\\Dovadu")));
    QVERIFY(!d.hasKey(QStringLiteral("Software\\Dovadu\\A\\B")));
    QVERIFY(d.hasKey(QStringLiteral("Software\\DovaduOther")));
    QVERIFY(d.hasKey(QStringLiteral("Software\\Vesk")));
}

void TestHive::readsHexContinuationLines()
{
    const HiveData d = HiveData::parse("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\X]\r\n"
                                       "\"Long\"=hex(2):41,42,\\\r\n  43,00\r\n@=\"top\"\r\n; a comment\r\n");
    QCOMPARE(d.value(QStringLiteral("Software\\X"), QStringLiteral("Long"))->data, QByteArray("ABC"));
    QCOMPARE(d.value(QStringLiteral("Software\\X"), QString())->data, QByteArray("top"));
}

void TestHive::settingsStoreTypes()
{
    RegistryHive hive(file());
    hive.update([](HiveData &d) {
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("Expand"), RegValue::text(QStringLiteral("%X% stays"), RegValue::ExpandSz));
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("ShowCmd"), RegValue::dword(1));
        d.setValue(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("Zero"), RegValue{RegValue::Sz, QByteArray("ab\0cd", 5)});
    });
    auto store = CurrentUserRegistry::openSettings(QStringLiteral("Software\\Vesk"), CurrentUserRegistry::Access::Read);
    QCOMPARE(store->ReadText(QStringLiteral("TLoginForm"), QStringLiteral("Expand"), QString()), QStringLiteral("%X% stays"));
    QCOMPARE(store->ReadText(QStringLiteral("TLoginForm"), QStringLiteral("missing"), QStringLiteral("def")), QStringLiteral("def"));
    QCOMPARE(store->ReadText(QStringLiteral("NoSection"), QStringLiteral("x"), QStringLiteral("def")), QStringLiteral("def"));
    try {
        store->ReadText(QStringLiteral("TLoginForm"), QStringLiteral("ShowCmd"), QString());
        QFAIL("a dword read as text");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("Invalid data type for 'ShowCmd'"));
    }
    QVERIFY_THROWS_EXCEPTION(Exception, store->ReadNumber(QStringLiteral("TLoginForm"), QStringLiteral("ShowCmd"), 5));
}

void TestHive::settingsStoreNumbersAndSections()
{
    {
        auto store = CurrentUserRegistry::openSettings(QStringLiteral("Software\\Vesk"), CurrentUserRegistry::Access::Read);
    }
    QVERIFY(RegistryHive(file()).read().hasKey(QStringLiteral("Software\\Vesk"))); // opening creates the key
    auto store = CurrentUserRegistry::openSettings(QStringLiteral("Software\\Vesk"), CurrentUserRegistry::Access::Full);
    store->WriteNumber(QStringLiteral("TLoginForm"), QStringLiteral("Neg"), -12);
    store->WriteFlag(QStringLiteral("TLoginForm"), QStringLiteral("Visible"), true);
    store->WriteText(QStringLiteral("TLoginForm"), QStringLiteral("Bad"), QStringLiteral("12x"));
    store->WriteText(QStringLiteral("TLoginForm.ComboBoxCzy_Items"), QStringLiteral("Count"), QStringLiteral("1"));
    QCOMPARE(store->ReadNumber(QStringLiteral("TLoginForm"), QStringLiteral("Neg"), 0), -12);
    QCOMPARE(store->ReadText(QStringLiteral("TLoginForm"), QStringLiteral("Visible"), QString()), QStringLiteral("1"));
    QCOMPARE(store->ReadNumber(QStringLiteral("TLoginForm"), QStringLiteral("Bad"), 7), 7);
    QCOMPARE(store->ReadNumber(QStringLiteral("TLoginForm"), QStringLiteral("Missing"), 3), 3);
    store->DropSection(QStringLiteral("TLoginForm.ComboBoxCzy_Items"));
    store->DropSection(QStringLiteral("NoSuchSection"));
    // A save reaches the hive in one piece, when the store is closed.
    QVERIFY(!RegistryHive(file()).read().hasKey(QStringLiteral("Software\\Vesk\\TLoginForm")));
    store->Close();
    QVERIFY(!RegistryHive(file()).read().hasKey(QStringLiteral("Software\\Vesk\\TLoginForm.ComboBoxCzy_Items")));
    QVERIFY(RegistryHive(file()).read().hasKey(QStringLiteral("Software\\Vesk\\TLoginForm")));
}

void TestHive::twoProcessesLoseNothing()
{
    const int count = 1000;
    QProcess a, b;
    for (auto [p, who] : {std::pair{&a, "A"}, std::pair{&b, "B"}})
        p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--writer"), file(), QLatin1String(who), QString::number(count)});
    QVERIFY(a.waitForFinished(120000) && b.waitForFinished(120000));
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
    const HiveData d = RegistryHive(file()).read();
    QCOMPARE(d.key(QStringLiteral("Software\\Race\\A"))->values.size(), count);
    QCOMPARE(d.key(QStringLiteral("Software\\Race\\B"))->values.size(), count);
}

void TestHive::killedWriterLeavesHiveIntact()
{
    RegistryHive(file()).update([](HiveData &d) { d.setValue(QStringLiteral("Software\\Dovadu"), QStringLiteral("Mine"), RegValue::text(QStringLiteral("kept"))); });
    QRandomGenerator g(1);
    for (int round = 0; round < 8; ++round) {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--churn"), file()});
        QVERIFY(p.waitForStarted());
        QTest::qSleep(100 + int(g.bounded(150)));
        ::kill(pid_t(p.processId()), SIGKILL);
        p.waitForFinished();
        QFile f(file());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const HiveData d = HiveData::parse(f.readAll()); // throws if half-written
        QCOMPARE(d.value(QStringLiteral("Software\\Dovadu"), QStringLiteral("Mine"))->data, QByteArray("kept"));
    }
    // The next writer clears what a killed one left behind.
    RegistryHive(file()).update([](HiveData &d) { d.setValue(QStringLiteral("Software\\After"), QStringLiteral("v"), RegValue::text(QStringLiteral("1"))); });
    QVERIFY(RegistryHive(file()).read().hasKey(QStringLiteral("Software\\After")));
    QCOMPARE(QDir(QFileInfo(file()).absolutePath()).entryList({QStringLiteral("*.tmp*")}), QStringList());
}

void TestHive::garbledHiveKeptAside()
{
    QDir().mkpath(QFileInfo(file()).absolutePath());
    const QByteArray garbage("this is not a registry file\n[HKEY_LOCAL_MACHINE\\x]\n");
    {
        QFile f(file());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    QVERIFY(!RegistryHive(file()).read().hasKey(QStringLiteral("Software"))); // reads as empty
    RegistryHive(file()).update([](HiveData &d) { d.createKey(QStringLiteral("Software\\Vesk")); });
    const QStringList aside = QDir(QFileInfo(file()).absolutePath()).entryList({QStringLiteral("*.unreadable-*")});
    QCOMPARE(aside.size(), 1);
    QFile kept(QFileInfo(file()).absolutePath() + u'/' + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), garbage);
    QVERIFY(RegistryHive(file()).read().hasKey(QStringLiteral("Software\\Vesk")));
}

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], "--writer") == 0)
        return writer(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), atoi(argv[4]));
    if (argc == 3 && qstrcmp(argv[1], "--churn") == 0)
        return churn(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestHive t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_hive.moc"
