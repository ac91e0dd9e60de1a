// Types TEXT into the window that has the keyboard focus, as Windows delivers what an input
// method commits: one VK_PACKET key per UTF-16 unit (SendInput with KEYEVENTF_UNICODE), so a
// Chinese name arrives as the characters themselves, whatever the keyboard's layout.
// Usage: vesk-test-typetext.exe TEXT
#include <windows.h>

#include <vector>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    std::vector<INPUT> keys;
    for (const wchar_t *c = argv[1]; *c; ++c)
        for (const DWORD up : {DWORD(0), DWORD(KEYEVENTF_KEYUP)}) {
            INPUT in{};
            in.type = INPUT_KEYBOARD;
            in.ki.wScan = *c;
            in.ki.dwFlags = KEYEVENTF_UNICODE | up;
            keys.push_back(in);
        }
    const UINT sent = SendInput(UINT(keys.size()), keys.data(), sizeof(INPUT));
    return sent == keys.size() ? 0 : 1;
}
