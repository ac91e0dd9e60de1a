// The login window's two connections and its test button, against the stand-in server.
#include "LoginUnit.h"
#include "RecordingDialogs.h"
#include "TestServer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

const QString kOk = QStringLiteral("数据库连接成功！");
const QString kFailed = QStringLiteral("数据库连接失败！");

void pointAt(TLoginForm &f, const TestServer &server)
{
    f.ServerName->setText(server.server());
    f.PassWord->setText(TestServer::password);
}

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

private slots:
    void connectOutcomes_data();
    void connectOutcomes();
    void unreachableServerFailsWithinTimeout();
    void silentServerFailsWithinTimeout();
    void testButtonReopensAfterRefusedLogin();
    void blanksReachTheServer_data();
    void blanksReachTheServer();
    void wrongDomesticDatabaseNotDetectedByTest();
    void uncarriableValueIsRefusedClearly();
};

void TestConnections::connectOutcomes_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("expected");
    QTest::newRow("success") << "VeskDB" << TestServer::password << true;
    QTest::newRow("wrong database") << "NoSuchDb" << TestServer::password << false;
    QTest::newRow("wrong password") << "VeskDB" << "wrong" << false;
    QTest::newRow("password in other case") << "VeskDB" << TestServer::password.toUpper() << false;
}

void TestConnections::connectOutcomes()
{
    QFETCH(QString, database);
    QFETCH(QString, password);
    QFETCH(bool, expected);
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    f.DataBaseName->setText(database);
    f.Edit_Nxdb->setText(database);
    f.PassWord->setText(password);
    QCOMPARE(f.ConnectPubDatabase(), expected);
    QCOMPARE(f.ADOConnectionPUB.connected(), expected);
    QCOMPARE(f.ConnectNxDatabase(), expected);
    QCOMPARE(f.NxADOConnectionPub.connected(), expected);
    QVERIFY(dialogs.boxes.isEmpty()); // the connect operations show nothing themselves
    f.BtnTEST->click();
    QCOMPARE(dialogs.notices(), QStringList{expected ? kOk : kFailed});
}

void TestConnections::unreachableServerFailsWithinTimeout()
{
    RecordingDialogs dialogs;
    TLoginForm f;
    f.ServerName->setText(QStringLiteral("127.0.0.1,%1").arg(closedPort()));
    QElapsedTimer t;
    t.start();
    f.BtnTEST->click();
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(dialogs.notices(), QStringList{kFailed});
    QVERIFY(!f.ADOConnectionPUB.connected());
}

void TestConnections::silentServerFailsWithinTimeout()
{
    // A server that takes the connection and never answers: the login timeout ends it.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    RecordingDialogs dialogs;
    TLoginForm f;
    f.ServerName->setText(QStringLiteral("127.0.0.1,%1").arg(silent.serverPort()));
    QElapsedTimer t;
    t.start();
    QVERIFY(!f.ConnectPubDatabase());
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!f.ADOConnectionPUB.connected());
}

void TestConnections::testButtonReopensAfterRefusedLogin()
{
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    QVERIFY(f.ConnectPubDatabase());
    QVERIFY(f.ConnectNxDatabase());
    // Settings changed after a refused login: the test closes the public connection and
    // opens it from the current fields; the domestic-sales connection is left alone.
    f.PassWord->setText(QStringLiteral("changed"));
    f.BtnTEST->click();
    QCOMPARE(dialogs.notices(), QStringList{kFailed});
    QVERIFY(!f.ADOConnectionPUB.connected());
    QVERIFY(f.NxADOConnectionPub.connected());
    f.PassWord->setText(TestServer::password);
    f.BtnTEST->click();
    QCOMPARE(dialogs.notices(), (QStringList{kFailed, kOk}));
    QVERIFY(f.ADOConnectionPUB.connected());
    QCOMPARE(f.ADOConnectionPUB.target().database, QStringLiteral("VeskDB"));
}

void TestConnections::blanksReachTheServer_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("expected");
    // The server knows the login "VeskLogin" with password "pw " (a trailing blank).
    QTest::newRow("password with its blank") << "PassWord" << "pw " << true;
    QTest::newRow("password without it") << "PassWord" << "pw" << false;
    QTest::newRow("blank before user") << "UserName" << " VeskLogin" << false;
    QTest::newRow("blank after database") << "DataBaseName" << "VeskDB " << false;
}

void TestConnections::blanksReachTheServer()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(bool, expected);
    TestServer server(QString(), {QStringLiteral("--login"), QStringLiteral("VeskLogin:pw ")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    TLoginForm f;
    f.ServerName->setText(server.server());
    f.PassWord->setText(QStringLiteral("pw "));
    f.findChild<QLineEdit *>(field)->setText(value);
    QCOMPARE(f.ConnectPubDatabase(), expected);
}

void TestConnections::wrongDomesticDatabaseNotDetectedByTest()
{
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    f.Edit_Nxdb->setText(QStringLiteral("NoSuchSales"));
    f.BtnTEST->click();
    QCOMPARE(dialogs.notices(), QStringList{kOk});
    QVERIFY(!f.ConnectNxDatabase());
}

void TestConnections::uncarriableValueIsRefusedClearly()
{
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    QVERIFY(f.ConnectPubDatabase());
    // "};" would end the braced value early and let the rest become attributes.
    f.PassWord->setText(QStringLiteral("x};DATABASE={Voruvidi"));
    f.BtnTEST->click();
    QCOMPARE(dialogs.notices(), QStringList());
    QCOMPARE(dialogs.errors(),
             QStringList{QStringLiteral("The database password cannot contain \"};\" or a NUL character.")});
    QVERIFY(f.ADOConnectionPUB.connected()); // refused before anything was closed
}

QTEST_MAIN(TestConnections)
#include "tst_connections.moc"
