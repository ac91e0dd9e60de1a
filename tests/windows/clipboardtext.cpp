// Writes the clipboard's text to OUTPUT as UTF-8, for the Wine tests: a message box
// copies its caption and text there on Ctrl+C, as Windows users know, and the test
// reads what the box said. Ends with 1 when the clipboard holds no text.
// Usage: vesk-test-clipboardtext.exe OUTPUT
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    std::string text;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
            if (const auto *w = static_cast<const wchar_t *>(GlobalLock(data))) {
                const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
                text.resize(size_t(n > 0 ? n - 1 : 0));
                if (n > 1)
                    WideCharToMultiByte(CP_UTF8, 0, w, -1, text.data(), n, nullptr, nullptr);
                GlobalUnlock(data);
            }
        }
        CloseClipboard();
    }
    FILE *out = _wfopen(argv[1], L"wb");
    if (!out)
        return 2;
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fclose(out) == 0 && !text.empty() ? 0 : 1;
}
