#include "VpnEntry.h"

#include "core/Exceptions.h"
#include "core/TextRules.h"
#include "ras/Ras.h"

#include <QEventLoop>
#include <QMetaObject>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QByteArray fitting(const QString &text, int bytes, const char *what)
{
    const QByteArray ansi = trimControls(text).toLocal8Bit();
    if (ansi.size() > bytes)
        throw Exception(QStringLiteral("The %1 is longer than the %2 bytes the remote-access service takes.")
                            .arg(QLatin1String(what))
                            .arg(bytes));
    return ansi;
}

// Not left out as a plain memset of a record about to end could be.
void wipe(char *field, size_t size)
{
    volatile char *p = field;
    while (size--)
        *p++ = 0;
}

HRASCONN serviceHandle(uint32_t handle)
{
    return HRASCONN(intptr_t(int32_t(handle)));
}

void copyText(char *field, const QByteArray &text)
{
    std::memcpy(field, text.constData(), size_t(text.size())); // fits: checked by vpnFields
}

} // namespace

VpnFields vpnFields(const QString &server, const QString &user, const QString &password)
{
    return {fitting(server, RAS_MaxPhoneNumber, "VPN server address"), fitting(user, UNLEN, "VPN user name"),
            fitting(password, PWLEN, "VPN password")};
}

bool vpnEntryExists()
{
    constexpr DWORD kEntries = 100;
    std::vector<RASENTRYNAMEA> list(kEntries); // 26,400 bytes, zeroed
    static_assert(kEntries * sizeof(RASENTRYNAMEA) == 26400);
    list[0].dwSize = sizeof(RASENTRYNAMEA);
    DWORD size = 26400;
    DWORD count = 0;
    if (RasEnumEntriesA(nullptr, nullptr, list.data(), &size, &count) != 0 || count == 0)
        return false; // also when the phonebook holds more than fit
    for (DWORD i = 0; i < count && i < kEntries; ++i) {
        const char *name = list[i].szEntryName;
        if (strnlen(name, sizeof list[i].szEntryName) == sizeof kVpnEntryName - 1
            && std::memcmp(name, kVpnEntryName, sizeof kVpnEntryName - 1) == 0)
            return true;
    }
    return false;
}

void createVpnEntry(uint32_t rasConnHandle, const QByteArray &server)
{
    RasHangUpA(serviceHandle(rasConnHandle));
    RasDeleteEntry(nullptr, kVpnEntryName);
    RASENTRYA entry{};
    entry.dwSize = sizeof(RASENTRYA);
    entry.dwfOptions = RASEO_TerminalBeforeDial | RASEO_ModemLights | RASEO_RequireMsEncryptedPw
                       | RASEO_RequireDataEncryption | RASEO_NetworkLogon;
    copyText(entry.szLocalPhoneNumber, server);
    entry.dwFrameSize = 1;
    std::strcpy(entry.szDeviceType, "VPN");
    std::strcpy(entry.szDeviceName, "RAS VPN Line 0");
    RasSetEntryProperties(nullptr, kVpnEntryName, &entry, sizeof(RASENTRYA), nullptr, 0);
}

bool dialVpn(uint32_t &rasConnHandle, const QByteArray &user, const QByteArray &password)
{
    if (rasConnHandle != 0)
        RasHangUpA(serviceHandle(rasConnHandle));
    RASDIALPARAMSA params{};
    params.dwSize = sizeof(RASDIALPARAMSA);
    std::strcpy(params.szEntryName, kVpnEntryName);
    copyText(params.szUserName, user);
    copyText(params.szPassword, password);
    rasConnHandle = 0;
    // The dial takes as long as the VPN server needs (the service gives up after its bound);
    // meanwhile the window is repainted, so that it does not look hung, but takes no input,
    // as a synchronous dial does.
    DWORD result = 0;
    HRASCONN dialled = 0;
    QEventLoop wait;
    std::thread dialling([&] {
        result = RasDialA(nullptr, nullptr, &params, 0, nullptr, &dialled);
        QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    });
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    dialling.join();
    rasConnHandle = uint32_t(dialled);
    wipe(params.szPassword, sizeof params.szPassword);
    return result == 0;
}
