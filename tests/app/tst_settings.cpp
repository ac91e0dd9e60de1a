// What the login window keeps between runs, with the real window and a fresh store: on
// Linux a real hive file in a temporary XDG_CONFIG_HOME, on Windows the registry itself.
// First and second runs, the operator list, failures; on Linux also the hive's mode, a
// killed save, and a real window manager.
#include "FreshSettings.h"
#include "LoginUnit.h"
#include "RecordingDialogs.h"
#include "TestDisplay.h"
#include "core/Exceptions.h"
#include "StoredSettings.h"
#include "platform/SettingsStore.h"
#include "platform/WindowSystem.h"
#include "settings/FormStorage.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QThread>
#include <QElapsedTimer>
#include <QtTest>
#include <optional>
#ifndef _WIN32
#include "platform/RegistryHive.h"
#include <sys/stat.h>
#endif

namespace {

QString key()
{
    return QStringLiteral("Software\\") + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}
QString section() { return key() + QStringLiteral("\\TLoginForm"); }
QString itemsSection() { return section() + QStringLiteral(".ComboBoxCzy_Items"); }

QString suffix()
{
    const QSize s = QGuiApplication::primaryScreen()->size();
    return QStringLiteral("(%1x%2)").arg(s.width()).arg(s.height());
}

std::optional<QString> stored(const QString &keyPath, const QString &name)
{
    return StoredSettings::text(keyPath, name);
}

void store(const QString &keyPath, const QList<std::pair<QString, StoredValue>> &values)
{
    StoredSettings::store(keyPath, values);
}

StoredValue text(const QString &s) { return StoredValue::string(s); }

// The settings of an earlier run, at this screen's density.
void earlierRun(const QList<std::pair<QString, StoredValue>> &more = {})
{
    QList<std::pair<QString, StoredValue>> values{{QStringLiteral("FormVersion"), text(QStringLiteral("0"))},
                                               {QStringLiteral("PixelsPerInch"), text(QString::number(screenPixelsPerInch(nullptr)))}};
    store(section(), values + more);
}

// A shown login window; deleting it is the end of the run.
struct Run {
    QPointer<TLoginForm> form = new TLoginForm;
    Run()
    {
        form->show();
        if (!QTest::qWaitForWindowExposed(form))
            qWarning("the login window was not exposed");
    }
    ~Run() { delete form; }
    QStringList items() const
    {
        QStringList out;
        for (int i = 0; i < form->ComboBoxCzy->count(); ++i)
            out << form->ComboBoxCzy->itemText(i);
        return out;
    }
    bool centred() const
    {
        const QPoint d = form->frameGeometry().center() - form->screen()->availableGeometry().center();
        return d.manhattanLength() <= 2;
    }
};

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void init() { settings.emplace(); }
    void cleanup() { settings.reset(); }
    void firstRunIsCentredAndLeavesAnEmptyKey();
    void closeBoxSavesEveryValue();
    void endOfApplicationSavesOnce_data();
    void endOfApplicationSavesOnce();
    void secondRunStandsWhereItWasLeft_data();
    void secondRunStandsWhereItWasLeft();
    void screenSizeSuffixReadFirst_data();
    void screenSizeSuffixReadFirst();
    void otherDensityCentresButRestoresTheRest();
    void olderSettingsVersionRestoresNothing();
    void operatorListCounts_data();
    void operatorListCounts();
    void listRoundTripsMostRecentFirst();
    void focusRestoredOnlyWhereItCanGo_data();
    void focusRestoredOnlyWhereItCanGo();
    void minimisedStart();
    void trimmedAndNeverStored();
    void wrongTypeFailures_data();
    void wrongTypeFailures();
    void wrongTypeStoredEntrySkipped();
    void renamedProgramStartsAfresh();
#ifndef _WIN32
    // The hive file itself, and a window manager of X.
    void hiveIsPrivate();
    void unwritableHive_data();
    void unwritableHive();
    void killedSaveLeavesOldOrNew();
    void realWindowManager();
    void minimisedUnderAWindowManager_data();
    void minimisedUnderAWindowManager();
#endif

private:
    std::optional<FreshSettings> settings;
};

void TestSettings::firstRunIsCentredAndLeavesAnEmptyKey()
{
    RecordingDialogs dialogs;
    Run run;
    QVERIFY(run.centred());
    QCOMPARE(run.form->DataBaseName->text(), QStringLiteral("VeskDB"));
    QVERIFY(run.items().isEmpty());
    QVERIFY(StoredSettings::hasKey(key()));
    QVERIFY(!StoredSettings::hasKey(section()));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSettings::closeBoxSavesEveryValue()
{
    RecordingDialogs dialogs;
    Run run;
    TLoginForm &f = *run.form;
    f.ComboBoxCzy->setEditText(QStringLiteral("  张三\t"));
    f.VPNPassWord->setText(QStringLiteral("vpn secret "));
    f.PassWord->setText(QStringLiteral(" db secret"));
    f.MaskEditPwd->setFocus();
    QVERIFY(f.close());
    const QRect frame = f.frameGeometry();
    const QString norm = QStringLiteral("%1,%2,%3,%4").arg(frame.left()).arg(frame.top()).arg(frame.left() + frame.width()).arg(frame.top() + frame.height());
    QStringList names;
    for (const auto &[name, value] : StoredSettings::values(section())) {
        names << name;
        QCOMPARE(value.type, uint32_t(StoredValue::Sz));
    }
    // Every value, in the order a save writes them.
    QStringList expected{"FormVersion", "Flags", "ShowCmd", "PixelsPerInch", "MinMaxPos" + suffix(), "MinMaxPos",
                         "NormPos" + suffix(), "NormPos", "ActiveControl", "Visible", "ComboBoxCzy_Text",
                         "VPNPassWord_Text", "VPNUserName_Text", "ServerIPName_Text", "ServerName_Text",
                         "PassWord_Text"};
#ifdef _WIN32
    // The registry keeps its values in an order of its own.
    names.sort();
    expected.sort();
#endif
    QCOMPARE(names, expected);
    QCOMPARE(*stored(section(), "FormVersion"), QStringLiteral("0"));
    QCOMPARE(*stored(section(), "Flags"), QStringLiteral("0"));
    QCOMPARE(*stored(section(), "ShowCmd"), QStringLiteral("1"));
    QCOMPARE(*stored(section(), "PixelsPerInch"), QString::number(screenPixelsPerInch(&f)));
    QCOMPARE(*stored(section(), "NormPos"), norm);
    QCOMPARE(*stored(section(), "NormPos" + suffix()), norm);
    QCOMPARE(stored(section(), "MinMaxPos")->section(u',', 0, 1), QStringLiteral("-1,-1"));
    QCOMPARE(*stored(section(), "ActiveControl"), QStringLiteral("MaskEditPwd"));
    QCOMPARE(*stored(section(), "Visible"), QStringLiteral("0"));
    QCOMPARE(*stored(section(), "ComboBoxCzy_Text"), QStringLiteral("张三"));
    QCOMPARE(*stored(section(), "VPNPassWord_Text"), QStringLiteral("vpn secret"));
    QCOMPARE(*stored(section(), "PassWord_Text"), QStringLiteral("db secret"));
    QVERIFY(!StoredSettings::hasKey(itemsSection())); // the list was empty
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSettings::endOfApplicationSavesOnce_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("visible");
    QTest::newRow("close box, then destroyed") << "close" << "0";
    QTest::newRow("Cancel") << "cancel" << "1";
    QTest::newRow("destroyed only") << "destroy" << "1";
}

void TestSettings::endOfApplicationSavesOnce()
{
    QFETCH(QString, how);
    QFETCH(QString, visible);
    RecordingDialogs dialogs;
    {
        Run run;
        run.form->ComboBoxCzy->addItem(QStringLiteral("A"));
        if (how == "close")
            QVERIFY(run.form->close());
        else if (how == "cancel")
            run.form->BitBtnCanCel->click();
        QCOMPARE(stored(section(), "Visible").value_or("(none)"), how == "close" ? QStringLiteral("0") : QStringLiteral("(none)"));
        // Anything written now would be overwritten by a second save.
        store(section(), {{QStringLiteral("Marker"), text(QStringLiteral("kept"))}});
    }
    QCOMPARE(*stored(section(), "Visible"), visible);
    QCOMPARE(*stored(section(), "Marker"), QStringLiteral("kept"));
    QCOMPARE(*stored(itemsSection(), "Count"), QStringLiteral("1"));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSettings::secondRunStandsWhereItWasLeft_data()
{
    QTest::addColumn<QString>("normPos");
    QTest::addColumn<QPoint>("corner");
    QTest::newRow("four numbers, right and bottom ignored") << "150,120,9999,33" << QPoint(150, 120);
    QTest::newRow("two numbers") << "150,120" << QPoint(150, 120);
    QTest::newRow("blanks and commas") << " 70 ,, 60" << QPoint(70, 60);
}

void TestSettings::secondRunStandsWhereItWasLeft()
{
    QFETCH(QString, normPos);
    QFETCH(QPoint, corner);
    earlierRun({{QStringLiteral("NormPos"), text(normPos)}});
    Run run;
    QTRY_COMPARE(run.form->frameGeometry().topLeft(), corner);
    QCOMPARE(run.form->width(), 383);
    QCOMPARE(run.form->outerHeight(), 280);
    QCOMPARE(run.form->Position, QStringLiteral("poDesigned"));
    QTest::qWait(200); // the frame watcher leaves it there
    QCOMPARE(run.form->frameGeometry().topLeft(), corner);
}

void TestSettings::screenSizeSuffixReadFirst_data()
{
    QTest::addColumn<bool>("suffixed");
    QTest::newRow("this screen's size stored") << true;
    QTest::newRow("a size never used here") << false;
}

void TestSettings::screenSizeSuffixReadFirst()
{
    QFETCH(bool, suffixed);
    QList<std::pair<QString, StoredValue>> values{{QStringLiteral("NormPos"), text(QStringLiteral("40,50,0,0"))},
                                               {QStringLiteral("NormPos(1x1)"), text(QStringLiteral("1,1,2,2"))}};
    if (suffixed)
        values.append({QStringLiteral("NormPos") + suffix(), text(QStringLiteral("90,80,0,0"))});
    earlierRun(values);
    Run run;
    QTRY_COMPARE(run.form->frameGeometry().topLeft(), suffixed ? QPoint(90, 80) : QPoint(40, 50));
}

void TestSettings::otherDensityCentresButRestoresTheRest()
{
    store(section(), {{QStringLiteral("FormVersion"), text(QStringLiteral("0"))},
                      {QStringLiteral("PixelsPerInch"), text(QStringLiteral("144"))},
                      {QStringLiteral("NormPos"), text(QStringLiteral("10,10,0,0"))},
                      {QStringLiteral("ActiveControl"), text(QStringLiteral("MaskEditPwd"))},
                      {QStringLiteral("ServerIPName_Text"), text(QStringLiteral("vpn.site"))}});
    store(itemsSection(), {{QStringLiteral("Count"), text(QStringLiteral("1"))}, {QStringLiteral("Item0"), text(QStringLiteral("A"))}});
    Run run;
    QVERIFY(run.centred());
    QCOMPARE(run.form->ServerIPName->text(), QStringLiteral("vpn.site"));
    QCOMPARE(run.items(), QStringList{"A"});
    QCOMPARE(run.form->focusWidget(), run.form->MaskEditPwd);
}

void TestSettings::olderSettingsVersionRestoresNothing()
{
    earlierRun({{QStringLiteral("FormVersion"), text(QStringLiteral("-1"))},
                {QStringLiteral("NormPos"), text(QStringLiteral("10,10,0,0"))},
                {QStringLiteral("ServerName_Text"), text(QStringLiteral("elsewhere"))}});
    const QString designed = TLoginForm().ServerName->text();
    {
        Run run;
        QVERIFY(run.centred());
        QCOMPARE(run.form->ServerName->text(), designed);
    }
    QCOMPARE(*stored(section(), "FormVersion"), QStringLiteral("0")); // so the next run restores
    QCOMPARE(*stored(section(), "ServerName_Text"), designed);
}

void TestSettings::operatorListCounts_data()
{
    QTest::addColumn<QStringList>("values"); // Count, then Item0, Item1...; "-" leaves one out
    QTest::addColumn<QStringList>("list");
    QTest::newRow("Count 0") << QStringList{"0", "A"} << QStringList();
    QTest::newRow("Count negative") << QStringList{"-2", "A"} << QStringList();
    QTest::newRow("Count not a number") << QStringList{"two", "A"} << QStringList();
    QTest::newRow("Count with blanks") << QStringList{" 2 ", "A", "B"} << QStringList{"A", "B"};
    QTest::newRow("a missing item") << QStringList{"3", "A", "-", "C"} << QStringList{"A", "", "C"};
    QTest::newRow("items as they stand") << QStringList{"1", " A "} << QStringList{" A "};
}

void TestSettings::operatorListCounts()
{
    QFETCH(QStringList, values);
    QFETCH(QStringList, list);
    earlierRun({{QStringLiteral("ComboBoxCzy_Text"), text(QStringLiteral("typed"))}});
    QList<std::pair<QString, StoredValue>> items{{QStringLiteral("Count"), text(values[0])}};
    for (int i = 1; i < values.size(); ++i)
        if (values[i] != "-")
            items.append({QStringLiteral("Item%1").arg(i - 1), text(values[i])});
    store(itemsSection(), items);
    Run run;
    QCOMPARE(run.items(), list);
    QCOMPARE(run.form->ComboBoxCzy->currentText(), QStringLiteral("typed")); // the list keeps the field's text
}

void TestSettings::listRoundTripsMostRecentFirst()
{
    {
        Run run;
        run.form->ComboBoxCzy->addItems({QStringLiteral("B"), QStringLiteral("A")});
        run.form->ComboBoxCzy->setEditText(QStringLiteral("B"));
    }
    QCOMPARE(*stored(itemsSection(), "Count"), QStringLiteral("2"));
    {
        Run run;
        QCOMPARE(run.items(), (QStringList{"B", "A"}));
        QCOMPARE(run.form->ComboBoxCzy->currentText(), QStringLiteral("B"));
        run.form->ComboBoxCzy->clear(); // an empty list at the save removes the section
    }
    QVERIFY(!StoredSettings::hasKey(itemsSection()));
    Run run;
    QVERIFY(run.items().isEmpty());
}

void TestSettings::focusRestoredOnlyWhereItCanGo_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("restored");
    QTest::newRow("the password field") << "MaskEditPwd" << true;
    QTest::newRow("the Cancel button") << "BitBtnCanCel" << true;
    QTest::newRow("no such control") << "Nothing" << false;
    QTest::newRow("a label") << "Label1" << false;
    QTest::newRow("a hidden button") << "BtnCon" << false;
    QTest::newRow("on the page not shown") << "VPNUserName" << false;
}

void TestSettings::focusRestoredOnlyWhereItCanGo()
{
    QFETCH(QString, control);
    QFETCH(bool, restored);
    earlierRun({{QStringLiteral("ActiveControl"), text(control)}});
    Run run;
    QWidget *focus = run.form->focusWidget();
    if (restored)
        QCOMPARE(focus ? focus->objectName() : QString(), control);
    else
        QVERIFY(!focus || focus->objectName() != control);
}

void TestSettings::minimisedStart()
{
    earlierRun({{QStringLiteral("ShowCmd"), text(QStringLiteral("2"))}});
    Run run;
    QTRY_VERIFY(run.form->isMinimized());
    QVERIFY(!run.form->windowState().testFlag(Qt::WindowMaximized));
}

void TestSettings::trimmedAndNeverStored()
{
    {
        Run run;
        run.form->PassWord->setText(QStringLiteral("secret "));
        run.form->DataBaseName->setText(QStringLiteral("OtherDb"));
        run.form->UserName->setText(QStringLiteral("other"));
        run.form->Edit_Nxdb->setText(QStringLiteral("OtherNx"));
        run.form->MaskEditPwd->setText(QStringLiteral("typed"));
    }
    for (const char *never : {"DataBaseName_Text", "UserName_Text", "Edit_Nxdb_Text", "MaskEditPwd_Text"})
        QVERIFY2(!stored(section(), QLatin1String(never)), never);
    Run run;
    QCOMPARE(run.form->PassWord->text(), QStringLiteral("secret"));
    QCOMPARE(run.form->DataBaseName->text(), QStringLiteral("VeskDB"));
    QCOMPARE(run.form->UserName->text(), QStringLiteral("VeskLogin"));
    QCOMPARE(run.form->Edit_Nxdb->text(), QStringLiteral("Voruvidi"));
    QVERIFY(run.form->MaskEditPwd->text() != QStringLiteral("typed"));
}

void TestSettings::wrongTypeFailures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("savesAfter");
    for (const char *n : {"FormVersion", "Flags", "ShowCmd", "PixelsPerInch", "MinMaxPos", "NormPos"})
        QTest::newRow(n) << QString::fromLatin1(n) << false;
    QTest::newRow("ActiveControl") << "ActiveControl" << true;
}

void TestSettings::wrongTypeFailures()
{
    QFETCH(QString, name);
    QFETCH(bool, savesAfter);
    earlierRun({{QStringLiteral("NormPos"), text(QStringLiteral("30,40"))},
                {QStringLiteral("ServerIPName_Text"), text(QStringLiteral("vpn.site"))},
                {QStringLiteral("Visible"), text(QStringLiteral("old"))},
                {name, StoredValue::dword(1)}});
    RecordingDialogs dialogs;
    {
        Run run;
        QCOMPARE(dialogs.errors(), QStringList{QStringLiteral("Invalid data type for '%1'").arg(name)});
        QVERIFY(run.form->isVisible()); // the window still shows
        QCOMPARE(run.form->ServerIPName->text() == QStringLiteral("vpn.site"), savesAfter);
        QVERIFY(run.form->close());    // and still closes
        QVERIFY(!run.form->isVisible());
    }
    QCOMPARE(*stored(section(), "Visible"), savesAfter ? QStringLiteral("0") : QStringLiteral("old"));
}

void TestSettings::wrongTypeStoredEntrySkipped()
{
    earlierRun({{QStringLiteral("ServerName_Text"), StoredValue::dword(7)},
                {QStringLiteral("ServerIPName_Text"), text(QStringLiteral("vpn.site"))}});
    store(itemsSection(), {{QStringLiteral("Count"), StoredValue::dword(2)}});
    RecordingDialogs dialogs;
    const QString designed = TLoginForm().ServerName->text();
    Run run;
    QVERIFY(dialogs.boxes.isEmpty());
    QCOMPARE(run.form->ServerName->text(), designed);
    QCOMPARE(run.form->ServerIPName->text(), QStringLiteral("vpn.site"));
    QVERIFY(run.items().isEmpty());
}

void TestSettings::renamedProgramStartsAfresh()
{
    // Settings of a copy named differently are another program's.
    store(QStringLiteral("Software\\Vesk2\\TLoginForm"), {{QStringLiteral("FormVersion"), text(QStringLiteral("0"))},
                                                          {QStringLiteral("ServerIPName_Text"), text(QStringLiteral("vpn.other"))}});
    Run run;
    QVERIFY(run.form->ServerIPName->text() != QStringLiteral("vpn.other"));
    // Key names ignore case.
    delete run.form.data();
    store(key().toUpper() + QStringLiteral("\\TLOGINFORM"), {{QStringLiteral("ServerIPName_Text"), text(QStringLiteral("vpn.upper"))}});
    Run again;
    QCOMPARE(again.form->ServerIPName->text(), QStringLiteral("vpn.upper"));
}

#ifndef _WIN32
void TestSettings::hiveIsPrivate()
{
    const QString file = RegistryHive::currentUserFile();
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("REGEDIT4\r\n");
    f.close();
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0644), 0);
    delete Run().form.data();
    struct stat st{};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QCOMPARE(::stat(QFile::encodeName(file + QStringLiteral(".lock")).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
}

void TestSettings::unwritableHive_data()
{
    QTest::addColumn<bool>("sectionExists");
    QTest::addColumn<QString>("error");
    // The error box adds its "." after a letter, not after a quote.
    QTest::newRow("first save") << false << "Failed to create key TLoginForm.";
    QTest::newRow("later save") << true << "Failed to set data for 'FormVersion'";
}

void TestSettings::unwritableHive()
{
    QFETCH(bool, sectionExists);
    QFETCH(QString, error);
    if (sectionExists)
        earlierRun();
    RecordingDialogs dialogs;
    const QString lock = RegistryHive::currentUserFile() + QStringLiteral(".lock");
    {
        Run run;
        // Nobody can take the hive's lock: its lock file is a folder.
        QFile::remove(lock);
        QVERIFY(QDir().mkpath(lock));
        QVERIFY(run.form->close());
        QVERIFY(!run.form->isVisible()); // the window closes as usual
        QCOMPARE(dialogs.errors(), QStringList{error});
        // The failed save is tried once more at destruction, and succeeds now.
        QVERIFY(QDir().rmdir(lock));
    }
    QCOMPARE(dialogs.errors().size(), 1);
    QCOMPARE(*stored(section(), "Visible"), QStringLiteral("1"));
}

void TestSettings::killedSaveLeavesOldOrNew()
{
    for (int round = 0; round < 20; ++round) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--save-forever")});
        QVERIFY(child.waitForStarted(5000));
        QVERIFY(child.waitForReadyRead(10000)); // one save done
        QThread::usleep(QRandomGenerator::global()->bounded(2000, 60000));
        child.kill();
        QVERIFY(child.waitForFinished(5000));
        const HiveData d = HiveData::parse([] {
            QFile f(RegistryHive::currentUserFile());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }()); // throws, failing the test, if half-written
        const auto first = d.value(section(), QStringLiteral("Value0"));
        QVERIFY(first);
        for (int i = 1; i < 20; ++i)
            QCOMPARE(d.value(section(), QStringLiteral("Value%1").arg(i))->data, first->data); // one save whole
    }
}

// A real X server and window manager: the window stands where it was left.
void TestSettings::realWindowManager()
{
    if (!TestDisplay::available(true))
        QSKIP("needs Xvfb, openbox and xprop (scripts/setup.sh installs them)");
    TestDisplay display;
    const QString failure = display.start(true);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const QProcessEnvironment env = display.environment();
    auto runChild = [&](const QString &mode) {
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {mode});
        if (!child.waitForFinished(30000))
            child.kill();
        return QString::fromLatin1(child.readAllStandardOutput()).trimmed();
    };
    const QString left = runChild(QStringLiteral("--move-and-close"));
    const QString found = runChild(QStringLiteral("--report-place"));
    QCOMPARE(left, QStringLiteral("321,203"));
    QCOMPARE(found, left);
}

void TestSettings::minimisedUnderAWindowManager_data()
{
    QTest::addColumn<QString>("showCmd");
    QTest::addColumn<QString>("state"); // WM_STATE as the window manager keeps it
    QTest::newRow("2, minimised") << "2" << "Iconic";
    QTest::newRow("7, minimised without activation") << "7" << "Iconic";
    QTest::newRow("1, normal") << "1" << "Normal";
}

void TestSettings::minimisedUnderAWindowManager()
{
    QFETCH(QString, showCmd);
    QFETCH(QString, state);
    if (!TestDisplay::available(true) || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs Xvfb, openbox, xprop and xdotool (scripts/setup.sh installs them)");
    TestDisplay display;
    const QString failure = display.start(true);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    earlierRun({{QStringLiteral("ShowCmd"), text(showCmd)}});
    QProcess child;
    child.setProcessEnvironment(display.environment());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--report-state")});
    if (!child.waitForFinished(30000))
        child.kill();
    // The state a second on, still a second later, and once restored with its outer height.
    QCOMPARE(QString::fromLatin1(child.readAllStandardOutput()).trimmed(), state + u' ' + state + QStringLiteral(", restored Normal 280"));
}
#endif

namespace {

// WM_STATE of a window, as xprop reads it: "Normal", "Iconic", or empty while unmanaged.
QString wmState(WId window)
{
    QProcess p;
    p.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window), QStringLiteral("WM_STATE")});
    p.waitForFinished(5000);
    const QString out = QString::fromLatin1(p.readAllStandardOutput());
    const qsizetype at = out.indexOf(QLatin1String("window state: "));
    return at < 0 ? QString() : out.mid(at + 14).section(u'\n', 0, 0).trimmed();
}

// The children of the tests above, started from this program.
int child(const QString &mode)
{
    // Each answer leaves as it is printed: whatever ends the child afterwards (a sanitizer's
    // check at its exit has crashed there) must not take the answer with it.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (mode == QLatin1String("--save-forever")) {
        // Saves alternating settings as fast as it can until it is killed.
        for (int round = 0;; ++round) {
            auto store = CurrentUserRegistry::openSettings(key(), CurrentUserRegistry::Access::Full);
            for (int i = 0; i < 20; ++i)
                store->WriteText(QStringLiteral("TLoginForm"), QStringLiteral("Value%1").arg(i), QString::number(round));
            store->Close();
            if (round == 0) {
                std::puts("saved");
            }
        }
    }
    TLoginForm form;
    form.show();
    if (mode == QLatin1String("--report-state")) {
        QTest::qWait(1000);
        const QString first = wmState(form.winId());
        QTest::qWait(1000);
        const QString second = wmState(form.winId());
        // Restored as an operator does from the task bar: the login window comes back normal.
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(form.winId())});
        (void)QTest::qWaitFor([&] { return wmState(form.winId()) == QLatin1String("Normal") && form.outerHeight() == 280; }, 5000);
        std::printf("%s %s, restored %s %d\n", qPrintable(first), qPrintable(second), qPrintable(wmState(form.winId())),
                    form.outerHeight());
        return 0;
    }
    // Until the window manager has framed it.
    if (!QTest::qWaitFor([&] { return frameRect(&form) != form.geometry(); }, 20000)) {
        std::puts("never framed by the window manager");
        return 1;
    }
    if (mode == QLatin1String("--move-and-close")) {
        QTest::qWait(300); // the window manager's own placement first, as a user would see it
        placeWindow(&form, QPoint(321, 203));
        (void)QTest::qWaitFor([&] { return frameRect(&form).topLeft() == QPoint(321, 203); }, 5000);
        QTest::qWait(200);
        const QPoint at = frameRect(&form).topLeft();
        std::printf("%d,%d\n", at.x(), at.y());
        form.close(); // as the close box does: saved with "Visible" "0"
        return 0;
    }
    QTest::qWait(600); // let any late placement happen
    const QPoint at = frameRect(&form).topLeft();
    std::printf("%d,%d\n", at.x(), at.y());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && QByteArray(argv[1]).startsWith("--") && QByteArray(argv[1]) != "--help")
        return child(QString::fromLocal8Bit(argv[1]));
    TestSettings t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_settings.moc"
