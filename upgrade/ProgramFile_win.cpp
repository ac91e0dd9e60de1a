// On NTFS: the temporary file flushed, then moved over the old program with write-through,
// which the file system journals as one step, so the folder has nothing left to sync. A
// DovaDu.exe that is running cannot be overwritten, but can be renamed: it is moved aside
// under a name of its own, and removed by a later upgrade once nothing runs it.
#include "ProgramFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUuid>
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
    // Closes it now: false when the close failed.
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
        if (!name.empty())
            DeleteFileW(name.c_str());
    }
    // A file of its own under name, whatever a killed run left there.
    bool create(const std::wstring &at)
    {
        DeleteFileW(at.c_str());
        file.reset(CreateFileW(at.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid())
            name = at;
        return file.valid();
    }
    HANDLE get() const { return file.get(); }
    bool close() { return file.close(); }
    void movedAway() { name.clear(); }

private:
    std::wstring name; // empty: nothing of ours to remove
    Handle file;
};

// What earlier upgrades moved aside ("DovaDu.exe.old-…"); one still running stays.
void removeMovedAside(const QString &path)
{
    const QFileInfo program(path);
    const QDir folder = program.absoluteDir();
    for (const QString &name : folder.entryList({program.fileName() + QStringLiteral(".old-*")}, QDir::Files))
        DeleteFileW(native(folder.filePath(name)).c_str());
}

bool move(const QString &from, const QString &to, DWORD flags = 0)
{
    return MoveFileExW(native(from).c_str(), native(to).c_str(), flags | MOVEFILE_WRITE_THROUGH);
}

} // namespace

// Destroyed in reverse: the temporary file goes while the lock is still held.
struct ProgramFile::Held {
    Handle lock;
    TemporaryFile file;
};

// One upgrade at a time holds the folder's lock file open, shared with no one; under it,
// the temporary file that a killed run left behind is simply taken over.
ProgramFile::ProgramFile(const QString &path)
    : path(path), temporary(temporaryOf(path)), held(std::make_unique<Held>())
{
    refuseUnreplaceable();
    held->lock.reset(CreateFileW(native(path + QStringLiteral(".lock")).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
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
    const bool flushed = FlushFileBuffers(file);
    if (!held->file.close() || !flushed)
        notWritten();
    if (!move(temporary, path, MOVEFILE_REPLACE_EXISTING)) {
        // A running program: its file moves aside, the new one takes its name; should that
        // fail, the old one gets its name back, so the folder always has a DovaDu.exe.
        const QString aside = path + QStringLiteral(".old-") + QUuid::createUuid().toString(QUuid::Id128);
        if (!move(path, aside))
            notWritten();
        if (!move(temporary, path)) {
            move(aside, path);
            notWritten();
        }
        DeleteFileW(native(aside).c_str());
    }
    held->file.movedAway();
}
