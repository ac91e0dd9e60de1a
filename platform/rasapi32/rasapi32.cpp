// librasapi32.so: the remote-access service on Linux. The phonebook is an INI file, one
// section per entry, written atomically under a lock; a dial brings the entry up as a
// NetworkManager PPTP profile through nmcli, the password handed over in a private file.
// Results are the service's error codes. A connection handle is the number N of the
// active connection's D-Bus path, so any process of the same user can hang it up.
#include "platform/RasApi.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Entry {
    std::string name;
    std::map<std::string, std::string> values; // key -> value, written in key order
};

std::string configHome()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg)
        return xdg;
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

std::string phonebookDir()
{
    return configHome() + "/ras";
}

std::string phonebookPath()
{
    return phonebookDir() + "/rasphone.pbk";
}

// Calls are written to $VESK_RAS_LOG when it is set, for tests and for a site that
// wants to see what the launcher asked.
void trace(const std::string &line)
{
    const char *log = std::getenv("VESK_RAS_LOG");
    if (!log || !*log)
        return;
    if (FILE *f = std::fopen(log, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

// The text of a fixed field: up to its first NUL, or nothing when it has none.
std::optional<std::string> field(const char *p, size_t width)
{
    const void *end = std::memchr(p, '\0', width);
    if (!end)
        return std::nullopt;
    return std::string(p, static_cast<const char *>(end));
}

bool storable(const std::string &s)
{
    for (unsigned char c : s)
        if (c < 0x20)
            return false;
    return true;
}

bool validName(const std::string &s)
{
    return !s.empty() && s.size() <= RAS_MaxEntryName && storable(s) && s.find(']') == std::string::npos;
}

class Lock {
public:
    Lock()
    {
        const std::string dir = phonebookDir();
        ::mkdir(configHome().c_str(), 0700);
        ::mkdir(dir.c_str(), 0700);
        fd = ::open((dir + "/rasphone.pbk.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~Lock()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return fd >= 0; }

private:
    int fd = -1;
};

std::vector<Entry> readPhonebook()
{
    std::vector<Entry> entries;
    FILE *f = std::fopen(phonebookPath().c_str(), "r");
    if (!f)
        return entries;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = ::getline(&line, &cap, f)) >= 0) {
        std::string s(line, size_t(n));
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.size() >= 2 && s.front() == '[' && s.back() == ']') {
            entries.push_back({s.substr(1, s.size() - 2), {}});
        } else if (!entries.empty()) {
            const size_t eq = s.find('=');
            if (eq != std::string::npos)
                entries.back().values[s.substr(0, eq)] = s.substr(eq + 1);
        }
    }
    std::free(line);
    std::fclose(f);
    return entries;
}

// Called under the lock: a temporary file left now is a killed writer's.
void removeStaleTemporaries()
{
    DIR *d = ::opendir(phonebookDir().c_str());
    if (!d)
        return;
    while (const dirent *e = ::readdir(d))
        if (std::strncmp(e->d_name, "rasphone.pbk.tmp", 16) == 0)
            ::unlinkat(::dirfd(d), e->d_name, 0);
    ::closedir(d);
}

bool writePhonebook(const std::vector<Entry> &entries)
{
    std::string text;
    for (const Entry &e : entries) {
        text += "[" + e.name + "]\n";
        for (const auto &[k, v] : e.values)
            text += k + "=" + v + "\n";
        text += "\n";
    }
    const std::string path = phonebookPath();
    removeStaleTemporaries();
    std::string tmp = path + ".tmpXXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
        const int d = ::open(phonebookDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (d >= 0) {
            ::fsync(d);
            ::close(d);
        }
        return true;
    }
    ::unlink(tmp.c_str());
    return false;
}

Entry *find(std::vector<Entry> &entries, const std::string &name)
{
    for (Entry &e : entries)
        if (e.name == name) // byte for byte: letter case counts
            return &e;
    return nullptr;
}

// The longest a dial waits for the connection: a wrong password or a VPN server that does
// not answer fails after it, the window repainted meanwhile.
constexpr int kDialSeconds = 20;

// Runs nmcli with argv (never through a shell); its exit code, and its output in out.
int nmcli(const std::vector<std::string> &args, std::string &out)
{
    std::vector<char *> argv{const_cast<char *>("nmcli")};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    pid_t pid;
    const int rc = posix_spawnp(&pid, "nmcli", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipefd[1]);
    if (rc != 0) {
        ::close(pipefd[0]);
        return -1; // no nmcli: no NetworkManager here
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            out.append(buf, size_t(n));
    ::close(pipefd[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// vpn.data takes "key=value" pairs separated by commas: a comma in a value is "\,", a
// backslash "\\".
std::string vpnValue(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == ',')
            out += '\\';
        out += c;
    }
    return out;
}

std::string loginName()
{
    const char *user = std::getenv("USER");
    if (user && *user)
        return user;
    char buf[256];
    return ::getlogin_r(buf, sizeof buf) == 0 ? buf : "root";
}

// The UUID in "Connection 'NAME' (UUID) successfully added."
std::string addedUuid(const std::string &out)
{
    const size_t close = out.rfind(") successfully added");
    const size_t open = close == std::string::npos ? close : out.rfind('(', close);
    return open == std::string::npos ? std::string() : out.substr(open + 1, close - open - 1);
}

// N of "/org/freedesktop/NetworkManager/ActiveConnection/N" in nmcli's output.
HRASCONN activeConnection(const std::string &out)
{
    const std::string marker = "/ActiveConnection/";
    const size_t at = out.rfind(marker);
    if (at == std::string::npos)
        return 0;
    const unsigned long n = std::strtoul(out.c_str() + at + marker.size(), nullptr, 10);
    return n > 0 && n < 0x80000000UL ? HRASCONN(n) : 0;
}

// A failed dial still hands back a handle, as the platform does; it names no connection
// (top bit set, so it can never be an active connection's number).
HRASCONN failedHandle()
{
    static DWORD counter = 0;
    return 0x80000000U | ((DWORD(::getpid()) << 8) & 0x7FFFFF00U) | (++counter & 0xFFU) | 1U;
}

// The fields of one line of nmcli's terse output: split at ':' that no '\' escapes.
std::vector<std::string> terseFields(const std::string &line)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
            fields.back() += line[++i];
        else if (line[i] == ':')
            fields.emplace_back();
        else
            fields.back() += line[i];
    }
    return fields;
}

// A VPN profile named after the entry that the site's administrator provisioned (any VPN
// type: OpenVPN, WireGuard, IPsec...), not the one this library made: its UUID, or empty.
std::string provisionedProfile(const std::string &name, const std::string &ours)
{
    std::string out;
    if (nmcli({"-t", "-f", "NAME,UUID,TYPE", "connection", "show"}, out) != 0)
        return std::string();
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        const std::vector<std::string> f = terseFields(out.substr(at, end - at));
        at = end + 1;
        if (f.size() == 3 && f[0] == name && (f[2] == "vpn" || f[2] == "wireguard") && f[1] != ours)
            return f[1];
    }
    return std::string();
}

// The profile for the entry, created or brought up to date; its UUID, or empty.
std::string profileFor(Entry &entry, const std::string &user)
{
    // The entry's options decide the encryption and the authentication NetworkManager may use.
    const DWORD options = DWORD(std::strtoul(entry.values["Options"].c_str(), nullptr, 10));
    std::string data = "gateway=" + vpnValue(entry.values["PhoneNumber"]) + ", user=" + vpnValue(user)
                       + ", password-flags=2";
    if (options & RASEO_RequireDataEncryption)
        data += ", require-mppe=yes";
    if (options & RASEO_RequireMsEncryptedPw) // MS-CHAP and MS-CHAPv2 only
        data += ", refuse-eap=yes, refuse-pap=yes, refuse-chap=yes";
    std::string out;
    const std::string uuid = entry.values["NetworkManagerUuid"];
    if (!uuid.empty() && nmcli({"connection", "modify", "uuid", uuid, "vpn.data", data}, out) == 0)
        return uuid;
    out.clear();
    if (nmcli({"connection", "add", "type", "vpn", "con-name", entry.name, "vpn-type", "pptp", "connection.autoconnect",
               "no", "connection.permissions", "user:" + loginName(), "vpn.data", data},
              out)
        != 0)
        return std::string();
    return addedUuid(out);
}

// The password goes to nmcli in a file only the user can read, removed afterwards.
std::string passwordFile(const std::string &password)
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string path = std::string(runtime && *runtime ? runtime : "/tmp") + "/vesk-vpn-XXXXXX";
    const int fd = ::mkstemp(path.data()); // 0600
    if (fd < 0)
        return std::string();
    const std::string line = "vpn.secrets.password:" + password + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        return std::string();
    }
    return path;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD RasEnumEntriesA(LPCSTR, LPCSTR, RASENTRYNAMEA *entries, LPDWORD cb,
                                                               LPDWORD count)
{
    trace("RasEnumEntriesA");
    if (!cb || !count)
        return ERROR_INVALID_PARAMETER;
    if (entries && entries->dwSize != sizeof(RASENTRYNAMEA))
        return ERROR_INVALID_SIZE;
    Lock lock;
    const std::vector<Entry> book = readPhonebook();
    const DWORD needed = DWORD(book.size() * sizeof(RASENTRYNAMEA));
    *count = DWORD(book.size());
    if (!entries || *cb < needed) {
        *cb = needed;
        return ERROR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < book.size(); ++i) {
        RASENTRYNAMEA &e = entries[i];
        e.dwSize = sizeof(RASENTRYNAMEA);
        std::memset(e.szEntryName, 0, sizeof e.szEntryName);
        std::memcpy(e.szEntryName, book[i].name.data(), std::min(book[i].name.size(), size_t(RAS_MaxEntryName)));
    }
    *cb = needed;
    return RAS_OK;
}

__attribute__((visibility("default"))) DWORD RasDeleteEntryA(LPCSTR, LPCSTR entry)
{
    trace(std::string("RasDeleteEntryA ") + (entry ? entry : "(null)"));
    if (!entry)
        return ERROR_INVALID_PARAMETER;
    Lock lock;
    std::vector<Entry> book = readPhonebook();
    for (size_t i = 0; i < book.size(); ++i) {
        if (book[i].name != entry)
            continue;
        std::string out;
        const std::string uuid = book[i].values["NetworkManagerUuid"];
        if (!uuid.empty())
            nmcli({"connection", "delete", "uuid", uuid}, out); // gone already is fine
        book.erase(book.begin() + long(i));
        return writePhonebook(book) ? RAS_OK : ERROR_CANNOT_OPEN_PHONEBOOK;
    }
    return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
}

__attribute__((visibility("default"))) DWORD RasSetEntryPropertiesA(LPCSTR, LPCSTR entry, RASENTRYA *p, DWORD cb,
                                                                      void *, DWORD)
{
    trace(std::string("RasSetEntryPropertiesA ") + (entry ? entry : "(null)"));
    if (!entry || !p)
        return ERROR_INVALID_PARAMETER;
    if (p->dwSize != sizeof(RASENTRYA))
        return ERROR_INVALID_SIZE;
    if (cb < sizeof(RASENTRYA))
        return ERROR_BUFFER_TOO_SMALL;
    const std::string name = entry;
    const auto server = field(p->szLocalPhoneNumber, sizeof p->szLocalPhoneNumber);
    const auto type = field(p->szDeviceType, sizeof p->szDeviceType);
    const auto device = field(p->szDeviceName, sizeof p->szDeviceName);
    if (!validName(name))
        return ERROR_INVALID_NAME;
    // A text without its terminating zero inside its field is refused, never read past it.
    if (!server || !type || !device || !storable(*server) || !storable(*type) || !storable(*device))
        return ERROR_INVALID_PARAMETER;
    Lock lock;
    std::vector<Entry> book = readPhonebook();
    Entry *e = find(book, name);
    if (!e) {
        book.push_back({name, {}});
        e = &book.back();
    }
    e->values["PhoneNumber"] = *server;
    e->values["Options"] = std::to_string(p->dwfOptions);
    e->values["FrameSize"] = std::to_string(p->dwFrameSize);
    e->values["FramingProtocol"] = std::to_string(p->dwFramingProtocol);
    e->values["DeviceType"] = *type;
    e->values["DeviceName"] = *device;
    return writePhonebook(book) ? RAS_OK : ERROR_CANNOT_OPEN_PHONEBOOK;
}

__attribute__((visibility("default"))) DWORD RasGetEntryPropertiesA(LPCSTR, LPCSTR entry, RASENTRYA *p, LPDWORD cb,
                                                                      void *, LPDWORD)
{
    if (!entry || !cb)
        return ERROR_INVALID_PARAMETER;
    if (!p || *cb < sizeof(RASENTRYA)) {
        *cb = sizeof(RASENTRYA);
        return ERROR_BUFFER_TOO_SMALL;
    }
    if (p->dwSize != sizeof(RASENTRYA))
        return ERROR_INVALID_SIZE;
    Lock lock;
    std::vector<Entry> book = readPhonebook();
    Entry *e = find(book, entry);
    if (!e)
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    std::memset(p, 0, sizeof *p);
    p->dwSize = sizeof(RASENTRYA);
    auto put = [](char *dst, size_t width, const std::string &s) { std::memcpy(dst, s.data(), std::min(s.size(), width - 1)); };
    put(p->szLocalPhoneNumber, sizeof p->szLocalPhoneNumber, e->values["PhoneNumber"]);
    put(p->szDeviceType, sizeof p->szDeviceType, e->values["DeviceType"]);
    put(p->szDeviceName, sizeof p->szDeviceName, e->values["DeviceName"]);
    p->dwfOptions = DWORD(std::strtoul(e->values["Options"].c_str(), nullptr, 10));
    p->dwFrameSize = DWORD(std::strtoul(e->values["FrameSize"].c_str(), nullptr, 10));
    p->dwFramingProtocol = DWORD(std::strtoul(e->values["FramingProtocol"].c_str(), nullptr, 10));
    *cb = sizeof(RASENTRYA);
    return RAS_OK;
}

__attribute__((visibility("default"))) DWORD RasDialA(void *, LPCSTR, RASDIALPARAMSA *p, DWORD, void *,
                                                        LPHRASCONN connection)
{
    trace(std::string("RasDialA ") + (p ? std::string(p->szEntryName, strnlen(p->szEntryName, sizeof p->szEntryName)) : "(null)"));
    if (!p || !connection)
        return ERROR_INVALID_PARAMETER;
    if (p->dwSize != sizeof(RASDIALPARAMSA))
        return ERROR_INVALID_SIZE;
    const auto name = field(p->szEntryName, sizeof p->szEntryName);
    const auto user = field(p->szUserName, sizeof p->szUserName);
    const auto password = field(p->szPassword, sizeof p->szPassword);
    if (!name || !user || !password || !storable(*user) || !storable(*password))
        return ERROR_INVALID_PARAMETER;
    *connection = failedHandle();
    std::string uuid;
    {
        Lock lock;
        std::vector<Entry> book = readPhonebook();
        Entry *e = find(book, *name);
        if (!e)
            return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
        // A profile the site provisioned is brought up as it stands; only without one is
        // the entry's PPTP profile made.
        const std::string site = provisionedProfile(*name, e->values["NetworkManagerUuid"]);
        if (!site.empty())
            trace("RasDialA uses the provisioned profile " + site);
        uuid = site.empty() ? profileFor(*e, *user) : site;
        if (uuid.empty())
            return ERROR_RASMAN_CANNOT_INITIALIZE; // no NetworkManager, or it refused the profile
        // The provisioned profile stays the site's: deleting the entry leaves it.
        if (site.empty() && e->values["NetworkManagerUuid"] != uuid) {
            e->values["NetworkManagerUuid"] = uuid;
            writePhonebook(book);
        }
    }
    const std::string secrets = passwordFile(*password);
    if (secrets.empty())
        return ERROR_AUTOMATIC_VPN_FAILED;
    std::string out;
    const int rc = nmcli({"--wait", std::to_string(kDialSeconds), "connection", "up", "uuid", uuid, "passwd-file", secrets}, out);
    ::unlink(secrets.c_str());
    if (rc == 8 || rc == -1)
        return ERROR_RASMAN_CANNOT_INITIALIZE;
    if (rc == 3) {
        // Given up waiting (an OpenVPN server retries a wrong password for ever): stop
        // NetworkManager's own attempts too.
        std::string ignored;
        nmcli({"connection", "down", "uuid", uuid}, ignored);
    }
    if (rc != 0)
        return ERROR_AUTOMATIC_VPN_FAILED;
    HRASCONN handle = activeConnection(out);
    if (!handle) {
        out.clear();
        nmcli({"-g", "GENERAL.DBUS-PATH", "connection", "show", "uuid", uuid}, out);
        handle = activeConnection(out);
    }
    if (!handle)
        return ERROR_AUTOMATIC_VPN_FAILED;
    *connection = handle;
    return RAS_OK;
}

__attribute__((visibility("default"))) DWORD RasHangUpA(HRASCONN wide)
{
    const uint32_t connection = uint32_t(wide); // this service's handles are 32 bits
    trace("RasHangUpA " + std::to_string(connection));
    if (connection == 0)
        return ERROR_INVALID_HANDLE;
    if (connection & 0x80000000U)
        return RAS_OK; // a failed dial's handle: nothing is up
    std::string out;
    const int rc = nmcli({"connection", "down", "apath", std::to_string(connection)}, out);
    return rc == 0 ? RAS_OK : ERROR_INVALID_HANDLE;
}

} // extern "C"
