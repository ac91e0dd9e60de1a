// The VPN page's phonebook entry "VUDAZEZ" and its dialling.
#pragma once

#include "platform/RasApi.h"

#include <QString>

inline constexpr char kVpnEntryName[] = "VUDAZEZ";

// The three fields as the service takes them: trimmed of codes 0 to 32, and each fitting
// its field (server 128 bytes, user and password 256). Throws Exception naming the field
// that is too long, before anything is asked of the service.
struct VpnFields {
    QByteArray server, user, password;
};
VpnFields vpnFields(const QString &server, const QString &user, const QString &password);

// True when the default phonebook lists "VUDAZEZ" among the 100 entries the list takes.
bool vpnEntryExists();

// The login window keeps the connection's handle in 32 bits, as the main program is handed
// it. The service's own handle is as wide as a pointer; Windows shares handles between its
// 32- and 64-bit programs so, sign-extending them back.

// Hangs up rasConnHandle (whatever it holds, 0 too), deletes the entry and sets it anew
// for server. The service's results are not looked at.
void createVpnEntry(uint32_t rasConnHandle, const QByteArray &server);

// Hangs up a handle that is not 0, then dials the entry with the account. The handle the
// service writes, also for a failed dial, ends up in rasConnHandle. True when connected.
bool dialVpn(uint32_t &rasConnHandle, const QByteArray &user, const QByteArray &password);
