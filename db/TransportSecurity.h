// Whether the link to the database server is encrypted, and whose certificate it accepts.
#pragma once

#include "core/Exceptions.h"

#include <QString>

enum class Encryption {
    Off,     // never encrypted
    Request, // encrypted when the server offers it, the certificate not checked
    Require, // no connection without encryption, the certificate not checked
    Verify,  // Require, and the certificate signed by the CA file's CA and naming the server
};

struct TransportSecurity {
    Encryption mode = Encryption::Request;
    QString caFile; // Verify: the PEM file of the CA that signs the server's certificate
};

// The server refused what the mode asks: no encryption offered, a certificate the CA
// file does not trust, or one for another name. The message says which.
class EncryptionRefused : public Exception {
public:
    using Exception::Exception;
};

// "off", "request", "require" or "verify"; throws Exception for another word.
Encryption parseEncryption(const QString &word);
QString encryptionName(Encryption mode);

// The build's setting (VESK_DB_ENCRYPTION, VESK_DB_CA_FILE).
TransportSecurity siteSecurity();

// With Verify the connection string names a section of the driver's configuration instead
// of the server, one for each server, port and CA file, and prepareDriverTrust writes it
// before the open: the host, the port, the CA file and the name check. Throws Exception
// when Verify has no readable CA file.
QString verifiedSection(const TransportSecurity &security, const QString &host, int port);
void prepareDriverTrust(const TransportSecurity &security, const QString &host, int port);

// The most of a message the probe reads: a prelogin answer is a few hundred bytes, a TLS
// flight with its certificates a few KiB.
inline constexpr qsizetype kMaxProbeMessage = 64 * 1024;

// Asks the server directly why it refused an encrypted connection: whether it offers
// encryption at all, and with Verify whether its certificate holds against the CA file and
// the host name. Empty when nothing wrong is found (the refusal was something else). Ends
// by the timeout, whatever the server sends.
QString encryptionRefusal(const QString &host, int port, const TransportSecurity &security, int timeoutMs);
