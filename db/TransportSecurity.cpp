#include "TransportSecurity.h"

#include "db/Socket.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QDir>
#include <QRegularExpression>
#include <QCryptographicHash>
#include <QMap>
#include <QSaveFile>
#include <QTemporaryDir>
#include <mutex>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <string>

#ifndef VESK_DB_ENCRYPTION
#define VESK_DB_ENCRYPTION "request"
#endif
#ifndef VESK_DB_CA_FILE
#define VESK_DB_CA_FILE ""
#endif

Encryption parseEncryption(const QString &word)
{
    for (Encryption mode : {Encryption::Off, Encryption::Request, Encryption::Require, Encryption::Verify})
        if (word == encryptionName(mode))
            return mode;
    throw Exception(QStringLiteral("The encryption mode \"%1\" is none of off, request, require and verify").arg(word));
}

QString encryptionName(Encryption mode)
{
    switch (mode) {
    case Encryption::Off: return QStringLiteral("off");
    case Encryption::Request: return QStringLiteral("request");
    case Encryption::Require: return QStringLiteral("require");
    case Encryption::Verify: return QStringLiteral("verify");
    }
    return {};
}

TransportSecurity siteSecurity()
{
    return {parseEncryption(QStringLiteral(VESK_DB_ENCRYPTION)), QString::fromUtf8(VESK_DB_CA_FILE)};
}

namespace {

bool carriable(const QString &value)
{
    return !value.isEmpty() && value.trimmed() == value
           && !value.contains(QRegularExpression(QStringLiteral("[\\n\\r;#\\[\\]]")));
}

} // namespace

QString verifiedSection(const TransportSecurity &security, const QString &host, int port)
{
    const QByteArray key = host.toUtf8() + '\n' + QByteArray::number(port) + '\n'
                         + QFileInfo(security.caFile).absoluteFilePath().toUtf8();
    return QStringLiteral("vesk-verified-")
         + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(16));
}

// FreeTDS takes the CA file and the name check only from its configuration file, which
// it reads only for a connection string that names a section of it (SERVERNAME): so the
// process's FREETDSCONF names a file of ours holding a section for each server.
void prepareDriverTrust(const TransportSecurity &security, const QString &host, int port)
{
    if (security.mode != Encryption::Verify)
        return;
    const QFileInfo ca(security.caFile);
    if (security.caFile.isEmpty())
        throw Exception(QStringLiteral("Encryption mode verify needs a CA file"));
    if (!ca.isFile() || !ca.isReadable())
        throw Exception(QStringLiteral("The CA file %1 cannot be read").arg(security.caFile));
    if (!carriable(ca.absoluteFilePath()) || !carriable(host))
        throw Exception(QStringLiteral("The CA file's path or the server's name holds a character the driver's "
                                       "configuration cannot carry (a line break, ';', '#', '[' or ']')"));
    // Connections open at once, each from a thread of its own: a section, once written, is
    // never changed, and the file is replaced whole, so a driver reading it meanwhile reads
    // the sections it had.
    static std::mutex lock;
    static QMap<QString, QByteArray> sections;
    static const QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vesk-freetds-XXXXXX"));
    const std::lock_guard guard(lock);
    const QString name = verifiedSection(security, host, port);
    if (sections.contains(name))
        return;
    const QByteArray section = "[" + name.toLatin1() + "]\n\thost = " + host.toUtf8() + "\n\tport = "
                             + QByteArray::number(port) + "\n\tencryption = require\n\tca file = "
                             + ca.absoluteFilePath().toUtf8() + "\n\tcheck certificate hostname = yes\n";
    QSaveFile conf(dir.filePath(QStringLiteral("freetds.conf")));
    bool written = dir.isValid() && conf.open(QIODevice::WriteOnly);
    for (const QByteArray &other : std::as_const(sections))
        written = written && conf.write(other) >= 0;
    if (!written || conf.write(section) < 0 || !conf.commit())
        throw Exception(QStringLiteral("Cannot write the driver's settings to %1: %2")
                            .arg(conf.fileName(), dir.isValid() ? conf.errorString() : dir.errorString()));
    if (sections.isEmpty())
        qputenv("FREETDSCONF", QFile::encodeName(conf.fileName()));
    sections.insert(name, section);
}

namespace {

enum : uint8_t { PktPrelogin = 0x12, EncryptOn = 1, EncryptNotSup = 2 };

class Link {
public:
    Link(const QString &host, int port, int timeoutMs)
        : deadline(timeoutMs), socket(host, port, Socket::Kind::Stream, deadline)
    {
    }
    bool ok() const { return socket.ok(); }
    // The server sent a message longer than the probe reads.
    bool oversized = false;

    bool sendMessage(const std::string &payload)
    {
        constexpr size_t kChunk = 4096 - 8;
        for (size_t at = 0; at == 0 || at < payload.size(); at += kChunk) {
            const size_t n = std::min(kChunk, payload.size() - at);
            const bool last = at + n >= payload.size();
            const char h[8] = {char(PktPrelogin), char(last ? 1 : 0), char((n + 8) >> 8), char((n + 8) & 0xFF), 0, 0, 1, 0};
            const std::string packet = std::string(h, 8) + payload.substr(at, n);
            if (!socket.send(packet.data(), packet.size(), deadline))
                return false;
        }
        return true;
    }
    bool readMessage(std::string &payload)
    {
        payload.clear();
        for (;;) {
            char h[8];
            if (!socket.receiveAll(h, 8, deadline))
                return false;
            const size_t len = size_t(uint8_t(h[2])) << 8 | uint8_t(h[3]);
            if (len < 8)
                return false;
            if (payload.size() + len - 8 > size_t(kMaxProbeMessage)) {
                oversized = true;
                return false;
            }
            const size_t at = payload.size();
            payload.resize(at + len - 8);
            if (!socket.receiveAll(payload.data() + at, len - 8, deadline))
                return false;
            if (uint8_t(h[1]) & 1)
                return true;
        }
    }

private:
    QDeadlineTimer deadline;
    Socket socket;
};

// The ENCRYPTION option of a PRELOGIN answer; -1 when it has none.
int encryptionOption(const std::string &reply)
{
    for (size_t at = 0; at + 5 <= reply.size() && uint8_t(reply[at]) != 0xFF; at += 5) {
        const size_t offset = size_t(uint8_t(reply[at + 1])) << 8 | uint8_t(reply[at + 2]);
        const size_t length = size_t(uint8_t(reply[at + 3])) << 8 | uint8_t(reply[at + 4]);
        if (uint8_t(reply[at]) == 1 && length >= 1 && offset < reply.size())
            return uint8_t(reply[offset]);
    }
    return -1;
}

// The names a certificate is for: its DNS and IP subject alternative names, else its CN.
QStringList certificateNames(X509 *cert)
{
    QStringList names;
    auto *alt = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt); ++i) {
        const GENERAL_NAME *n = sk_GENERAL_NAME_value(alt, i);
        if (n->type == GEN_DNS)
            names << QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(n->d.dNSName)),
                                       ASN1_STRING_length(n->d.dNSName));
        else if (n->type == GEN_IPADD && ASN1_STRING_length(n->d.iPAddress) == 4) {
            const unsigned char *b = ASN1_STRING_get0_data(n->d.iPAddress);
            names << QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
        }
    }
    GENERAL_NAMES_free(alt);
    if (names.isEmpty()) {
        char cn[256] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
            names << QString::fromUtf8(cn);
    }
    return names;
}

QString lastTlsError()
{
    char why[256] = {};
    ERR_error_string_n(ERR_get_error(), why, sizeof why);
    ERR_clear_error();
    return QString::fromUtf8(why);
}

} // namespace

QString encryptionRefusal(const QString &host, int port, const TransportSecurity &security, int timeoutMs)
{
    Link link(host, port, timeoutMs);
    if (!link.ok())
        return {};
    // VERSION and ENCRYPTION (on), as a client that requires encryption asks.
    const std::string hello("\x00\x00\x0B\x00\x06\x01\x00\x11\x00\x01\xFF\x0C\x00\x07\xD0\x00\x00\x01", 18);
    const QString oversized = QStringLiteral("the server's answer to the encryption handshake is longer than %1 KiB")
                                  .arg(kMaxProbeMessage / 1024);
    std::string reply;
    if (!link.sendMessage(hello) || !link.readMessage(reply))
        return link.oversized ? oversized : QString();
    const int offered = encryptionOption(reply);
    if (offered == EncryptNotSup || offered < 0)
        return QStringLiteral("the server offers no encryption, and this connection requires it (encryption mode %1)")
            .arg(encryptionName(security.mode));

    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    const bool verify = security.mode == Encryption::Verify;
    if (!ctx || (verify && SSL_CTX_load_verify_locations(ctx.get(), QFile::encodeName(security.caFile).constData(), nullptr) != 1))
        return QStringLiteral("the CA file %1 holds no certificate OpenSSL can read (%2)").arg(security.caFile, lastTlsError());
    const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl.get());
    const QByteArray name = host.toUtf8();
    // An address is checked as one; OpenSSL refuses any other text as an address.
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) != 1)
        X509_VERIFY_PARAM_set1_host(param, name.constData(), 0);
    SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(ssl.get());
    bool shaken = false;
    for (;;) {
        const int r = SSL_do_handshake(ssl.get());
        std::string flight;
        char buf[4096];
        for (int n; (n = BIO_read(SSL_get_wbio(ssl.get()), buf, sizeof buf)) > 0;)
            flight.append(buf, size_t(n));
        if (!flight.empty() && !link.sendMessage(flight))
            break;
        if (r == 1) {
            shaken = true;
            break;
        }
        std::string in;
        if (SSL_get_error(ssl.get(), r) != SSL_ERROR_WANT_READ || !link.readMessage(in)) {
            if (link.oversized)
                return oversized;
            break;
        }
        BIO_write(SSL_get_rbio(ssl.get()), in.data(), int(in.size()));
    }
    X509 *cert = SSL_get0_peer_certificate(ssl.get());
    if (verify && cert) {
        const long result = SSL_get_verify_result(ssl.get());
        if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return QStringLiteral("the server's certificate is for %1, not for %2 (name mismatch)")
                .arg(certificateNames(cert).join(QStringLiteral(", ")), host);
        if (result != X509_V_OK)
            return QStringLiteral("the server's certificate is not trusted: %1 (checked against the CA file %2)")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(result)), security.caFile);
    }
    if (!shaken)
        return QStringLiteral("the TLS handshake with the server failed (%1)").arg(lastTlsError());
    return {};
}
