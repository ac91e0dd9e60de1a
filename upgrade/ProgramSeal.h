// What vouches for a published program: its SHA-256, stored beside it in BVersion, and the
// signature of the site's release key over it, checked with OpenSSL's libcrypto.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

// SHA-256 of a program as its chunks arrive.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void add(const char *data, qsizetype size);
    void add(const QByteArray &bytes) { add(bytes.constData(), bytes.size()); }
    // The 32 bytes of the hash; the hash cannot be added to afterwards.
    QByteArray result();

private:
    struct evp_md_ctx_st *ctx;
};

// SHA-256 of a whole program in memory.
QByteArray sha256Of(const QByteArray &bytes);

// SHA-256 of a program's parts, computed on a thread of its own beside the download, so
// that the hash costs the reassembly no time where a second core is free.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;
    // The part is shared, not copied: it must not change afterwards.
    void add(const QByteArray &part);
    // Waits for every part added so far.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> state;
};

// What the release key signs: a fixed context text, the version and chunk count that
// BVersion announces, the program's length and its SHA-256.
QByteArray signedStatement(int32_t version, int32_t counts, qint64 length, const QByteArray &sha256);

// An Ed25519 public key as release.pub holds it: "ed25519:" and the 32 bytes in base64.
struct ReleaseKey {
    QByteArray raw; // 32 bytes
    // "ed25519:" + base64; throws Exception naming the text for anything else.
    static ReleaseKey parse(const QString &text);
    QString text() const;
    // The first 16 hexadecimal digits of the key's SHA-256, in groups of four.
    QString fingerprint() const;
};

// The keys a list of one or two (separated by a comma) names; throws for a bad one.
QList<ReleaseKey> parseReleaseKeys(const QString &list);

// BVersion.Signature: the signing key's 32 bytes, then its 64-byte Ed25519 signature of
// the statement, so that a stored signature tells which key made it.
struct StoredSignature {
    ReleaseKey key;
    QByteArray signature;
    // Empty key when the stored bytes are not of that form.
    static StoredSignature parse(const QByteArray &stored);
    QByteArray bytes() const { return key.raw + signature; }
    // The signature holds for the statement under its own key.
    bool holdsFor(const QByteArray &statement) const;
};

// The key of keys that made stored over statement; nullptr when none did.
const ReleaseKey *signerOf(const QList<ReleaseKey> &keys, const QByteArray &statement, const QByteArray &stored);

// The keys the launcher was built with (VESK_RELEASE_KEYS); none when built without.
QList<ReleaseKey> builtInReleaseKeys();
