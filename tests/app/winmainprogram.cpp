// A stand-in Windows main client program, run under Wine. Started with --make-settings it
// makes its settings key (a value and a subkey) as the real one does and ends; with
// --hold FILE it runs, as an operator's open program does, until FILE exists; otherwise it
// records, in started.txt beside itself (UTF-8, one item a line), its working directory,
// its command line as Windows gives it, its words, and whether its settings key exists.
#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t *w)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n - 1 : 0), '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

bool keyExists()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Dovadu", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 2 && std::wstring(argv[1]) == L"--make-settings") {
        HKEY key, sub;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Dovadu\\Windows", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return 1;
        RegSetValueExW(key, L"Left", 0, REG_SZ, reinterpret_cast<const BYTE *>(L"10"), 6);
        RegCreateKeyExW(key, L"Main", 0, nullptr, 0, KEY_WRITE, nullptr, &sub, nullptr);
        RegCloseKey(sub);
        RegCloseKey(key);
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"--hold") {
        while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES)
            Sleep(50);
        return 0;
    }
    wchar_t self[MAX_PATH], cwd[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring dir(self);
    dir = dir.substr(0, dir.find_last_of(L'\\') + 1);
    const std::wstring part = dir + L"started.txt.part";
    FILE *f = _wfopen(part.c_str(), L"wb");
    if (!f)
        return 1;
    std::fprintf(f, "%s\n%s\n", utf8(cwd).c_str(), utf8(GetCommandLineW()).c_str());
    int words = 0;
    if (wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &words)) {
        for (int i = 1; i < words; ++i)
            std::fprintf(f, "%s\n", utf8(w[i]).c_str());
        LocalFree(w);
    }
    std::fprintf(f, "settings key %s\n", keyExists() ? "present" : "absent");
    std::fclose(f);
    return MoveFileExW(part.c_str(), (dir + L"started.txt").c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
