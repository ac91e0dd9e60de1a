// Reads keys of HKEY_CURRENT_USER back through the registry API, for the Wine tests: for
// each key named, a line "[KEY]", then "name=value" for each value in the order the
// registry lists them (texts as UTF-8, numbers in decimal, other kinds as "(type N)"),
// or "(no key)". Written to OUTPUT, since a Windows program's output does not reliably
// reach the Unix pipe of the test that started it.
// Usage: vesk-test-readsettings.exe OUTPUT KEY...
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t *w, int length)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, length, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, length, s.data(), n, nullptr, nullptr);
    return s;
}

void dump(FILE *out, const wchar_t *path)
{
    std::fprintf(out, "[%s]\n", utf8(path, -1).c_str());
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::fprintf(out, "(no key)\n");
        return;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        BYTE data[65536];
        DWORD nameLength = 16384, size = sizeof data - sizeof(wchar_t), type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::string value;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            const auto *chars = reinterpret_cast<const wchar_t *>(data);
            int n = 0;
            while (n < int(size / sizeof(wchar_t)) && chars[n] != 0)
                ++n;
            value = utf8(chars, n);
        } else if (type == REG_DWORD && size == 4) {
            value = std::to_string(*reinterpret_cast<const DWORD *>(data));
        } else {
            value = "(type " + std::to_string(type) + ")";
        }
        std::fprintf(out, "%s=%s\n", utf8(name, int(nameLength)).c_str(), value.c_str());
    }
    RegCloseKey(key);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: vesk-test-readsettings OUTPUT KEY...\n");
        return 2;
    }
    FILE *out = _wfopen(argv[1], L"wb");
    if (!out)
        return 1;
    for (int i = 2; i < argc; ++i)
        dump(out, argv[i]);
    return std::fclose(out) == 0 ? 0 : 1;
}
