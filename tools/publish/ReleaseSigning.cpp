#include "ReleaseSigning.h"

#include "KeyPrivacy.h"

#include "core/Exceptions.h"
#include "platform/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

namespace {

ReleaseKey publicKeyOf(EVP_PKEY *key)
{
    QByteArray raw(32, Qt::Uninitialized);
    size_t n = 32;
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &n) != 1 || n != 32)
        throw Exception(QStringLiteral("the key has no Ed25519 public key"));
    return {raw};
}

QString why(int code)
{
    return QString::fromLocal8Bit(strerror(code));
}

} // namespace

ReleaseKey makeReleaseKeys(const QString &dir)
{
    const QString privatePath = QDir(dir).filePath(QStringLiteral("release.key"));
    const QString publicPath = QDir(dir).filePath(QStringLiteral("release.pub"));
    for (const QString &path : {privatePath, publicPath})
        if (QFileInfo::exists(path))
            throw Exception(QStringLiteral("%1 exists already; a release key is never replaced by accident").arg(path));
    if (!QDir().mkpath(dir))
        throw Exception(QStringLiteral("cannot create the folder %1").arg(dir));
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    const bool made = ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!made)
        throw Exception(QStringLiteral("OpenSSL could not make an Ed25519 key"));
    QByteArray pem;
    if (BIO *bio = BIO_new(BIO_s_mem())) {
        if (PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
            char *data = nullptr;
            const long n = BIO_get_mem_data(bio, &data);
            pem = QByteArray(data, n);
        }
        BIO_free(bio);
    }
    const ReleaseKey pub = publicKeyOf(key);
    EVP_PKEY_free(key);
    if (pem.isEmpty())
        throw Exception(QStringLiteral("OpenSSL could not write the key"));
    if (const int rc = writeFileAtomically(privatePath, pem, 0600))
        throw Exception(QStringLiteral("cannot write %1: %2").arg(privatePath, why(rc)));
    if (const int rc = writeFileAtomically(publicPath, pub.text().toLatin1() + '\n', 0644))
        throw Exception(QStringLiteral("cannot write %1: %2").arg(publicPath, why(rc)));
    return pub;
}

SigningKey::SigningKey(const QString &file)
{
    struct stat st{};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        throw Exception(QStringLiteral("cannot read the signing key %1: %2").arg(file, why(errno)));
    QByteArray text;
    if (readWholeFile(file, text) == 0 && text.trimmed().startsWith("ed25519:"))
        throw Exception(QStringLiteral("%1 is the public key (release.pub): --sign takes the private key, "
                                       "release.key, that --keygen made beside it")
                            .arg(file));
    // Whoever else can read it could sign programs for every workstation of the site.
    if (const QString mode = modeOthersMayRead(file); !mode.isEmpty())
        throw Exception(QStringLiteral("the signing key %1 may be read by others than its owner (mode %2); "
                                       "make it private with chmod 600, and make a new key if others may have read it")
                            .arg(file, mode));
    QByteArray pem;
    if (const int rc = readWholeFile(file, pem))
        throw Exception(QStringLiteral("cannot read the signing key %1: %2").arg(file, why(rc)));
    if (BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()))) {
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
    }
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        key = nullptr;
        throw Exception(QStringLiteral("%1 is not an Ed25519 private key made by --keygen").arg(file));
    }
    pub = publicKeyOf(key);
}

SigningKey::~SigningKey()
{
    EVP_PKEY_free(key);
}

QByteArray SigningKey::sign(const QByteArray &statement) const
{
    QByteArray signature(64, Qt::Uninitialized);
    size_t n = 64;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    const bool ok = md && EVP_DigestSignInit(md, nullptr, nullptr, nullptr, key) == 1
                    && EVP_DigestSign(md, reinterpret_cast<unsigned char *>(signature.data()), &n,
                                      reinterpret_cast<const unsigned char *>(statement.constData()),
                                      size_t(statement.size())) == 1;
    EVP_MD_CTX_free(md);
    if (!ok || n != 64)
        throw Exception(QStringLiteral("OpenSSL could not sign"));
    return StoredSignature{pub, signature}.bytes();
}
