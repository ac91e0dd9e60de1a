// The whole road of a login, driven through the window as an operator would, with the
// launcher's code running from a temporary program folder of its own.
//
// Started from the build tree, this program copies itself into a temporary folder as
// "Vesk" and runs that copy: the program directory is then the copy's folder, as it is
// for the real launcher, and DovaDu.exe and Version.txt are written and started there.
#include "AppEnd.h"
#include "ChunkRecords.h"
#include "Files.h"
#include "LoginUnit.h"
#include "NmcliStandin.h"
#include "ProgramCopy.h"
#include "RecordingDialogs.h"
#include "TestServer.h"
#include "core/Application.h"
#include "platform/Wine.h"
#include "platform/RegistryHive.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "upgrade/ShowFormUnit.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QWindow>
#include <utility>
#include <QSqlError>
#include <QSqlQuery>
#include <QDirIterator>
#include <QScopeGuard>
#include <QTimer>
#include <atomic>
#include <thread>
#include <unistd.h>
#include <QtTest>
#include <functional>

using namespace chunks;

namespace {

const QString kSchema = TestServer::standardSchema()
                        + QStringLiteral("INSERT INTO aUser (UserID, PassWord) VALUES ('admin', 'secret');\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('nopw', NULL);\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('o''brien', 'q');\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('wang wu', 'ww');\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('x''; DELETE FROM aUser; --', 'h');\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('<b>x</b>', 'h');\n"
                                         "INSERT INTO aUser (UserID, PassWord) VALUES ('王五', 'h');\n");
const QString kConnectFailed = QStringLiteral("数据库连接失败,请确定数据库配置信息正确后重试！");
const QString kWrongPassword = QStringLiteral("您输入的密码不正确, 请重新输入");
const QString kUpgraded = QStringLiteral("软件升级成功！");

QByteArray mainProgram()
{
    return fileBytes(QStringLiteral(VESK_TEST_MAINPROGRAM));
}

QString dirFile(const QString &name)
{
    return programDirectory() + name;
}

class Road {
public:
    TestServer server;
    SqlConnection admin{QStringLiteral("road-admin")};
    RecordingDialogs dialogs;
    QPointer<TLoginForm> form = new TLoginForm;
    QTemporaryDir config;

    explicit Road(const QString &schema = kSchema, const QStringList &serverArgs = {}) : server(schema, serverArgs)
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        for (const char *name : {"DovaDu.exe", "Version.txt", "started.txt"})
            QFile::remove(dirFile(QLatin1String(name)));
        if (!server.ok())
            return;
        admin.setTarget({server.server(), QStringLiteral("VeskDB")});
        admin.open(TestServer::login, TestServer::password);
        form->ServerName->setText(server.server());
        form->PassWord->setText(TestServer::password);
        form->show();
        form->activateWindow();
        if (!QTest::qWaitForWindowActive(form))
            qWarning("the login window did not become active");
    }
    ~Road() { delete form; }

    // Publishes program as version in chunks of 4 KiB.
    void publish(const QByteArray &program, int version)
    {
        exec(QStringLiteral("DELETE FROM CopyRight"));
        int i = 0;
        for (qsizetype at = 0; at < program.size(); at += 4096, ++i)
            exec(QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"),
                 {QString::number(i), record(program.mid(at, 4096))});
        setVersion(version, i);
    }
    // The workstation already has the version the server announces.
    void installCurrent()
    {
        publish(mainProgram(), 4);
        putFile(dirFile(QStringLiteral("Version.txt")), "4\r\n");
        putFile(dirFile(QStringLiteral("DovaDu.exe")), mainProgram(), true);
    }
    void setVersion(std::optional<int> version, int counts = 1)
    {
        exec(QStringLiteral("DELETE FROM BVersion"));
        if (version)
            exec(QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (?, ?)"), {*version, counts});
    }
    void exec(const QString &sql, const QVariantList &values = {}) { execSql(admin.database(), sql, values); }
    void dovaduSettings()
    {
        RegistryHive(RegistryHive::currentUserFile()).update([](HiveData &d) {
            d.setValue(QStringLiteral("SOFTWARE\\Dovadu\\Windows\\Main"), QStringLiteral("Left"), RegValue::text(QStringLiteral("10")));
            d.setValue(QStringLiteral("Software\\Other"), QStringLiteral("Keep"), RegValue::text(QStringLiteral("1")));
        });
    }
    bool dovaduKeyExists() const
    {
        return RegistryHive(RegistryHive::currentUserFile()).read().hasKey(QStringLiteral("Software\\Dovadu"));
    }

    // Types into the fields and presses the OK button, as an operator does.
    void login(const QString &name, const QString &password)
    {
        form->ComboBoxCzy->lineEdit()->clear();
        QTest::keyClicks(form->ComboBoxCzy->lineEdit(), name);
        form->MaskEditPwd->clear();
        QTest::keyClicks(form->MaskEditPwd, password);
        QTest::mouseClick(form->BitBtnOk, Qt::LeftButton);
    }

    // The started program's working directory, then its arguments; empty if none started.
    QStringList started(int waitMs = 5000) const
    {
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(dirFile(QStringLiteral("started.txt"))) && t.elapsed() < waitMs)
            QTest::qWait(20);
        const QByteArray text = fileBytes(dirFile(QStringLiteral("started.txt")));
        return text.isEmpty() ? QStringList() : QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    }
};

} // namespace

class TestLoginRoad : public QObject {
    Q_OBJECT

private slots:
    void emptyOperatorDoesNothing();
    void unknownOperator_data();
    void unknownOperator();
    void wrongPassword_data();
    void wrongPassword();
    void databaseUnreachable_data();
    void databaseUnreachable();
    void connectFailuresInOrder_data();
    void connectFailuresInOrder();
    void lookupErrorShownInErrorBox();
    void versionQueryFailsAtTheCheck_data();
    void versionQueryFailsAtTheCheck();
    void quoteInNameIsOneValue();
    void hostileOperatorNames_data();
    void hostileOperatorNames();
    void connectionsRecover_data();
    void connectionsRecover();
    void namesOnEveryCollation_data();
    void namesOnEveryCollation();
    void nullPasswordWithEmptyField();
    void successWithUpgrade();
    void readOnlyLoginWithTheSitesTables();
    void versionCases_data();
    void versionCases();
    void noVersionAnywhereFailsBeforeChunks();
    void failedStartIsReported();
    void windowsMainProgram_data();
    void windowsMainProgram();
    void realNetworkManager();
    void cleanupTestCase();
    void operatorListMostRecentFirst_data();
    void operatorListMostRecentFirst();
    void secondLoginRefusedDuringUpgrade();
    void operatorListLastsToTheNextRun_data();
    void operatorListLastsToTheNextRun();
    void windowTakesNoInputDuringDownload_data();
    void windowTakesNoInputDuringDownload();
    void unwritableHiveDoesNotFailTheUpgrade();
    void dialledHandleReachesTheMainProgram_data();
    void dialledHandleReachesTheMainProgram();
};

void TestLoginRoad::emptyOperatorDoesNothing()
{
    Road r;
    QVERIFY(r.server.ok());
    r.login(QString(), QStringLiteral("x"));
    QVERIFY(r.dialogs.boxes.isEmpty());
    QVERIFY(!r.form->ADO_Temp.active());
    QVERIFY(r.form->isVisible());
}

void TestLoginRoad::unknownOperator_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("unknown") << "nobody";
    QTest::newRow("blanks kept as typed") << " ghost ";
    QTest::newRow("injection attempt") << "x' or '1'='1";
}

void TestLoginRoad::unknownOperator()
{
    QFETCH(QString, name);
    Road r;
    QVERIFY(r.server.ok());
    r.form->MaskEditPwd->setFocus();
    r.login(name, QStringLiteral("secret"));
    QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("用户名 ") + name + QStringLiteral(" 不存在, 请重新输入")});
    QCOMPARE(QApplication::focusWidget(), r.form->ComboBoxCzy);
    QVERIFY(r.started(200).isEmpty());
    QVERIFY(!applicationEndRequested());
}

void TestLoginRoad::wrongPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("wrong") << "wrong";
    QTest::newRow("differs only in case") << "SECRET";
    QTest::newRow("trailing blank") << "secret ";
    QTest::newRow("empty") << "";
}

void TestLoginRoad::wrongPassword()
{
    QFETCH(QString, password);
    Road r;
    QVERIFY(r.server.ok());
    r.login(QStringLiteral("admin"), password);
    QCOMPARE(r.dialogs.notices(), QStringList{kWrongPassword});
    QCOMPARE(QApplication::focusWidget(), r.form->MaskEditPwd);
    QTRY_COMPARE(r.form->MaskEditPwd->selectedText(), password);
    QCOMPARE(r.form->ComboBoxCzy->count(), 0);
    QVERIFY(!applicationEndRequested());
}

void TestLoginRoad::databaseUnreachable_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::newRow("public database") << "DataBaseName" << "NoSuchDb";
    QTest::newRow("domestic-sales database") << "Edit_Nxdb" << "NoSuchDb";
    QTest::newRow("server") << "ServerName" << QStringLiteral("127.0.0.1,%1").arg(closedPort());
}

void TestLoginRoad::databaseUnreachable()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    Road r;
    QVERIFY(r.server.ok());
    r.form->findChild<QLineEdit *>(field)->setText(value);
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.notices(), QStringList{kConnectFailed});
    QVERIFY(!r.form->ADO_Temp.active()); // no lookup was made
    // Corrected settings and a second press log in.
    r.form->findChild<QLineEdit *>(field)->setText(field == QLatin1String("ServerName") ? r.server.server() : field == QLatin1String("DataBaseName") ? QStringLiteral("VeskDB") : QStringLiteral("Voruvidi"));
    r.installCurrent();
    QTest::mouseClick(r.form->BitBtnOk, Qt::LeftButton);
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::connectFailuresInOrder_data()
{
    QTest::addColumn<QString>("pub");
    QTest::addColumn<QString>("nx");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QStringList>("errors");
    const QString uncarried = QStringLiteral("x};y");
    const QStringList refused{QStringLiteral("The database name cannot contain \"};\" or a NUL character.")};
    // Made at once, the two connections still fail as one after the other would: the
    // public database's failure is the one reported, and nothing of the second after it.
    QTest::newRow("both fail: one notice") << "NoSuchDb" << "NoSuchDb" << QStringList{kConnectFailed} << QStringList();
    QTest::newRow("first fails, second uncarriable: the notice") << "NoSuchDb" << uncarried << QStringList{kConnectFailed}
                                                                 << QStringList();
    QTest::newRow("first opens, second uncarriable: the error box") << "VeskDB" << uncarried << QStringList() << refused;
    QTest::newRow("first uncarriable, second fails: the error box") << uncarried << "NoSuchDb" << QStringList() << refused;
}

void TestLoginRoad::connectFailuresInOrder()
{
    QFETCH(QString, pub);
    QFETCH(QString, nx);
    QFETCH(QStringList, notices);
    QFETCH(QStringList, errors);
    Road r;
    QVERIFY(r.server.ok());
    r.form->DataBaseName->setText(pub);
    r.form->Edit_Nxdb->setText(nx);
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.notices(), notices);
    QCOMPARE(r.dialogs.errors(), errors);
    QVERIFY(!r.form->ADO_Temp.active());
    QVERIFY(!applicationEndRequested());
}

void TestLoginRoad::versionQueryFailsAtTheCheck_data()
{
    QTest::addColumn<QString>("bversion"); // the table's definition
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("local"); // Version.txt
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QStringList>("errors");
    const QString missing, noColumn = QStringLiteral("CREATE TABLE BVersion (Counts int NOT NULL);\n"
                                                           "INSERT INTO BVersion VALUES (1);\n");
    // The version query travels with the lookup, but its failure shows where the check
    // asks for the version: after the password, after Version.txt was read.
    QTest::newRow("no table, wrong password") << missing << "wrong" << QByteArray("4\r\n") << QStringList{kWrongPassword}
                                              << QStringList();
    QTest::newRow("no table") << missing << "secret" << QByteArray("4\r\n") << QStringList()
                              << QStringList{QStringLiteral("[FreeTDS][SQL Server]Invalid object name 'BVersion'.")};
    QTest::newRow("no column") << noColumn << "secret" << QByteArray("4\r\n") << QStringList()
                               << QStringList{QStringLiteral("Field 'Version' not found.")};
    QTest::newRow("no table, Version.txt not a number") << missing << "secret" << QByteArray("4x\r\n") << QStringList()
                                                        << QStringList{QStringLiteral("'4x' is not a valid integer value.")};
}

void TestLoginRoad::versionQueryFailsAtTheCheck()
{
    QFETCH(QString, bversion);
    QFETCH(QString, password);
    QFETCH(QByteArray, local);
    QFETCH(QStringList, notices);
    QFETCH(QStringList, errors);
    Road r(QStringLiteral("USE VeskDB\nCREATE TABLE aUser (UserID varchar(50) NOT NULL, PassWord varchar(50) NULL);\n"
                          "INSERT INTO aUser VALUES ('admin', 'secret');\n")
           + bversion);
    QVERIFY(r.server.ok());
    putFile(dirFile(QStringLiteral("Version.txt")), local);
    putFile(dirFile(QStringLiteral("DovaDu.exe")), mainProgram(), true);
    r.login(QStringLiteral("admin"), password);
    QCOMPARE(r.dialogs.notices(), notices);
    QCOMPARE(r.dialogs.errors(), errors);
    QVERIFY(r.started(300).isEmpty());
    QVERIFY(!applicationEndRequested());
    // The connection is still good: a corrected table lets the next press through.
    if (!bversion.isEmpty())
        r.exec(QStringLiteral("DROP TABLE BVersion"));
    r.exec(QStringLiteral("CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL)"));
    r.exec(QStringLiteral("INSERT INTO BVersion VALUES (4, 1)"));
    putFile(dirFile(QStringLiteral("Version.txt")), "4\r\n");
    r.dialogs.boxes.clear();
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.errors(), QStringList());
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::lookupErrorShownInErrorBox()
{
    Road r(QStringLiteral("USE VeskDB\nCREATE TABLE BVersion (Version int, Counts int);\n"));
    QVERIFY(r.server.ok());
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.errors(), QStringList{QStringLiteral("[FreeTDS][SQL Server]Invalid object name 'aUser'.")});
    QVERIFY(r.form->isVisible());
    QVERIFY(!applicationEndRequested());
}

void TestLoginRoad::quoteInNameIsOneValue()
{
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    r.login(QStringLiteral("o'brien"), QStringLiteral("q"));
    QCOMPARE(r.dialogs.errors().join(u'|'), QString());
    QCOMPARE(r.dialogs.boxes.size(), 0);
    QCOMPARE(r.started().mid(1), QStringList{"o'brien:0"});
}

void TestLoginRoad::hostileOperatorNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known"); // in aUser with the password "h"
    QTest::newRow("quote, semicolon, comment") << "x'; DELETE FROM aUser; --" << true;
    QTest::newRow("markup") << "<b>x</b>" << true;
    QTest::newRow("Chinese") << "王五" << true;
    QTest::newRow("unknown with quote") << "y' OR '1'='1" << false;
    QTest::newRow("comment only") << "--" << false;
    QTest::newRow("semicolon") << "a;b" << false;
    QTest::newRow("less-than") << "<" << false;
    QTest::newRow("300 characters") << QString(300, u'n') << false;
    QTest::newRow("5000 characters") << QString(5000, u'n') << false;
    QTest::newRow("5000 Chinese characters") << QString(5000, QChar(0x738B)) << false;
    QTest::newRow("control characters") << QStringLiteral("a\tb\x01c\x1b") << false;
}

void TestLoginRoad::hostileOperatorNames()
{
    QFETCH(QString, name);
    QFETCH(bool, known);
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    // Set as a paste would, since control characters cannot be typed.
    r.form->ComboBoxCzy->setEditText(name);
    r.form->MaskEditPwd->setText(QStringLiteral("h"));
    QTest::mouseClick(r.form->BitBtnOk, Qt::LeftButton);
    QCOMPARE(r.dialogs.errors(), QStringList());
    if (known) {
        QVERIFY(applicationEndRequested());
        // Unquoted on the command line: a name with blanks arrives as several words.
        QCOMPARE(r.started().mid(1), (name + QStringLiteral(":0")).split(u' ', Qt::SkipEmptyParts));
    } else {
        QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("用户名 ") + name + QStringLiteral(" 不存在, 请重新输入")});
        QVERIFY(!applicationEndRequested());
    }
    // Every statement ran as written: the table is all there.
    QSqlQuery q(r.admin.database());
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral("SELECT UserID FROM aUser WHERE UserID = 'admin'")) && q.next());
}

void TestLoginRoad::connectionsRecover_data()
{
    QTest::addColumn<QString>("between"); // what happens between the two presses
    QTest::addColumn<int>("loginsAfter"); // the server's logins once the second press is done
    // The connections opened by the first press are made again only where they broke.
    QTest::newRow("the server restarted") << "restart" << 4;
    QTest::newRow("the link cut during a lookup") << "cut" << 5;
    QTest::newRow("a statement the server refused") << "refused" << 2;
}

void TestLoginRoad::connectionsRecover()
{
    QFETCH(QString, between);
    QFETCH(int, loginsAfter);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("logins"));
    const QString schema = between == QLatin1String("refused")
                               ? QStringLiteral("USE VeskDB\nCREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);\n"
                                                "CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);\n")
                               : kSchema;
    Road r(schema, {QStringLiteral("--log-logins"), log, QStringLiteral("--close-on"), QStringLiteral("cut me")});
    QVERIFY(r.server.ok());
    r.installCurrent();
    const qsizetype admin = fileBytes(log).count('\n'); // the test's own connection
    const auto logins = [&] { return fileBytes(log).count('\n') - admin; };
    r.login(QStringLiteral("admin"), QStringLiteral("wrong"));
    if (between == QLatin1String("refused")) {
        QCOMPARE(r.dialogs.errors(), QStringList{QStringLiteral("[FreeTDS][SQL Server]Invalid object name 'aUser'.")});
        r.exec(QStringLiteral("CREATE TABLE aUser (UserID varchar(50) NOT NULL, PassWord varchar(50) NULL)"));
        r.exec(QStringLiteral("INSERT INTO aUser VALUES ('admin', 'secret')"));
    } else {
        QCOMPARE(r.dialogs.notices(), QStringList{kWrongPassword});
    }
    QCOMPARE(logins(), 2);
    r.dialogs.boxes.clear();
    if (between == QLatin1String("restart")) {
        QVERIFY(r.server.restart());
    } else if (between == QLatin1String("cut")) {
        r.login(QStringLiteral("cut me"), QStringLiteral("x"));
        QCOMPARE(r.dialogs.errors().size(), 1); // the lookup asked again on a new connection, cut again
        r.dialogs.boxes.clear();
    }
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.errors(), QStringList());
    QVERIFY(applicationEndRequested());
    QCOMPARE(r.started().mid(1), QStringList{QStringLiteral("admin:0")});
    QCOMPARE(logins(), loginsAfter);
}

void TestLoginRoad::namesOnEveryCollation_data()
{
    QTest::addColumn<QString>("collation");
    QTest::addColumn<QString>("column");
    QTest::addColumn<bool>("holdsChinese"); // false: the column keeps question marks for 张三
    const QString latin = QStringLiteral("Latin1_General_CI_AS"), chinese = QStringLiteral("Chinese_PRC_CI_AS"),
                  utf8 = QStringLiteral("Latin1_General_100_CI_AS_SC_UTF8");
    for (const QString &c : {latin, QStringLiteral("SQL_Latin1_General_CP1_CI_AS"), chinese, utf8}) {
        const bool latinPage = c.contains(QLatin1String("Latin")) && c != utf8;
        QTest::addRow("%s, nvarchar", qPrintable(c)) << c << "nvarchar(50)" << true;
        QTest::addRow("%s, varchar", qPrintable(c)) << c << "varchar(50)" << !latinPage;
        QTest::addRow("%s, varchar with a Chinese collation", qPrintable(c))
            << c << "varchar(50) COLLATE Chinese_PRC_CI_AS" << true;
    }
}

void TestLoginRoad::namesOnEveryCollation()
{
    QFETCH(QString, collation);
    QFETCH(QString, column);
    QFETCH(bool, holdsChinese);
    const QString schema = QStringLiteral("USE VeskDB\n"
                                          "CREATE TABLE aUser (UserID %1 NOT NULL, PassWord nvarchar(50) NULL);\n"
                                          "CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);\n"
                                          "CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);\n"
                                          "INSERT INTO aUser VALUES (N'张三', N'1');\n"
                                          "INSERT INTO aUser VALUES (N'李四', NULL);\n"
                                          "INSERT INTO aUser VALUES (N'O''Brien', N'q');\n"
                                          "INSERT INTO aUser VALUES (N'wang wu', N'ww');\n"
                                          "INSERT INTO aUser VALUES (N'x''; DELETE FROM aUser; --', N'h');\n")
                               .arg(column);
    struct Case {
        QString typed, password;
        bool chinese;    // needs a column that holds Chinese
        bool known;      // in aUser at all
    };
    const Case cases[] = {
        {QStringLiteral("张三"), QStringLiteral("1"), true, true},
        {QStringLiteral("李四"), QString(), true, true},
        {QStringLiteral("O'Brien"), QStringLiteral("q"), false, true},
        {QStringLiteral("o'brien"), QStringLiteral("q"), false, true}, // the server's comparison ignores case
        {QStringLiteral("wang wu"), QStringLiteral("ww"), false, true},
        {QStringLiteral("x'; DELETE FROM aUser; --"), QStringLiteral("h"), false, true},
        {QStringLiteral("y' OR '1'='1"), QStringLiteral("h"), false, false},
    };
    for (const Case &c : cases) {
        Road r(schema, {QStringLiteral("--collation"), collation});
        QVERIFY(r.server.ok());
        r.installCurrent();
        r.form->ComboBoxCzy->setEditText(c.typed);
        r.form->MaskEditPwd->setText(c.password);
        QTest::mouseClick(r.form->BitBtnOk, Qt::LeftButton);
        QVERIFY2(r.dialogs.errors().isEmpty(), qPrintable(c.typed + u' ' + r.dialogs.errors().join(u'|')));
        const bool logsIn = c.known && (holdsChinese || !c.chinese);
        if (logsIn) {
            QVERIFY2(applicationEndRequested(), qPrintable(c.typed + u' ' + r.dialogs.notices().join(u'|')));
            QCOMPARE(r.started().mid(1), (c.typed + QStringLiteral(":0")).split(u' ', Qt::SkipEmptyParts));
        } else {
            QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("用户名 ") + c.typed + QStringLiteral(" 不存在, 请重新输入")});
            QVERIFY(!applicationEndRequested());
        }
        QSqlQuery q(r.admin.database());
        q.setForwardOnly(true);
        QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM aUser")) && q.next());
        QCOMPARE(q.value(0).toInt(), 5);
        // As SQL Server stores it: question marks where the column's code page lacks the name.
        QVERIFY(q.exec(QStringLiteral("SELECT UserID FROM aUser WHERE PassWord = N'1'")) && q.next());
        QCOMPARE(q.value(0).toString(), holdsChinese ? QStringLiteral("张三") : QStringLiteral("??"));
    }
}

void TestLoginRoad::nullPasswordWithEmptyField()
{
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    r.login(QStringLiteral("nopw"), QString());
    QVERIFY(applicationEndRequested()); // asked right away, before anything else runs the loop
    QCOMPARE(r.dialogs.errors().join(u'|'), QString());
    QCOMPARE(r.dialogs.boxes.size(), 0);
    QCOMPARE(r.started().mid(1), QStringList{"nopw:0"});
}

void TestLoginRoad::successWithUpgrade()
{
    Road r;
    QVERIFY(r.server.ok());
    const QByteArray program = mainProgram();
    r.publish(program, 12);
    r.dovaduSettings();
    putFile(dirFile(QStringLiteral("DovaDu.exe")), "an old main client program", true);
    // At the notice the program is in place, its settings not yet reset, the version not yet written.
    bool orderOk = false;
    r.dialogs.onShow = [&](const RecordingDialogs::Box &b) {
        if (b.text == kUpgraded)
            orderOk = fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program && r.dovaduKeyExists()
                      && !QFile::exists(dirFile(QStringLiteral("Version.txt")))
                      && !QFile::exists(dirFile(QStringLiteral("started.txt")));
    };
    r.login(QStringLiteral("ADMIN "), QStringLiteral("secret")); // the server ignores case and trailing blanks
    QCOMPARE(r.form->ComboBoxCzy->itemText(0), QStringLiteral("ADMIN "));
    // Asked right away, before anything else runs the loop. Ending sends the window no
    // close request: its owner destroys it after the loop.
    QVERIFY(applicationEndRequested());
    QVERIFY(!r.form.isNull() && r.form->isVisible());
    QCOMPARE(r.dialogs.notices(), QStringList{kUpgraded});
    QVERIFY(r.dialogs.errors().isEmpty());
    QVERIFY(orderOk);
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program);
    QVERIFY(!r.dovaduKeyExists());
    QVERIFY(RegistryHive(RegistryHive::currentUserFile()).read().hasKey(QStringLiteral("Software\\Other")));
    QCOMPARE(fileBytes(dirFile(QStringLiteral("Version.txt"))), QByteArray("12\r\n"));
    const QStringList started = r.started();
    QCOMPARE(started.mid(1), QStringList{"ADMIN:0"}); // trimmed, as typed
    QCOMPARE(started.value(0), QDir::currentPath()); // the launcher's current directory
}

// The tables as docs/sql/ makes them, and the shared login allowed to read alone: the
// whole road, the upgrade included, still works.
void TestLoginRoad::readOnlyLoginWithTheSitesTables()
{
    QFile tables(QStringLiteral(VESK_SOURCE_DIR "/docs/sql/1-tables.sql"));
    QVERIFY(tables.open(QIODevice::ReadOnly));
    Road r(QString::fromUtf8(tables.readAll()) + QStringLiteral("\nINSERT INTO aUser (UserID, PassWord) VALUES ('admin', 'secret');\n"),
           {QStringLiteral("--login"), QStringLiteral("Operators:op"), QStringLiteral("--read-only-login"),
            QStringLiteral("Operators")});
    QVERIFY2(r.server.ok(), qPrintable(r.server.errors()));
    r.form->UserName->setText(QStringLiteral("Operators"));
    r.form->PassWord->setText(QStringLiteral("op"));
    const QByteArray program = mainProgram();
    r.publish(program, 12);
    putFile(dirFile(QStringLiteral("DovaDu.exe")), "an old main client program", true);
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QVERIFY(applicationEndRequested());
    QCOMPARE(r.dialogs.notices(), QStringList{kUpgraded});
    QVERIFY(r.dialogs.errors().isEmpty());
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program);
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::versionCases_data()
{
    QTest::addColumn<QByteArray>("local");  // Version.txt's content; empty: no file
    QTest::addColumn<int>("server");
    QTest::addColumn<bool>("upgrade");
    QTest::addColumn<QByteArray>("after");  // Version.txt afterwards
    QTest::newRow("0 and n: upgrade") << QByteArray("   \r\n") << 9 << true << QByteArray("9\r\n");
    QTest::newRow("n and greater m: upgrade") << QByteArray("5\r\n") << 12 << true << QByteArray("12\r\n");
    QTest::newRow("negative and greater: upgrade") << QByteArray("$FFFFFFFF") << 3 << true << QByteArray("3\r\n");
    QTest::newRow("equal: no upgrade, rewritten") << QByteArray(" 12\r\nnote") << 12 << false << QByteArray("12\r\n");
    QTest::newRow("local higher: set back") << QByteArray("15\r\n") << 12 << false << QByteArray("12\r\n");
    QTest::newRow("server 0: unchanged") << QByteArray("7\r\n") << 0 << false << QByteArray("7\r\n");
}

void TestLoginRoad::versionCases()
{
    QFETCH(QByteArray, local);
    QFETCH(int, server);
    QFETCH(bool, upgrade);
    QFETCH(QByteArray, after);
    Road r;
    QVERIFY(r.server.ok());
    const QByteArray program = mainProgram();
    r.publish(program + QByteArray("new"), server);
    putFile(dirFile(QStringLiteral("Version.txt")), local);
    putFile(dirFile(QStringLiteral("DovaDu.exe")), program, true);
    r.dovaduSettings();
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QVERIFY(applicationEndRequested()); // asked right away, before anything else runs the loop
    QCOMPARE(r.dialogs.notices(), upgrade ? QStringList{kUpgraded} : QStringList());
    QVERIFY(r.dialogs.errors().isEmpty());
    QCOMPARE(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program + QByteArray("new"), upgrade);
    QCOMPARE(r.dovaduKeyExists(), !upgrade);
    QCOMPARE(fileBytes(dirFile(QStringLiteral("Version.txt"))), after);
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::noVersionAnywhereFailsBeforeChunks()
{
    Road r;
    QVERIFY(r.server.ok());
    r.setVersion(std::nullopt);
    putFile(dirFile(QStringLiteral("DovaDu.exe")), "the working program", true);
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.errors(), QStringList{QStringLiteral("TProgressBar property out of range.")});
    QVERIFY(r.dialogs.notices().isEmpty());
    QCOMPARE(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))), QByteArray("the working program"));
    QVERIFY(!QFile::exists(dirFile(QStringLiteral("Version.txt"))));
    QVERIFY(r.started(300).isEmpty());
    QVERIFY(r.form->isVisible());
    QVERIFY(r.form->BitBtnOk->isEnabled());
    QVERIFY(!applicationEndRequested());
}

void TestLoginRoad::failedStartIsReported()
{
    Road r;
    QVERIFY(r.server.ok());
    r.publish(mainProgram(), 4);
    putFile(dirFile(QStringLiteral("Version.txt")), "4\r\n"); // equal versions, and no DovaDu.exe
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QCOMPARE(r.dialogs.errors().size(), 1);
    QVERIFY2(r.dialogs.errors().first().startsWith(QStringLiteral("Cannot start %1").arg(dirFile(QStringLiteral("DovaDu.exe")))),
             qPrintable(r.dialogs.errors().first()));
    QCOMPARE(fileBytes(dirFile(QStringLiteral("Version.txt"))), QByteArray("4\r\n"));
    QVERIFY(r.form->isVisible());
    QVERIFY(!applicationEndRequested()); // the launcher stays open
}

namespace {

// Wine's loader with args in the prefix, quietly; its exit code, -1 when it did not end.
int runWine(const QString &prefix, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(wineLoader(), args);
    if (!p.waitForFinished(120000))
        p.kill();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The test run's own Wine prefix, made once by the Windows main program itself, which
// leaves its settings key there as it does at a site.
class WinePrefix {
public:
    QTemporaryDir dir;
    QString prefix() const { return dir.filePath(QStringLiteral("prefix")); }
    // Runs a program under Wine in the prefix, or one of Wine's tools; its exit code.
    int run(const QString &program, const QStringList &args) const { return runWine(prefix(), QStringList{program} + args); }
    ~WinePrefix()
    {
        const QString server = QFileInfo(wineLoader()).dir().filePath(QStringLiteral("wineserver"));
        QProcess stop;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), prefix());
        stop.setProcessEnvironment(env);
        stop.start(QFileInfo::exists(server) ? server : QStringLiteral("wineserver"), {QStringLiteral("-k")});
        stop.waitForFinished(20000);
    }
};

std::optional<WinePrefix> &wine()
{
    static std::optional<WinePrefix> w;
    return w;
}

bool wineKeyExists(const QString &prefix)
{
    return runWine(prefix, {QStringLiteral("reg"), QStringLiteral("query"),
                            QStringLiteral("HKEY_CURRENT_USER\\Software\\Dovadu\\Windows\\Main")})
           == 0;
}

} // namespace

void TestLoginRoad::windowsMainProgram_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<uint>("handle");
    QTest::addColumn<bool>("wineThere");
    QTest::addColumn<bool>("byPatch"); // the workstation holds the release before, published with vesk-publish
    QTest::newRow("张三, no VPN") << "张三" << "1" << 0u << true << false;
    QTest::newRow("a name of two words") << "wang wu" << "ww" << 0u << true << false;
    QTest::newRow("a handle that reads negative") << "admin" << "secret" << 0xFFFFFFF6u << true << false;
    QTest::newRow("Wine missing") << "admin" << "secret" << 0u << false << false;
    QTest::newRow("upgraded by a patch") << "张三" << "1" << 0u << true << true;
}

void TestLoginRoad::windowsMainProgram()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(uint, handle);
    QFETCH(bool, wineThere);
    QFETCH(bool, byPatch);
    const QString program = QStringLiteral(VESK_TEST_WINMAINPROGRAM);
    if (!QFileInfo::exists(program) || wineLoader().isEmpty())
        QSKIP("needs mingw-w64 and Wine (scripts/setup.sh installs them)");
    if (!wine())
        wine().emplace();
    QCOMPARE(wine()->run(program, {QStringLiteral("--make-settings")}), 0); // an earlier row deleted it
    QVERIFY(wineKeyExists(wine()->prefix()));
    qputenv("WINEPREFIX", QFile::encodeName(wine()->prefix()));
    qputenv("WINEDEBUG", "-all");
    if (!wineThere)
        qputenv("WINE", "/nonexistent/wine");
    auto restore = qScopeGuard([] { qunsetenv("WINE"); qunsetenv("WINEPREFIX"); });
    QTemporaryDir scratch;
    const QString requests = scratch.filePath(QStringLiteral("requests.log"));
    Road r(kSchema, {QStringLiteral("--log-requests"), requests});
    QVERIFY(r.server.ok());
    r.exec(QStringLiteral("INSERT INTO aUser (UserID, PassWord) VALUES (N'张三', '1')"));
    const QByteArray bytes = fileBytes(program);
    if (byPatch) {
        // The release before: the same program with other bytes behind its image.
        const QByteArray before = bytes + QByteArray("an earlier release's overlay").repeated(50);
        for (const auto &[release, version] : {std::pair{before, 3}, std::pair{bytes, 4}}) {
            putFile(scratch.filePath(QStringLiteral("release")), release);
            QProcess publisher;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), TestServer::password);
            publisher.setProcessEnvironment(env);
            publisher.start(QStringLiteral(VESK_PUBLISH), {QStringLiteral("--server"), r.server.server(),
                                                          QStringLiteral("--version"), QString::number(version),
                                                          scratch.filePath(QStringLiteral("release"))});
            QVERIFY(publisher.waitForFinished(60000) && publisher.exitCode() == 0);
        }
        putFile(dirFile(QStringLiteral("DovaDu.exe")), before, true);
        putFile(dirFile(QStringLiteral("Version.txt")), "3\r\n");
        QFile::remove(requests);
    } else {
        r.publish(bytes, 4);
    }
    r.form->RasConnHandle = handle;
    r.form->ComboBoxCzy->setEditText(name); // as typed with an input method
    r.form->MaskEditPwd->setText(password);
    QTest::mouseClick(r.form->BitBtnOk, Qt::LeftButton);
    if (!wineThere) {
        QCOMPARE(r.dialogs.errors(), QStringList{QStringLiteral("Cannot start %1: DovaDu.exe is a Windows program, and Wine, which "
                                                                "is needed to start it, is not installed.")
                                                     .arg(dirFile(QStringLiteral("DovaDu.exe")))});
        QVERIFY(r.form->isVisible());
        QVERIFY(!applicationEndRequested());
        QVERIFY(!QFile::exists(dirFile(QStringLiteral("started.txt"))));
        return;
    }
    QCOMPARE(r.dialogs.errors(), QStringList());
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == bytes);
    QVERIFY(applicationEndRequested());
    const QStringList lines = r.started(60000);
    QVERIFY2(lines.size() >= 3, qPrintable(lines.join(u'|')));
    const QString parameters = name + u':' + QString::number(int32_t(handle));
    // As on Windows: the program's path quoted, then the parameter string; its words split at blanks.
    QVERIFY2(lines[1].endsWith(QStringLiteral("DovaDu.exe\" ") + parameters), qPrintable(lines[1]));
    QCOMPARE(lines.mid(2, lines.size() - 3), parameters.split(u' '));
    // Deleted after the upgrade, the key and its subkey, by the time the program ran.
    QCOMPARE(lines.last(), QStringLiteral("settings key absent"));
    if (byPatch) {
        const QString sent = QString::fromUtf8(fileBytes(requests));
        QVERIFY2(sent.contains(QStringLiteral("BPatchPart")) && !sent.contains(QStringLiteral("CopyRight")),
                 qPrintable(sent));
        QCOMPARE(fileBytes(dirFile(QStringLiteral("Version.txt"))), QByteArray("4\r\n"));
    }
}

namespace {

// A real NetworkManager and OpenVPN server in network namespaces of the test's own
// (tests/support/real-nm.sh), reached over its private system bus.
class RealNetworkManager {
public:
    QTemporaryDir dir;
    const QString id = QString::number(::getpid());
    QString skip;

    RealNetworkManager()
    {
        if (::geteuid() != 0) {
            skip = QStringLiteral("making network namespaces needs root");
            return;
        }
        for (const char *tool : {"NetworkManager", "nmcli", "openvpn", "dbus-daemon", "ip", "openssl"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()
                && QStandardPaths::findExecutable(QLatin1String(tool), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}).isEmpty())
                skip = QStringLiteral("%1 is not installed (scripts/setup.sh installs it)").arg(QLatin1String(tool));
        if (!skip.isEmpty())
            return;
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral("bash"), {fixture(), QStringLiteral("start"), dir.path(), id});
        p.waitForFinished(120000);
        bus = QString::fromLatin1(p.readAllStandardOutput()).trimmed();
        started = p.exitCode() == 0 && bus.startsWith(QLatin1String("unix:path="));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.toLatin1());
    }
    ~RealNetworkManager()
    {
        if (!skip.isEmpty())
            return;
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        QProcess::execute(QStringLiteral("bash"), {fixture(), QStringLiteral("stop"), dir.path(), id});
    }
    bool ok() const { return started; }
    static QString fixture() { return QStringLiteral(VESK_REAL_NM); }
    QString run(const QString &program, const QStringList &args) const
    {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(60000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    bool tunnelUp() const
    {
        return run(QStringLiteral("ip"), {QStringLiteral("-n"), QStringLiteral("vnm-cli-") + id, QStringLiteral("-o"),
                                          QStringLiteral("addr")})
            .contains(QLatin1String("inet 198.18.0."));
    }
    QString nmcli(const QStringList &args) const { return run(QStringLiteral("nmcli"), args); }
    QString workDir() const { return dir.path(); }

private:
    QString bus;
    bool started = false;
};

// Every process's command line and environment, and every file below the folders, for text.
bool anywhere(const QByteArray &text, const QStringList &folders)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        for (const char *what : {"cmdline", "environ"}) {
            QFile f(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(what)));
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(text))
                return true;
        }
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(text))
                return true;
        }
    }
    return false;
}

} // namespace

void TestLoginRoad::realNetworkManager()
{
    RealNetworkManager nm;
    if (!nm.skip.isEmpty())
        QSKIP(qPrintable(nm.skip));
    QVERIFY2(nm.ok(), "the NetworkManager fixture did not start");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    auto restore = qScopeGuard([] { qunsetenv("XDG_RUNTIME_DIR"); });
    const QStringList watched{runtime.path(), nm.workDir() + QStringLiteral("/connections")};
    {
        // The entry missing: a press creates it and dials the provisioned OpenVPN profile.
        Road r;
        QVERIFY(r.server.ok());
        r.installCurrent();
        r.form->ServerIPName->setText(QStringLiteral("192.0.2.1"));
        r.form->VPNUserName->setText(QStringLiteral("alice"));
        r.form->VPNPassWord->setText(QStringLiteral("right pass"));
        QTest::mouseClick(r.form->Button1, Qt::LeftButton);
        QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("VPN连接成功")});
        QVERIFY(nm.tunnelUp());
        // A second press hangs up and dials again.
        QTest::mouseClick(r.form->Button1, Qt::LeftButton);
        QCOMPARE(r.dialogs.notices().size(), 2);
        QCOMPARE(r.dialogs.notices().last(), QStringLiteral("VPN连接成功"));
        QVERIFY(nm.tunnelUp());
        const uint32_t handle = r.form->RasConnHandle;
        QVERIFY(handle != 0 && !(handle & 0x80000000U));
        QVERIFY(nm.nmcli({QStringLiteral("-t"), QStringLiteral("-f"), QStringLiteral("NAME"), QStringLiteral("connection"),
                          QStringLiteral("show"), QStringLiteral("--active")})
                    .contains(QLatin1String("VUDAZEZ")));
        r.login(QStringLiteral("admin"), QStringLiteral("secret"));
        QVERIFY(applicationEndRequested());
        QCOMPARE(r.started().mid(1), QStringList{QStringLiteral("admin:%1").arg(int32_t(handle))});
        // Another process hangs it up by that handle, as the main program does.
        QCOMPARE(QProcess::execute(QStringLiteral(VESK_RAS_TOOL), {QStringLiteral("hangup"), QString::number(handle)}), 0);
        QVERIFY(QTest::qWaitFor([&] { return !nm.tunnelUp(); }, 10000));
    }
    {
        // A wrong password: refused within the dial's bound, the window repainted meanwhile,
        // the password on no command line, in no environment, in no file.
        Road r;
        QVERIFY(r.server.ok());
        const QByteArray wrong = "Wr0ng-Secret-77";
        r.form->VPNUserName->setText(QStringLiteral("alice"));
        r.form->VPNPassWord->setText(QString::fromLatin1(wrong));
        int paints = 0;
        struct PaintCount : QObject {
            int &n;
            explicit PaintCount(int &n) : n(n) {}
            bool eventFilter(QObject *, QEvent *e) override
            {
                n += e->type() == QEvent::Paint;
                return false;
            }
        } counter(paints);
        qApp->installEventFilter(&counter); // the window's pictures and fields paint it
        std::atomic<bool> dialling{true}, seen{false};
        std::thread watch([&] {
            while (dialling) {
                if (anywhere(wrong, {}))
                    seen = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        QTimer repaint;
        int ticks = 0;
        connect(&repaint, &QTimer::timeout, r.form, [&] { ++ticks; r.form->update(); });
        repaint.start(500);
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(r.form->Button1, Qt::LeftButton);
        const qint64 took = t.elapsed();
        dialling = false;
        watch.join();
        qApp->removeEventFilter(&counter);
        QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("VPN连接失败")});
        QVERIFY2(took < 25000, qPrintable(QString::number(took)));
        QVERIFY2(paints >= 10, qPrintable(QStringLiteral("%1 paints, %2 ticks").arg(paints).arg(ticks)));
        QVERIFY(!seen);
        QVERIFY(!anywhere(wrong, watched));
        QVERIFY(!nm.tunnelUp());
    }
    {
        // No provisioned profile: the PPTP profile is made, NetworkManager takes it, and
        // the dial fails at once (no PPP on this kernel).
        nm.nmcli({QStringLiteral("connection"), QStringLiteral("delete"), QStringLiteral("VUDAZEZ")});
        QProcess::execute(QStringLiteral(VESK_RAS_TOOL), {QStringLiteral("delete"), QStringLiteral("VUDAZEZ")});
        Road r;
        QVERIFY(r.server.ok());
        r.form->ServerIPName->setText(QStringLiteral("192.0.2.1"));
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(r.form->Button1, Qt::LeftButton);
        QCOMPARE(r.dialogs.notices(), QStringList{QStringLiteral("VPN连接失败")});
        QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(nm.nmcli({QStringLiteral("-g"), QStringLiteral("vpn.service-type"), QStringLiteral("connection"),
                           QStringLiteral("show"), QStringLiteral("VUDAZEZ")})
                     .trimmed(),
                 QStringLiteral("org.freedesktop.NetworkManager.pptp"));
    }
}

void TestLoginRoad::cleanupTestCase()
{
    wine().reset();
}

void TestLoginRoad::operatorListMostRecentFirst_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("known name moves up") << QStringList{"nopw", "admin"} << "admin" << QStringList{"admin", "nopw"};
    QTest::newRow("case differs: one entry, as typed") << QStringList{"admin", "nopw"} << "ADMIN" << QStringList{"ADMIN", "nopw"};
    QTest::newRow("new name added on top") << QStringList{"nopw"} << "admin" << QStringList{"admin", "nopw"};
}

void TestLoginRoad::operatorListMostRecentFirst()
{
    QFETCH(QStringList, before);
    QFETCH(QString, name);
    QFETCH(QStringList, after);
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    r.form->ComboBoxCzy->addItems(before);
    r.login(name, QStringLiteral("secret"));
    QStringList items;
    for (int i = 0; i < r.form->ComboBoxCzy->count(); ++i)
        items << r.form->ComboBoxCzy->itemText(i);
    QCOMPARE(items, after);
    QCOMPARE(r.form->ComboBoxCzy->currentText(), name);
}

void TestLoginRoad::secondLoginRefusedDuringUpgrade()
{
    Road r;
    QVERIFY(r.server.ok());
    const QByteArray program = mainProgram();
    r.publish(program, 2);
    int windows = 0;
    bool okEnabledDuring = true;
    // While the progress window shows, the operator presses OK again.
    struct Watch : QObject {
        std::function<void()> onShow;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (qobject_cast<TShowForm *>(o) && e->type() == QEvent::Show)
                onShow();
            return false;
        }
    } watch;
    watch.onShow = [&] {
        ++windows;
        okEnabledDuring = r.form->BitBtnOk->isEnabled();
        QMetaObject::invokeMethod(r.form->BitBtnOk, [&] { r.form->BitBtnOkClick(); }, Qt::QueuedConnection);
    };
    qApp->installEventFilter(&watch);
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    qApp->removeEventFilter(&watch);
    QCOMPARE(windows, 1);
    QVERIFY(!okEnabledDuring);
    QCOMPARE(r.dialogs.notices(), QStringList{kUpgraded});
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program);
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::operatorListLastsToTheNextRun_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("the second moves to the top") << QStringList{"nopw", "admin"} << "admin" << QStringList{"admin", "nopw"};
    QTest::newRow("a new operator goes first") << QStringList{"nopw"} << "admin" << QStringList{"admin", "nopw"};
    QTest::newRow("another letter case, one entry") << QStringList{"ADMIN", "nopw"} << "admin" << QStringList{"admin", "nopw"};
}

void TestLoginRoad::operatorListLastsToTheNextRun()
{
    QFETCH(QStringList, before);
    QFETCH(QString, name);
    QFETCH(QStringList, after);
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    r.form->ComboBoxCzy->addItems(before);
    r.login(name, QStringLiteral("secret"));
    QVERIFY(applicationEndRequested());
    delete r.form; // the end of the run: the settings are saved on the way
    RegistryHive hive(RegistryHive::currentUserFile());
    const QString items = QStringLiteral("Software\\Vesk\\TLoginForm.ComboBoxCzy_Items");
    QCOMPARE(QString::fromUtf8(hive.read().value(items, QStringLiteral("Count"))->data), QString::number(after.size()));
    QCOMPARE(QString::fromUtf8(hive.read().value(QStringLiteral("Software\\Vesk\\TLoginForm"), QStringLiteral("Visible"))->data),
             QStringLiteral("1"));
    // The next run of the launcher.
    TLoginForm next;
    next.show();
    QVERIFY(QTest::qWaitForWindowExposed(&next));
    QCOMPARE(next.ComboBoxCzy->currentText(), name);
    QStringList shown;
    for (int i = 0; i < next.ComboBoxCzy->count(); ++i)
        shown << next.ComboBoxCzy->itemText(i);
    QCOMPARE(shown, after);
}

// Runs action once the progress window shows, while the chunks are still coming.
class DuringDownload : public QObject {
public:
    std::function<void()> action;
    explicit DuringDownload(std::function<void()> a) : action(std::move(a)) { qApp->installEventFilter(this); }
    ~DuringDownload() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (action && qobject_cast<TShowForm *>(o) && e->type() == QEvent::Show)
            QMetaObject::invokeMethod(qApp, std::exchange(action, nullptr), Qt::QueuedConnection);
        return false;
    }
};

void TestLoginRoad::windowTakesNoInputDuringDownload_data()
{
    QTest::addColumn<QString>("what");
    for (const char *what : {"close box", "Cancel", "Enter", "typing into the operator field",
                             "the connection test", "the field changed by a program"})
        QTest::newRow(what) << QString::fromLatin1(what);
}

void TestLoginRoad::windowTakesNoInputDuringDownload()
{
    QFETCH(QString, what);
    Road r;
    QVERIFY(r.server.ok());
    const QByteArray program = mainProgram();
    r.publish(program, 2);
    QVERIFY(program.size() > 3 * 4096); // several chunks, so there is a "during"
    TLoginForm &f = *r.form;
    // The database page reachable by the keyboard, as an operator could have made it.
    f.PageControl_Data->setCurrentIndex(1);
    f.PageControl_Data->setCurrentIndex(0);
    QWindow *window = f.windowHandle();
    auto clickAt = [&](QWidget *w) {
        QTest::mouseClick(window, Qt::LeftButton, {}, w->mapTo(&f, w->rect().center()));
    };
    bool acted = false;
    int pressed = 0; // buttons of the login window pressed during the download
    DuringDownload during([&] {
        acted = true;
        for (QPushButton *b : f.findChildren<QPushButton *>())
            connect(b, &QPushButton::clicked, &f, [&pressed] { ++pressed; });
        if (what == "close box") {
            QCloseEvent close; // what the window manager's close request becomes
            QCoreApplication::sendEvent(window, &close);
        } else if (what == "Cancel") {
            clickAt(f.BitBtnCanCel);
        } else if (what == "Enter") {
            QTest::keyClick(window, Qt::Key_Return);
        } else if (what == "typing into the operator field") {
            clickAt(f.ComboBoxCzy);
            for (char c : QByteArray("zz"))
                QTest::keyClick(window, c);
        } else if (what == "the connection test") {
            for (int i = 0; i < 20 && f.focusWidget() != f.BtnTEST; ++i)
                QTest::keyClick(window, Qt::Key_Tab);
            QTest::keyClick(window, Qt::Key_Space);
        } else {
            f.ComboBoxCzy->setEditText(QStringLiteral("mallory"));
        }
    });
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QVERIFY(acted);
    QVERIFY(applicationEndRequested()); // asked right away, before anything else runs the loop
    QCOMPARE(pressed, 0);
    // The download went on to the end and nothing else answered.
    QCOMPARE(r.dialogs.notices(), QStringList{kUpgraded});
    QVERIFY(r.dialogs.errors().isEmpty());
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program);
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"}); // the name that was checked
    QVERIFY(!r.form.isNull() && r.form->isVisible());
    if (what != "the field changed by a program")
        QCOMPARE(f.ComboBoxCzy->currentText(), QStringLiteral("admin"));
}

void TestLoginRoad::unwritableHiveDoesNotFailTheUpgrade()
{
    Road r;
    QVERIFY(r.server.ok());
    const QByteArray program = mainProgram();
    r.publish(program, 6);
    r.dovaduSettings();
    // Nobody can take the hive's lock: its lock file is a folder.
    const QString lock = RegistryHive::currentUserFile() + QStringLiteral(".lock");
    QFile::remove(lock);
    QVERIFY(QDir().mkpath(lock));
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QVERIFY(applicationEndRequested());
    QCOMPARE(r.dialogs.notices(), QStringList{kUpgraded});
    QCOMPARE(r.dialogs.errors(), QStringList());
    QVERIFY(fileBytes(dirFile(QStringLiteral("DovaDu.exe"))) == program);
    QCOMPARE(fileBytes(dirFile(QStringLiteral("Version.txt"))), QByteArray("6\r\n"));
    QCOMPARE(r.started().mid(1), QStringList{"admin:0"});
}

void TestLoginRoad::dialledHandleReachesTheMainProgram_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("notice");
    QTest::newRow("connected") << QByteArray("ok") << QStringLiteral("VPN连接成功");
    QTest::newRow("failed: the handle the service wrote") << QByteArray("refuse") << QStringLiteral("VPN连接失败");
}

void TestLoginRoad::dialledHandleReachesTheMainProgram()
{
    QFETCH(QByteArray, mode);
    QFETCH(QString, notice);
    Road r;
    QVERIFY(r.server.ok());
    r.installCurrent();
    NmcliStandin nm(mode);
    r.form->ServerIPName->setText(QStringLiteral("vpn.example.org"));
    QTest::mouseClick(r.form->Button1, Qt::LeftButton);
    QCOMPARE(r.dialogs.notices(), QStringList{notice});
    const uint32_t handle = r.form->RasConnHandle;
    QVERIFY(handle != 0);
    if (mode == "ok")
        QCOMPARE(handle, 17u);
    r.dialogs.boxes.clear();
    r.login(QStringLiteral("admin"), QStringLiteral("secret"));
    QVERIFY2(r.dialogs.errors().isEmpty(), qPrintable(r.dialogs.errors().join(u'\n')));
    // Signed decimal, as the main program reads a handle.
    QCOMPARE(r.started().mid(1), QStringList{QStringLiteral("admin:%1").arg(int32_t(handle))});
    // Ending the launcher hangs nothing up.
    QVERIFY(!nm.serviceCalls().join(u'\n').contains(QStringLiteral("RasHangUpA %1").arg(handle)));
}

int main(int argc, char *argv[])
{
    if (const int rc = runAsProgramCopy(argc, argv, {QStringLiteral(VESK_RASAPI32)}); rc >= 0)
        return rc;
    QApplication app(argc, argv);
    TestLoginRoad t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_loginroad.moc"
