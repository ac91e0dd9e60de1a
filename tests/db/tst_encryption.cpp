// The encryption modes against the stand-in speaking TLS, through the real driver, with
// certificates this test makes.
#include "db/Connect.h"
#include "db/SqlConnection.h"
#include "TestServer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <netinet/in.h>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A CA and a server certificate it signed, made with the openssl tool.
class Certificates {
public:
    explicit Certificates(const QString &dir) : dir(dir) {}
    // Makes CA `ca` and, signed by it, the certificate `name` for the DNS names given.
    bool make(const QString &ca, const QString &name, const QString &dnsNames)
    {
        const QString ext = path(name + QStringLiteral(".ext"));
        QFile f(ext);
        if (!f.open(QIODevice::WriteOnly) || f.write("subjectAltName=" + dnsNames.toUtf8() + '\n') < 0)
            return false;
        f.close();
        const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        return (QFile::exists(path(ca + QStringLiteral(".pem")))
                || run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                       + QStringList{QStringLiteral("-keyout"), path(ca + QStringLiteral(".key")), QStringLiteral("-out"),
                                     path(ca + QStringLiteral(".pem")), QStringLiteral("-subj"), QStringLiteral("/CN=") + ca,
                                     QStringLiteral("-days"), QStringLiteral("2")}))
               && run(QStringList{QStringLiteral("req")} + ec
                      + QStringList{QStringLiteral("-keyout"), path(name + QStringLiteral(".key")), QStringLiteral("-out"),
                                    path(name + QStringLiteral(".csr")), QStringLiteral("-subj"),
                                    QStringLiteral("/CN=vesk database")})
               && run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), path(name + QStringLiteral(".csr")),
                       QStringLiteral("-CA"), path(ca + QStringLiteral(".pem")), QStringLiteral("-CAkey"),
                       path(ca + QStringLiteral(".key")), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                       path(name + QStringLiteral(".pem")), QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-extfile"), ext});
    }
    QString path(const QString &file) const { return dir + u'/' + file; }
    QStringList serverArgs(const QString &name) const
    {
        return {QStringLiteral("--tls-cert"), path(name + QStringLiteral(".pem")), QStringLiteral("--tls-key"),
                path(name + QStringLiteral(".key"))};
    }
    QString errors;

private:
    bool run(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral("openssl"), args);
        const bool ok = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!ok)
            errors += QString::fromLocal8Bit(p.readAllStandardError());
        return ok;
    }
    QString dir;
};

// A hostile server on the loopback: it answers the prelogin with packets none of which ends
// the message, as fast as the link takes them (up to 256 MiB, so that a probe without a
// limit runs out of neither the test's time nor the machine's memory).
class Flood {
public:
    Flood()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(listener, 1) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            const int fd = ::accept(listener, nullptr, nullptr);
            char hello[512];
            if (fd < 0 || ::recv(fd, hello, sizeof hello, 0) <= 0)
                return;
            std::string packet(4096, 'x');
            packet.replace(0, 8, std::string("\x04\x00\x10\x00\x00\x00\x01\x00", 8));
            for (qint64 sent = 0; sent < 256 << 20;) {
                const ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(fd);
        });
    }
    ~Flood()
    {
        ::shutdown(listener, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        ::close(listener);
    }
    int port = 0;

private:
    int listener = -1;
    std::thread thread;
};

qint64 peakKiB()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

class TestEncryption : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void modes_data();
    void modes();
    void refusalReachesTheLoginWindowsCaller();
    void endlessPreloginAnswerIsRefused();
    void eachServerKeepsItsOwnTrust();

private:
    QTemporaryDir dir;
    std::optional<Certificates> certs;
};

void TestEncryption::initTestCase()
{
    QVERIFY(dir.isValid());
    certs.emplace(dir.path());
    QVERIFY2(certs->make(QStringLiteral("SiteCA"), QStringLiteral("good"), QStringLiteral("DNS:localhost,IP:127.0.0.1")),
             qPrintable(certs->errors));
    QVERIFY2(certs->make(QStringLiteral("SiteCA"), QStringLiteral("elsewhere"), QStringLiteral("DNS:db.elsewhere.example")),
             qPrintable(certs->errors));
    QVERIFY2(certs->make(QStringLiteral("OtherCA"), QStringLiteral("foreign"), QStringLiteral("DNS:localhost")),
             qPrintable(certs->errors));
}

void TestEncryption::modes_data()
{
    QTest::addColumn<QString>("serverCert"); // empty: the server offers no encryption
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QString>("refusal"); // empty: the connection opens and answers

    QTest::newRow("request, the login alone encrypted") << "good" << "request" << "" << "";
    QTest::newRow("require against a TLS server") << "good" << "require" << "" << "";
    QTest::newRow("require against a server without TLS") << "" << "require" << "" << "offers no encryption";
    QTest::newRow("verify: the right CA and name") << "good" << "verify" << "SiteCA" << "";
    QTest::newRow("verify: a certificate from another CA") << "foreign" << "verify" << "SiteCA" << "is not trusted";
    QTest::newRow("verify: a certificate for another name")
        << "elsewhere" << "verify" << "SiteCA" << "is for db.elsewhere.example, not for localhost (name mismatch)";
    QTest::newRow("verify against a server without TLS") << "" << "verify" << "SiteCA" << "offers no encryption";
}

void TestEncryption::modes()
{
    QFETCH(QString, serverCert);
    QFETCH(QString, mode);
    QFETCH(QString, caFile);
    QFETCH(QString, refusal);
    TestServer server(QString(), serverCert.isEmpty() ? QStringList() : certs->serverArgs(serverCert));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    DatabaseTarget target{QStringLiteral("localhost,%1").arg(server.port()), QStringLiteral("VeskDB")};
    target.security = {parseEncryption(mode), caFile.isEmpty() ? QString() : certs->path(caFile + QStringLiteral(".pem"))};
    SqlConnection c(QStringLiteral("encryption"));
    c.setTarget(target);
    if (!refusal.isEmpty()) {
        try {
            c.open(TestServer::login, TestServer::password);
            QFAIL("the connection opened");
        } catch (const EncryptionRefused &e) {
            QVERIFY2(e.message().contains(refusal), qPrintable(e.message()));
        }
        return;
    }
    c.open(TestServer::login, TestServer::password);
    SqlQuery q(c);
    q.SQL << QStringLiteral("SELECT 41 + 1 AS answer");
    q.open();
    QCOMPARE(q.fieldByName(QStringLiteral("answer")).toInt(), 42);
}

// The window's connect swallows a failed open; a refusal of the site's setting it does not.
void TestEncryption::refusalReachesTheLoginWindowsCaller()
{
    TestServer server;
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("encryption"));
    DatabaseTarget target{server.server(), QStringLiteral("VeskDB")};
    target.security.mode = Encryption::Require;
    QVERIFY_THROWS_EXCEPTION(EncryptionRefused, connectDatabase(c, target, TestServer::login, TestServer::password));
    target.security.mode = Encryption::Request;
    QVERIFY(connectDatabase(c, target, TestServer::login, TestServer::password));
}

// The probe reads no more than a message's limit, in its time, whatever the server sends.
void TestEncryption::endlessPreloginAnswerIsRefused()
{
    Flood flood;
    QVERIFY(flood.port > 0);
    const qint64 before = peakKiB();
    QElapsedTimer t;
    t.start();
    const QString why =
        encryptionRefusal(QStringLiteral("127.0.0.1"), flood.port, {Encryption::Require, QString()}, 3000);
    QVERIFY2(t.elapsed() < 4000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(why, QStringLiteral("the server's answer to the encryption handshake is longer than 64 KiB"));
    QVERIFY2(peakKiB() - before < 16 * 1024, qPrintable(QString::number(peakKiB() - before)));
}

// Two servers verified against different CAs, opened at once: each connection reads the
// trust settings of its own server.
void TestEncryption::eachServerKeepsItsOwnTrust()
{
    TestServer site(QString(), certs->serverArgs(QStringLiteral("good")));
    TestServer other(QString(), certs->serverArgs(QStringLiteral("foreign")));
    QVERIFY2(site.ok() && other.ok(), qPrintable(site.errors() + other.errors()));
    SqlConnection a(QStringLiteral("site")), b(QStringLiteral("other"));
    DatabaseTarget target{QStringLiteral("localhost,%1").arg(site.port()), QStringLiteral("VeskDB")};
    target.security = {Encryption::Verify, certs->path(QStringLiteral("SiteCA.pem"))};
    a.setTarget(target);
    target.server = QStringLiteral("localhost,%1").arg(other.port());
    target.security.caFile = certs->path(QStringLiteral("OtherCA.pem"));
    b.setTarget(target);
    SqlConnection *both[] = {&a, &b};
    for (const std::exception_ptr &failure : SqlConnection::openTogether(both, TestServer::login, TestServer::password))
        QVERIFY(!failure);
    QVERIFY(a.connected() && b.connected());
}

QTEST_GUILESS_MAIN(TestEncryption)
#include "tst_encryption.moc"
