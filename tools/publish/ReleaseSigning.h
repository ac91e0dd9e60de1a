// The release manager's side of signed programs: making the key pair and signing.
#pragma once

#include "upgrade/ProgramSeal.h"

#include <QByteArray>
#include <QString>
#include <memory>

// Makes dir/release.key (the private key, PKCS#8 PEM, readable by its owner alone) and
// dir/release.pub (the public key as one line). Refuses to replace an existing key.
// Returns the public key. Throws Exception with the reason.
ReleaseKey makeReleaseKeys(const QString &dir);

class SigningKey {
public:
    // Reads a private key made by makeReleaseKeys. Throws Exception for a file that cannot
    // be read, is not an Ed25519 private key, or that others than its owner may read.
    explicit SigningKey(const QString &file);
    ~SigningKey();
    SigningKey(const SigningKey &) = delete;
    SigningKey &operator=(const SigningKey &) = delete;
    const ReleaseKey &publicKey() const { return pub; }
    // The signature as BVersion.Signature stores it.
    QByteArray sign(const QByteArray &statement) const;

private:
    struct evp_pkey_st *key = nullptr;
    ReleaseKey pub;
};
