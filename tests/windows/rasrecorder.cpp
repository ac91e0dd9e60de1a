// A rasapi32.dll for the Wine tests, put beside Vesk.exe (WINEDLLOVERRIDES=rasapi32=n): it
// writes each call and the fields of its records to the file VESK_RAS_LOG names (UTF-8,
// a line a call) and answers success. The phonebook lives as long as the process: an
// entry set is listed afterwards. A dial hands out VESK_RAS_HANDLE (a decimal number),
// else 42. The records are checked against the platform's own ras.h in its WINVER 0x0400
// layout (platform/RasApi.h), and a record byte that should be zero and is not is logged.
#include "platform/RasApi.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

std::set<std::string> phonebook;

void log(const std::string &line)
{
    const char *path = std::getenv("VESK_RAS_LOG");
    if (!path || !*path)
        return;
    if (FILE *f = std::fopen(path, "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string text(const char *s)
{
    return s ? '"' + std::string(s) + '"' : std::string("null");
}

std::string ptr(const void *p)
{
    return p ? std::string("set") : std::string("null");
}

// A fixed field up to its zero; one without a zero is a fault of the caller.
std::string field(const char *p, size_t width)
{
    const void *end = std::memchr(p, 0, width);
    return end ? text(std::string(p, static_cast<const char *>(end)).c_str()) : std::string("(unterminated)");
}

// The bytes of a record outside the fields named, which should all be zero.
std::string strays(const void *record, size_t size, std::initializer_list<std::pair<size_t, size_t>> fields)
{
    const auto *b = static_cast<const unsigned char *>(record);
    for (size_t i = 0; i < size; ++i) {
        bool named = false;
        for (auto [at, width] : fields)
            named = named || (i >= at && i < at + width);
        if (!named && b[i] != 0)
            return " stray=" + std::to_string(i);
    }
    return std::string();
}

} // namespace

extern "C" {

__declspec(dllexport) DWORD RasEnumEntriesA(LPCSTR reserved, LPCSTR book, RASENTRYNAMEA *entries, LPDWORD cb,
                                                   LPDWORD count)
{
    log("RasEnumEntriesA reserved=" + text(reserved) + " phonebook=" + text(book) + " dwSize="
        + std::to_string(entries ? entries->dwSize : 0) + " cb=" + std::to_string(cb ? *cb : 0));
    if (!entries || !cb || !count || entries->dwSize != sizeof(RASENTRYNAMEA))
        return ERROR_INVALID_PARAMETER;
    if (*cb < phonebook.size() * sizeof(RASENTRYNAMEA)) {
        *cb = DWORD(phonebook.size() * sizeof(RASENTRYNAMEA));
        return ERROR_BUFFER_TOO_SMALL;
    }
    DWORD i = 0;
    for (const std::string &name : phonebook) {
        entries[i].dwSize = sizeof(RASENTRYNAMEA);
        std::strncpy(entries[i].szEntryName, name.c_str(), RAS_MaxEntryName);
        ++i;
    }
    *count = i;
    return 0;
}

__declspec(dllexport) DWORD RasHangUpA(HRASCONN connection)
{
    log("RasHangUpA " + std::to_string(int32_t(connection)));
    return 0;
}

__declspec(dllexport) DWORD RasDeleteEntryA(LPCSTR book, LPCSTR entry)
{
    log("RasDeleteEntryA phonebook=" + text(book) + " entry=" + text(entry));
    if (!entry || !phonebook.erase(entry))
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    return 0;
}

__declspec(dllexport) DWORD RasSetEntryPropertiesA(LPCSTR book, LPCSTR entry, RASENTRYA *e, DWORD cb,
                                                          void *device, DWORD deviceSize)
{
    if (!e || cb != sizeof(RASENTRYA) || e->dwSize != sizeof(RASENTRYA)) {
        log("RasSetEntryPropertiesA entry=" + text(entry) + " cb=" + std::to_string(cb) + " (refused)");
        return ERROR_INVALID_SIZE;
    }
    char options[16];
    std::snprintf(options, sizeof options, "0x%lx", static_cast<unsigned long>(e->dwfOptions));
    log("RasSetEntryPropertiesA phonebook=" + text(book) + " entry=" + text(entry) + " cb=" + std::to_string(cb)
        + " options=" + options + " phone=" + field(e->szLocalPhoneNumber, sizeof e->szLocalPhoneNumber)
        + " frame=" + std::to_string(e->dwFrameSize) + " framing=" + std::to_string(e->dwFramingProtocol)
        + " type=" + field(e->szDeviceType, sizeof e->szDeviceType)
        + " device=" + field(e->szDeviceName, sizeof e->szDeviceName) + " deviceInfo=" + ptr(device) + "/"
        + std::to_string(deviceSize)
        + strays(e, sizeof *e,
                 {{offsetof(RASENTRYA, dwSize), 8}, {offsetof(RASENTRYA, szLocalPhoneNumber), sizeof e->szLocalPhoneNumber},
                  {offsetof(RASENTRYA, dwFrameSize), 4}, {offsetof(RASENTRYA, szDeviceType), sizeof e->szDeviceType},
                  {offsetof(RASENTRYA, szDeviceName), sizeof e->szDeviceName}}));
    if (entry)
        phonebook.insert(entry);
    return 0;
}

__declspec(dllexport) DWORD RasDialA(void *extensions, LPCSTR book, RASDIALPARAMSA *p,
                                            DWORD notifierType, void *notifier, LPHRASCONN connection)
{
    if (!p || p->dwSize != sizeof(RASDIALPARAMSA) || !connection) {
        log("RasDialA (refused)");
        return ERROR_INVALID_PARAMETER;
    }
    log("RasDialA extensions=" + ptr(extensions) + " phonebook=" + text(book)
        + " entry=" + field(p->szEntryName, sizeof p->szEntryName)
        + " phone=" + field(p->szPhoneNumber, sizeof p->szPhoneNumber)
        + " callback=" + field(p->szCallbackNumber, sizeof p->szCallbackNumber)
        + " user=" + field(p->szUserName, sizeof p->szUserName)
        + " password=" + field(p->szPassword, sizeof p->szPassword)
        + " domain=" + field(p->szDomain, sizeof p->szDomain) + " notifierType=" + std::to_string(notifierType)
        + " notifier=" + ptr(notifier)
        + strays(p, sizeof *p,
                 {{offsetof(RASDIALPARAMSA, dwSize), 4}, {offsetof(RASDIALPARAMSA, szEntryName), sizeof p->szEntryName},
                  {offsetof(RASDIALPARAMSA, szUserName), sizeof p->szUserName},
                  {offsetof(RASDIALPARAMSA, szPassword), sizeof p->szPassword}}));
    const char *handle = std::getenv("VESK_RAS_HANDLE");
    *connection = HRASCONN(handle && *handle ? std::strtoul(handle, nullptr, 10) : 42);
    return 0;
}

} // extern "C"
