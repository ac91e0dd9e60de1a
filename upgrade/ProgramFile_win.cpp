// The same on Windows. The folder's lock is a file beside the program held open without
// sharing and gone with its handle. A running DovaDu.exe cannot be replaced, but it can be
// renamed: it is moved aside, keeps running, and a later upgrade removes it once it ended.
#include "ProgramFile.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <utility>
#include <windows.h>

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Closes its handle when it goes.
class Handle {
public:
    ~Handle() { close(); }
    void reset(HANDLE to)
    {
        close();
        h = to;
    }
    HANDLE get() const { return h; }
    bool valid() const { return h != INVALID_HANDLE_VALUE; }
    bool close()
    {
        const HANDLE was = std::exchange(h, INVALID_HANDLE_VALUE);
        return was == INVALID_HANDLE_VALUE || CloseHandle(was);
    }

private:
    HANDLE h = INVALID_HANDLE_VALUE;
};

// The temporary file: closed and removed when it goes, unless it was moved into place.
class TemporaryFile {
public:
    ~TemporaryFile()
    {
        file.close();
        if (!ours.empty())
            DeleteFileW(ours.c_str());
    }
    bool create(const std::wstring &name)
    {
        DeleteFileW(name.c_str());
        file.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid())
            ours = name;
        return file.valid();
    }
    HANDLE get() const { return file.get(); }
    bool close() { return file.close(); }
    void movedAway() { ours.clear(); }

private:
    std::wstring ours;
    Handle file;
};

QString asidePattern(const QString &path)
{
    return path + QStringLiteral(".running-*");
}

// Programs an earlier upgrade moved aside; those still running stay.
void removeMovedAside(const QString &path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(native(asidePattern(path)).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    const QString folder = QFileInfo(path).absolutePath() + u'/';
    do
        DeleteFileW(native(folder + QString::fromWCharArray(found.cFileName)).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
}

bool inUse(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

} // namespace

// Destroyed in reverse: the temporary file goes while the lock is still held.
struct ProgramFile::Held {
    Handle lock;
    TemporaryFile file;
};

ProgramFile::ProgramFile(const QString &path)
    : path(path), temporary(temporaryOf(path)), held(std::make_unique<Held>())
{
    refuseUnreplaceable();
    held->lock.reset(CreateFileW(native(path + QStringLiteral(".lock")).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!held->lock.valid())
        cannotCreate(); // another upgrade is writing here now
    removeMovedAside(path);
    if (!held->file.create(native(temporary)))
        cannotCreate();
}

ProgramFile::~ProgramFile() = default;

void ProgramFile::write(const std::vector<QByteArray> &parts)
{
    const HANDLE file = held->file.get();
    for (const QByteArray &part : parts)
        for (qsizetype done = 0; done < part.size();) {
            DWORD n = 0;
            const DWORD want = DWORD(std::min<qsizetype>(part.size() - done, 1 << 20));
            if (!WriteFile(file, part.constData() + done, want, &n, nullptr) || n == 0)
                notWritten();
            done += n;
        }
    // On disk before it replaces the old program; NTFS journals the move itself.
    const bool flushed = FlushFileBuffers(file);
    if (!held->file.close() || !flushed)
        notWritten();
    const std::wstring from = native(temporary), to = native(path);
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (!inUse(GetLastError()))
            notWritten();
        const std::wstring aside =
            native(QStringLiteral("%1.running-%2").arg(path).arg(GetTickCount64(), 0, 16));
        if (!MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH))
            notWritten();
        if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
            MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
            notWritten();
        }
    }
    held->file.movedAway();
}
