// A Linux tool of the host, for a test under Wine. Wine starts a Linux program detached:
// the test would get no handle to wait on, no exit status and none of its output. So the
// test starts this Windows program in the tool's place; it has host-tool.sh run the tool
// with its output in files of a folder of its own, passes that output on as it comes,
// and ends with the tool's status. Asked to end (QProcess::terminate posts WM_CLOSE to
// its thread), it has the tool stopped first. HOST_TOOL and HOST_SCRIPT are Unix paths.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// One argument as the command line's reader splits it again.
std::wstring quoted(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies what the file has gained since offset to the handle.
void pass(const std::wstring &path, LONGLONG &offset, HANDLE to)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    char buf[65536];
    DWORD n = 0, written = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) {
        WriteFile(to, buf, n, &written, nullptr);
        offset += n;
    }
    CloseHandle(f);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue, for WM_CLOSE
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"vesk-host-" + std::to_wstring(GetCurrentProcessId()) + L"-"
                             + std::to_wstring(GetTickCount64());
    if (!CreateDirectoryW(dir.c_str(), nullptr)) {
        std::fwprintf(stderr, L"host-run: cannot make %ls\n", dir.c_str());
        return 127;
    }
    std::wstring line = L"/bin/bash " + quoted(L"" HOST_SCRIPT) + L" " + quoted(dir) + L" " + quoted(L"" HOST_TOOL);
    for (int i = 1; i < argc; ++i)
        line += L" " + quoted(argv[i]);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fwprintf(stderr, L"host-run: cannot start %ls (error %lu)\n", L"" HOST_TOOL, GetLastError());
        return 127;
    }
    const std::wstring out = dir + L"\\out", err = dir + L"\\err", status = dir + L"\\status";
    LONGLONG outAt = 0, errAt = 0;
    bool stopping = false;
    for (;;) {
        const bool ended = exists(status);
        pass(out, outAt, GetStdHandle(STD_OUTPUT_HANDLE));
        pass(err, errAt, GetStdHandle(STD_ERROR_HANDLE));
        if (ended)
            break;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            if (msg.message == WM_CLOSE && !stopping) {
                stopping = true;
                CloseHandle(CreateFileW((dir + L"\\stop").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            }
        Sleep(10);
    }
    int code = 1;
    if (FILE *f = _wfopen(status.c_str(), L"r")) {
        if (std::fscanf(f, "%d", &code) != 1)
            code = 1;
        std::fclose(f);
    }
    for (const wchar_t *name : {L"\\out", L"\\err", L"\\status", L"\\stop"})
        DeleteFileW((dir + name).c_str());
    RemoveDirectoryW(dir.c_str());
    return code;
}
