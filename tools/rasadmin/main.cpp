// vesk-ras: what the launcher left in the remote-access phonebook, for an administrator.
//   vesk-ras list | show NAME | delete NAME | hangup HANDLE
#include "platform/RasApi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage(FILE *to = stderr, int status = 2)
{
    std::fputs("Usage: vesk-ras list            the phonebook's entries\n"
               "       vesk-ras show NAME       one entry's settings\n"
               "       vesk-ras delete NAME     remove an entry (and its NetworkManager profile)\n"
               "       vesk-ras hangup HANDLE   hang up a connection by the handle the launcher passed on\n"
               "       vesk-ras --help          this text\n"
               "\n"
               "Looks after the VPN phonebook of the launcher's VPN page, as the operator who runs it.\n"
               "The phonebook is ${XDG_CONFIG_HOME:-$HOME/.config}/ras/rasphone.pbk.\n"
               "\n"
               "Exit status: 0 done, 1 the remote-access service refused (its error code is\n"
               "printed), 2 wrong command line.\n",
               to);
    return status;
}

int failed(const char *what, DWORD code)
{
    std::fprintf(stderr, "vesk-ras: %s failed with remote-access error %u\n", what, code);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h")
        return usage(stdout, 0);
    if (command == "list" && argc == 2) {
        DWORD size = 0, count = 0;
        RASENTRYNAMEA probe{};
        probe.dwSize = sizeof probe;
        DWORD rc = RasEnumEntriesA(nullptr, nullptr, &probe, &size, &count);
        std::vector<RASENTRYNAMEA> list(count ? count : 1);
        list[0].dwSize = sizeof(RASENTRYNAMEA);
        size = DWORD(list.size() * sizeof(RASENTRYNAMEA));
        if (count && (rc = RasEnumEntriesA(nullptr, nullptr, list.data(), &size, &count)) != 0)
            return failed("listing the entries", rc);
        for (DWORD i = 0; i < count; ++i)
            std::printf("%s\n", list[i].szEntryName);
        return 0;
    }
    if (command == "show" && argc == 3) {
        RASENTRYA e{};
        e.dwSize = sizeof e;
        DWORD cb = sizeof e, devcb = 0;
        if (const DWORD rc = RasGetEntryPropertiesA(nullptr, argv[2], &e, &cb, nullptr, &devcb))
            return failed("reading the entry", rc);
        std::printf("entry:        %s\nserver:       %s\noptions:      0x%x\ndevice type:  %s\ndevice name:  %s\n"
                    "frame size:   %u\nframing:      %u\n",
                    argv[2], e.szLocalPhoneNumber, e.dwfOptions, e.szDeviceType, e.szDeviceName, e.dwFrameSize,
                    e.dwFramingProtocol);
        return 0;
    }
    if (command == "delete" && argc == 3) {
        if (const DWORD rc = RasDeleteEntryA(nullptr, argv[2]))
            return failed("deleting the entry", rc);
        return 0;
    }
    if (command == "hangup" && argc == 3) {
        // The launcher passes the handle on as a signed decimal.
        char *end = nullptr;
        const long long v = std::strtoll(argv[2], &end, 10);
        if (!*argv[2] || *end || v < INT32_MIN || v > UINT32_MAX)
            return usage();
        if (const DWORD rc = RasHangUpA(HRASCONN(uint32_t(v))))
            return failed("hanging up", rc);
        return 0;
    }
    return usage();
}
