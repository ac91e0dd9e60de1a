// The same replacements on NTFS: the temporary file flushed, then moved over the old one
// with write-through, which NTFS journals as one step. A folder has nothing to sync there.
#include "AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <windows.h>

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The callers tell failures apart by errno, as they read the Linux build's.
int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: case ERROR_BAD_PATHNAME: case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE: return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

int lastErrno()
{
    return errnoOf(GetLastError());
}

} // namespace

int writeFileAtomically(const QString &path, const QByteArray &content, int)
{
    const QString temporary = path + QStringLiteral(".tmp") + QUuid::createUuid().toString(QUuid::Id128).left(8);
    const std::wstring name = native(temporary);
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastErrno();
    int rc = 0;
    for (qsizetype done = 0; done < content.size() && rc == 0;) {
        DWORD n = 0;
        const DWORD want = DWORD(std::min<qsizetype>(content.size() - done, 1 << 20));
        if (!WriteFile(file, content.constData() + done, want, &n, nullptr))
            rc = lastErrno();
        else if (n == 0)
            rc = ENOSPC;
        done += n;
    }
    if (rc == 0 && !FlushFileBuffers(file))
        rc = lastErrno();
    CloseHandle(file);
    if (rc == 0)
        rc = replaceFile(temporary, path);
    if (rc != 0)
        DeleteFileW(name.c_str());
    return rc;
}

int syncDirectory(const QString &)
{
    return 0;
}

int replaceFile(const QString &from, const QString &to)
{
    if (!MoveFileExW(native(from).c_str(), native(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return lastErrno();
    return 0;
}

int readWholeFile(const QString &path, QByteArray &content)
{
    return readFileStart(path, content, -1);
}

int readFileStart(const QString &path, QByteArray &content, qsizetype most)
{
    content.clear();
    HANDLE file = CreateFileW(native(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastErrno();
    char buf[65536];
    int rc = 0;
    while (most < 0 || content.size() < most) {
        const DWORD want = most < 0 ? sizeof buf : DWORD(std::min<qsizetype>(qsizetype(sizeof buf), most - content.size()));
        DWORD n = 0;
        if (!ReadFile(file, buf, want, &n, nullptr)) {
            rc = lastErrno();
            break;
        }
        if (n == 0)
            break;
        content.append(buf, n);
    }
    CloseHandle(file);
    return rc;
}
