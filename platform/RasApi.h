// The remote-access service's ANSI interface: the records in their Windows byte layouts
// (ras.h, WINVER 0x0400) and the functions librasapi32.so exports under their Windows
// names. Shared by the service, the launcher and the administrator's tool.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef const char *LPCSTR;
// A connection handle, as wide as a pointer as on 64-bit Windows; the stand-in's are
// non-zero 32-bit values, valid for every process of the same user.
typedef uintptr_t HRASCONN;
typedef HRASCONN *LPHRASCONN;

enum : DWORD {
    RAS_MaxEntryName = 256,
    RAS_MaxPhoneNumber = 128,
    RAS_MaxCallbackNumber = 128,
    RAS_MaxDeviceType = 16,
    RAS_MaxDeviceName = 128,
    UNLEN = 256,
    PWLEN = 256,
    DNLEN = 15,
};

// Result codes of the service.
enum : DWORD {
    RAS_OK = 0,
    ERROR_INVALID_HANDLE = 6,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_NAME = 123,
    ERROR_BUFFER_TOO_SMALL = 603,
    ERROR_CANNOT_OPEN_PHONEBOOK = 621,
    ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623,
    ERROR_INVALID_SIZE = 632,
    ERROR_AUTHENTICATION_FAILURE = 691,
    ERROR_RASMAN_CANNOT_INITIALIZE = 711,
    ERROR_AUTOMATIC_VPN_FAILED = 800,
};

struct RASENTRYNAMEA {
    DWORD dwSize;
    char szEntryName[RAS_MaxEntryName + 1];
};

struct RASIPADDR {
    unsigned char a, b, c, d;
};

struct RASENTRYA {
    DWORD dwSize;
    DWORD dwfOptions;
    DWORD dwCountryID;
    DWORD dwCountryCode;
    char szAreaCode[11];
    char szLocalPhoneNumber[RAS_MaxPhoneNumber + 1];
    DWORD dwAlternateOffset;
    RASIPADDR ipaddr;
    RASIPADDR ipaddrDns;
    RASIPADDR ipaddrDnsAlt;
    RASIPADDR ipaddrWins;
    RASIPADDR ipaddrWinsAlt;
    DWORD dwFrameSize;
    DWORD dwfNetProtocols;
    DWORD dwFramingProtocol;
    char szScript[260];
    char szAutodialDll[260];
    char szAutodialFunc[260];
    char szDeviceType[RAS_MaxDeviceType + 1];
    char szDeviceName[RAS_MaxDeviceName + 1];
    char szX25PadType[33];
    char szX25Address[201];
    char szX25Facilities[201];
    char szX25UserData[201];
    DWORD dwChannels;
    DWORD dwReserved1;
    DWORD dwReserved2;
};

struct RASDIALPARAMSA {
    DWORD dwSize;
    char szEntryName[RAS_MaxEntryName + 1];
    char szPhoneNumber[RAS_MaxPhoneNumber + 1];
    char szCallbackNumber[RAS_MaxCallbackNumber + 1];
    char szUserName[UNLEN + 1];
    char szPassword[PWLEN + 1];
    char szDomain[DNLEN + 1];
};

// Entry options the launcher sets.
enum : DWORD {
    RASEO_TerminalBeforeDial = 0x40,
    RASEO_ModemLights = 0x100,
    RASEO_RequireMsEncryptedPw = 0x800,
    RASEO_RequireDataEncryption = 0x1000,
    RASEO_NetworkLogon = 0x2000,
};

DWORD RasEnumEntriesA(LPCSTR reserved, LPCSTR phonebook, RASENTRYNAMEA *entries, LPDWORD cb, LPDWORD count);
DWORD RasDialA(void *extensions, LPCSTR phonebook, RASDIALPARAMSA *params, DWORD notifierType, void *notifier,
               LPHRASCONN connection);
DWORD RasHangUpA(HRASCONN connection);
DWORD RasDeleteEntryA(LPCSTR phonebook, LPCSTR entry);
DWORD RasSetEntryPropertiesA(LPCSTR phonebook, LPCSTR entry, RASENTRYA *properties, DWORD cb, void *deviceInfo,
                             DWORD deviceInfoSize);
// Beyond the launcher's five: what an administrator's tool reads back.
DWORD RasGetEntryPropertiesA(LPCSTR phonebook, LPCSTR entry, RASENTRYA *properties, LPDWORD cb, void *deviceInfo,
                             LPDWORD deviceInfoSize);

} // extern "C"

static_assert(sizeof(RASENTRYNAMEA) == 264);
static_assert(sizeof(RASENTRYA) == 1768);
static_assert(offsetof(RASENTRYA, szLocalPhoneNumber) == 27);
static_assert(offsetof(RASENTRYA, dwFrameSize) == 180);
static_assert(offsetof(RASENTRYA, dwFramingProtocol) == 188);
static_assert(offsetof(RASENTRYA, szDeviceType) == 972);
static_assert(offsetof(RASENTRYA, szDeviceName) == 989);
static_assert(sizeof(RASDIALPARAMSA) == 1052);
static_assert(offsetof(RASDIALPARAMSA, szPhoneNumber) == 261);
static_assert(offsetof(RASDIALPARAMSA, szCallbackNumber) == 390);
static_assert(offsetof(RASDIALPARAMSA, szUserName) == 519);
static_assert(offsetof(RASDIALPARAMSA, szPassword) == 776);
static_assert(offsetof(RASDIALPARAMSA, szDomain) == 1033);
