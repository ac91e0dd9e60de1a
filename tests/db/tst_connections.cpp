// The login window's two connections and its test button, against the stand-in server.
#include "LoginUnit.h"
#include "Files.h"
#include "FreshSettings.h"
#include "RecordingDialogs.h"
#include "TestServer.h"
#include "core/Exceptions.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <optional>

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
    void init() { settings.emplace(); }
    void cleanup() { settings.reset(); }
    void connectOutcomes_data();
    void connectOutcomes();
    void unreachableServerFailsWithinTimeout();
    void silentServerFailsWithinTimeout();
    void testButtonReopensAfterRefusedLogin();
    void blanksReachTheServer_data();
    void blanksReachTheServer();
    void wrongDomesticDatabaseNotDetectedByTest();
    void uncarriableValueIsRefusedClearly();
    void namedInstances_data();
    void namedInstances();
    void serverNamesAsTyped_data();
    void serverNamesAsTyped();
    void fieldsAddNoAttributes_data();
    void fieldsAddNoAttributes();
    void givingUpOneSparesTheOthers();
    void silentBrowserCostsOneTimeout();
    void openAsksOnlyWhatQtsDriverSends();

private:
    std::optional<FreshSettings> settings;
};

// An instance browser on the loopback's UDP port 1434, answering as told, on a thread of
// its own (the connect blocks the test's thread).
class InstanceBrowser {
public:
    enum Answer { Port, Silent, Unknown };
    InstanceBrowser(Answer answer, int port) : answer(answer), port(port)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(1434);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        timeval tv{0, 100000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (bound)
            thread = std::thread([this] { serve(); });
    }
    ~InstanceBrowser()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            ::close(fd);
    }
    bool bound = false;
    std::atomic<int> questions{0};

private:
    void serve()
    {
        while (!stop) {
            char buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n <= 0)
                continue;
            ++questions;
            if (answer == Silent)
                continue;
            const QByteArray name = answer == Port ? QByteArray("VESK") : QByteArray("OTHER");
            const QByteArray text = "ServerName;HOST;InstanceName;" + name + ";IsClustered;No;Version;16.0.1000.6;tcp;"
                                    + QByteArray::number(port) + ";;";
            QByteArray reply("\x05");
            reply += char(text.size() & 0xFF);
            reply += char(text.size() >> 8);
            reply += text;
            ::sendto(fd, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    Answer answer;
    int port;
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread thread;
};

void TestConnections::namedInstances_data()
{
    QTest::addColumn<int>("browser"); // -1: none listens
    QTest::addColumn<bool>("connects");
    QTest::newRow("the browser names the instance's port") << int(InstanceBrowser::Port) << true;
    QTest::newRow("the browser does not know the instance") << int(InstanceBrowser::Unknown) << false;
    QTest::newRow("the browser is silent") << int(InstanceBrowser::Silent) << false;
    QTest::newRow("no browser") << -1 << false;
}

void TestConnections::namedInstances()
{
    QFETCH(int, browser);
    QFETCH(bool, connects);
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    std::optional<InstanceBrowser> answering;
    if (browser >= 0) {
        answering.emplace(InstanceBrowser::Answer(browser), server.port());
        if (!answering->bound)
            QSKIP("UDP port 1434 is taken on this machine");
    }
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    f.ServerName->setText(QStringLiteral("127.0.0.1\\VESK"));
    QElapsedTimer t;
    t.start();
    f.BtnTEST->click();
    // The lookup and the login together within the login timeout, and a second at most.
    QVERIFY2(t.elapsed() < (kLoginTimeoutSeconds + 1) * 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(dialogs.notices(), QStringList{connects ? kOk : kFailed});
    QCOMPARE(f.ADOConnectionPUB.connected(), connects);
    if (answering)
        QVERIFY(answering->questions >= 1);
}

void TestConnections::serverNamesAsTyped_data()
{
    QTest::addColumn<QString>("typed"); // %1: the stand-in's port
    QTest::addColumn<int>("listenOn");  // 0: a free port
    QTest::addColumn<QString>("sent");  // the login's server-name field; empty: refused before any packet
    QTest::addColumn<QString>("error");
    QTest::newRow("host,port") << "127.0.0.1,%1" << 0 << "127.0.0.1" << QString();
    QTest::newRow("name,port") << "localhost,%1" << 0 << "localhost" << QString();
    QTest::newRow("bare host on 1433") << "127.0.0.1" << 1433 << "127.0.0.1" << QString();
    const QString badPort = QStringLiteral("The port of the database server \"%1\" must be a number from 1 to 65535.");
    QTest::newRow("port not a number") << "127.0.0.1,14x" << 0 << QString() << badPort;
    QTest::newRow("port 0") << "127.0.0.1,0" << 0 << QString() << badPort;
    QTest::newRow("port above 65535") << "127.0.0.1,70000" << 0 << QString() << badPort;
    QTest::newRow("an attribute after the port") << "127.0.0.1,%1;DATABASE=Voruvidi" << 0 << QString() << badPort;
}

void TestConnections::serverNamesAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(int, listenOn);
    QFETCH(QString, sent);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("logins"));
    QStringList args{QStringLiteral("--log-logins"), log};
    if (listenOn)
        args << QStringLiteral("--port") << QString::number(listenOn);
    TestServer server(TestServer::standardSchema(), args);
    if (!server.ok() && listenOn)
        QSKIP("SQL Server's port 1433 is taken on this machine, so a bare host cannot reach the stand-in");
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    const QString field = typed.contains(QLatin1String("%1")) ? typed.arg(server.port()) : typed;
    f.ServerName->setText(field);
    f.BtnTEST->click();
    if (!error.isEmpty()) {
        QCOMPARE(dialogs.errors(), QStringList{error.arg(field)});
        QVERIFY(!QFile::exists(log));
        return;
    }
    QCOMPARE(dialogs.notices(), QStringList{kOk});
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = QByteArray::fromHex(file.readLine().trimmed());
    const QString got = QString::fromUtf16(reinterpret_cast<const char16_t *>(raw.constData()), raw.size() / 2);
    QVERIFY(!got.contains(QChar(u'\0')));
    QCOMPARE(got, sent); // the host alone
}

void TestConnections::fieldsAddNoAttributes_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("connects");
    // Had a value added an attribute of its own, these would reach VeskDB, or the login.
    QTest::newRow("database ; attribute") << "DataBaseName" << "Nope;DATABASE=VeskDB" << false;
    QTest::newRow("database in braces") << "DataBaseName" << "{VeskDB}" << false;
    QTest::newRow("database } then attribute") << "DataBaseName" << "Nope};DATABASE={VeskDB" << false;
    QTest::newRow("user ; attribute") << "UserName" << "Nobody;UID=VeskLogin" << false;
    QTest::newRow("user with =") << "UserName" << "a=b" << true;
    QTest::newRow("password with = ; { }") << "PassWord" << "c=d;{e}" << true;
    QTest::newRow("server ; attribute") << "ServerName" << "127.0.0.1;SERVER=127.0.0.1" << false;
}

void TestConnections::fieldsAddNoAttributes()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(bool, connects);
    TestServer server(TestServer::standardSchema(), {QStringLiteral("--login"), QStringLiteral("a=b:c=d;{e}")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    RecordingDialogs dialogs;
    TLoginForm f;
    pointAt(f, server);
    if (field == QLatin1String("UserName") && connects)
        f.PassWord->setText(QStringLiteral("c=d;{e}"));
    if (field == QLatin1String("PassWord"))
        f.UserName->setText(QStringLiteral("a=b"));
    f.findChild<QLineEdit *>(field)->setText(value);
    f.BtnTEST->click();
    // Either it works as one value, or it is refused with a clear error.
    if (dialogs.errors().isEmpty()) {
        QCOMPARE(dialogs.notices(), QStringList{connects ? kOk : kFailed});
        QCOMPARE(f.ADOConnectionPUB.connected(), connects);
    } else {
        QVERIFY(!connects);
        QVERIFY2(dialogs.errors().first().contains(QLatin1String("cannot contain")), qPrintable(dialogs.errors().first()));
    }
}

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

// Given up in the middle of an answer (a stop), a connection is left at once, answers no
// more and is dropped without waiting; the others opened together with it work on.
void TestConnections::givingUpOneSparesTheOthers()
{
    // 20 ms an answer, so that the logins' overlap shows; 200 KB a second: the rest of the
    // batch below would take ten seconds to arrive.
    TestServer server(TestServer::standardSchema(), {QStringLiteral("--delay"), QStringLiteral("20"),
                                                     QStringLiteral("--rate"), QStringLiteral("200000")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection a(QStringLiteral("a")), c(QStringLiteral("c"));
    auto b = std::make_unique<SqlConnection>(QStringLiteral("b"));
    SqlConnection *all[] = {&a, b.get(), &c};
    for (SqlConnection *x : all)
        x->setTarget({server.server(), QStringLiteral("VeskDB")});
    QElapsedTimer t;
    t.start();
    for (const std::exception_ptr &failure : SqlConnection::openTogether(all, TestServer::login, TestServer::password))
        QVERIFY(!failure);
    const qint64 together = t.elapsed();
    // The logins overlapped: not three logins' round trips one after the other.
    SqlConnection alone(QStringLiteral("alone"));
    alone.setTarget({server.server(), QStringLiteral("VeskDB")});
    t.restart();
    alone.open(TestServer::login, TestServer::password);
    QVERIFY2(together < 2 * t.elapsed(), qPrintable(QStringLiteral("%1 ms against %2 ms").arg(together).arg(t.elapsed())));

    SqlBatch batch(*b);
    batch.open(QStringList{QStringLiteral("select * from  BVersion ")}
               + QStringList(10, QStringLiteral("SELECT zeroblob(200000) AS ExEPic")));
    t.restart();
    b->giveUp();
    batch.abandon();
    QVERIFY(!b->connected());
    SqlQuery asked(*b);
    asked.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
    QVERIFY_THROWS_EXCEPTION(Exception, asked.open());
    b.reset();
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    for (SqlConnection *x : {&a, &c}) {
        SqlQuery q(*x);
        q.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
        q.open();
        QVERIFY(x->connected());
    }
}

// Opened together, connections to a named instance whose browser never answers wait for
// it side by side: the login window is held one timeout, as by one connection alone.
void TestConnections::silentBrowserCostsOneTimeout()
{
    InstanceBrowser silent(InstanceBrowser::Silent, 0);
    if (!silent.bound)
        QSKIP("UDP port 1434 is taken on this machine");
    SqlConnection a(QStringLiteral("a")), b(QStringLiteral("b"));
    SqlConnection *both[] = {&a, &b};
    for (SqlConnection *x : both)
        x->setTarget({QStringLiteral("127.0.0.1\\VESK"), QStringLiteral("VeskDB")});
    QElapsedTimer t;
    t.start();
    QVERIFY_THROWS_EXCEPTION(Exception, a.open(TestServer::login, TestServer::password));
    const qint64 alone = t.restart();
    for (const std::exception_ptr &failure : SqlConnection::openTogether(both, TestServer::login, TestServer::password))
        QVERIFY(failure);
    QVERIFY2(t.elapsed() < alone * 3 / 2, qPrintable(QStringLiteral("%1 ms against %2 ms").arg(t.elapsed()).arg(alone)));
}

// A login over a VPN pays for every request: each open asks the driver's type probe and
// Qt's SET QUOTED_IDENTIFIER ON (a cursor's open, RPC 2, Qt's query being scrollable), and
// nothing else. The setting holds, and the same statement sent by the program afterwards
// still goes to the server.
void TestConnections::openAsksOnlyWhatQtsDriverSends()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("requests.log"));
    TestServer server(TestServer::standardSchema(), {QStringLiteral("--log-requests"), log});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection a(QStringLiteral("a")), b(QStringLiteral("b"));
    SqlConnection *both[] = {&a, &b};
    a.setTarget({server.server(), QStringLiteral("VeskDB")});
    b.setTarget({server.server(), QStringLiteral("Voruvidi")});
    for (const std::exception_ptr &failure : SqlConnection::openTogether(both, TestServer::login, TestServer::password))
        QVERIFY(!failure);
    // The two opens' requests interleave.
    QStringList asked = QString::fromUtf8(fileBytes(log)).split(u'\n', Qt::SkipEmptyParts);
    asked.sort();
    QCOMPARE(asked, (QStringList{QStringLiteral("RPC #2"), QStringLiteral("RPC #2"), QStringLiteral("sp_datatype_info_100 11,3"),
                                 QStringLiteral("sp_datatype_info_100 11,3")}));
    const auto quotedIdentifier = [](SqlConnection &c, const QString &set) {
        if (!set.isEmpty()) {
            SqlQuery q(c);
            q.SQL = QStringList{set};
            q.open();
        }
        SqlQuery q(c);
        q.SQL = QStringList{QStringLiteral("SELECT SESSIONPROPERTY('QUOTED_IDENTIFIER') AS Q")};
        q.open();
        return q.fieldByName(QStringLiteral("Q")).toInt();
    };
    QCOMPARE(quotedIdentifier(a, {}), 1);
    QCOMPARE(quotedIdentifier(b, {}), 1);
    QCOMPARE(quotedIdentifier(a, QStringLiteral("SET QUOTED_IDENTIFIER OFF")), 0);
    QCOMPARE(quotedIdentifier(a, QStringLiteral("SET QUOTED_IDENTIFIER ON")), 1);
    QCOMPARE(QString::fromUtf8(fileBytes(log)).count(QStringLiteral("SET QUOTED_IDENTIFIER")), 2);
    QCOMPARE(QString::fromUtf8(fileBytes(log)).count(QStringLiteral("RPC")), 2);
}

QTEST_MAIN(TestConnections)
#include "tst_connections.moc"
