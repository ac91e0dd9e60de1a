// The demo's Windows main client program, run by the launcher under Wine: shows the
// operator, the VPN handle and its command line, and whether its settings key was there
// when it started (the launcher deletes it after every upgrade); then makes the key anew.
#include <windows.h>
#include <shellapi.h>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int words = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &words);
    std::wstring parameters;
    for (int i = 1; argv && i < words; ++i)
        parameters += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    const size_t colon = parameters.rfind(L':');
    const std::wstring name = colon == std::wstring::npos ? parameters : parameters.substr(0, colon);
    const std::wstring handle = colon == std::wstring::npos ? L"" : parameters.substr(colon + 1);
    HKEY key;
    const bool had = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Dovadu", 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (had)
        RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Dovadu\\Windows", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
    const std::wstring text = L"Operator: " + name + L"\nVPN handle: " + handle + L"\nCommand line: "
                              + GetCommandLineW() + L"\n\nSettings key HKCU\\Software\\Dovadu at the start: "
                              + (had ? L"present (this version ran before)"
                                     : L"absent (removed after the upgrade, or the first start)");
    MessageBoxW(nullptr, text.c_str(), L"DovaDu (Windows, under Wine)", MB_OK | MB_ICONINFORMATION);
    LocalFree(argv);
    return 0;
}
