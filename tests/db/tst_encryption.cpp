// The encryption modes against the stand-in speaking TLS, through the real driver, with
// certificates this test makes.
#include "db/Connect.h"
#include "db/SqlConnection.h"
#include "TestServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

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

} // namespace

class TestEncryption : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void modes_data();
    void modes();
    void refusalReachesTheLoginWindowsCaller();

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

QTEST_GUILESS_MAIN(TestEncryption)
#include "tst_encryption.moc"
