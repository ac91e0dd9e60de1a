#include "ProgramSeal.h"

#include "core/Exceptions.h"

#include <QtEndian>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <openssl/evp.h>

Sha256::Sha256() : ctx(EVP_MD_CTX_new())
{
    if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
        throw Exception(QStringLiteral("Out of memory"));
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(ctx);
}

void Sha256::add(const char *data, qsizetype size)
{
    EVP_DigestUpdate(ctx, data, size_t(size));
}

QByteArray Sha256::result()
{
    QByteArray out(32, Qt::Uninitialized);
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()), &n);
    return out;
}

QByteArray sha256Of(const QByteArray &bytes)
{
    Sha256 h;
    h.add(bytes);
    return h.result();
}

struct BackgroundSha256::State {
    Sha256 hash;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> parts;
    bool finishing = false;
    std::thread worker;

    void run()
    {
        for (;;) {
            QByteArray part;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [this] { return !parts.empty() || finishing; });
                if (parts.empty())
                    return;
                part = std::move(parts.front());
                parts.pop_front();
            }
            hash.add(part);
        }
    }
};

BackgroundSha256::BackgroundSha256() : state(std::make_unique<State>())
{
    state->worker = std::thread([s = state.get()] { s->run(); });
}

BackgroundSha256::~BackgroundSha256()
{
    if (!state->worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->parts.clear(); // an abandoned download's hash is not wanted
        state->finishing = true;
    }
    state->changed.notify_one();
    state->worker.join();
}

void BackgroundSha256::add(const QByteArray &part)
{
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->parts.push_back(part);
    }
    state->changed.notify_one();
}

QByteArray BackgroundSha256::result()
{
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->finishing = true;
    }
    state->changed.notify_one();
    state->worker.join();
    return state->hash.result();
}

QByteArray signedStatement(int32_t version, int32_t counts, qint64 length, const QByteArray &sha256)
{
    QByteArray s("Vesk release: DovaDu.exe, version, chunks, length, SHA-256\n");
    char numbers[16];
    qToLittleEndian<qint32>(version, numbers);
    qToLittleEndian<qint32>(counts, numbers + 4);
    qToLittleEndian<qint64>(length, numbers + 8);
    s.append(numbers, sizeof numbers);
    return s + sha256;
}

ReleaseKey ReleaseKey::parse(const QString &text)
{
    const QString t = text.trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(t.mid(8).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!t.startsWith(QLatin1String("ed25519:")) || !decoded || decoded.decoded.size() != 32)
        throw Exception(QStringLiteral("\"%1\" is not a release key (ed25519: and 32 bytes in base64)").arg(t.left(60)));
    return {decoded.decoded};
}

QString ReleaseKey::text() const
{
    return QStringLiteral("ed25519:") + QString::fromLatin1(raw.toBase64());
}

QString ReleaseKey::fingerprint() const
{
    Sha256 h;
    h.add(raw);
    const QString hex = QString::fromLatin1(h.result().toHex().left(16));
    return hex.left(4) + u':' + hex.mid(4, 4) + u':' + hex.mid(8, 4) + u':' + hex.mid(12, 4);
}

QList<ReleaseKey> parseReleaseKeys(const QString &list)
{
    QList<ReleaseKey> keys;
    for (const QString &one : list.split(u',', Qt::SkipEmptyParts))
        keys.append(ReleaseKey::parse(one));
    if (keys.size() > 2)
        throw Exception(QStringLiteral("at most two release keys, the current one and the next"));
    return keys;
}

StoredSignature StoredSignature::parse(const QByteArray &stored)
{
    if (stored.size() != 32 + 64)
        return {};
    return {{stored.left(32)}, stored.mid(32)};
}

bool StoredSignature::holdsFor(const QByteArray &statement) const
{
    if (key.raw.size() != 32 || signature.size() != 64)
        return false;
    EVP_PKEY *pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                 reinterpret_cast<const unsigned char *>(key.raw.constData()), 32);
    EVP_MD_CTX *md = pkey ? EVP_MD_CTX_new() : nullptr;
    const bool good = md && EVP_DigestVerifyInit(md, nullptr, nullptr, nullptr, pkey) == 1
                      && EVP_DigestVerify(md, reinterpret_cast<const unsigned char *>(signature.constData()), 64,
                                          reinterpret_cast<const unsigned char *>(statement.constData()),
                                          size_t(statement.size())) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(pkey);
    return good;
}

const ReleaseKey *signerOf(const QList<ReleaseKey> &keys, const QByteArray &statement, const QByteArray &stored)
{
    const StoredSignature s = StoredSignature::parse(stored);
    for (const ReleaseKey &k : keys)
        if (k.raw == s.key.raw)
            return s.holdsFor(statement) ? &k : nullptr;
    return nullptr;
}

QList<ReleaseKey> builtInReleaseKeys()
{
    static const QList<ReleaseKey> keys = parseReleaseKeys(QStringLiteral(VESK_RELEASE_KEYS));
    return keys;
}
