#include "ProgramFile.h"

#include "core/Exceptions.h"
#include "platform/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void cannotCreate(const QString &path)
{
    throw Exception(QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(path)));
}

} // namespace

// One upgrade at a time holds the folder's lock; under it, the temporary file that a
// killed run left behind is simply taken over, so none accumulate.
ProgramFile::ProgramFile(const QString &path)
    : path(path), temporary(path + QStringLiteral(".download")), encoded(QFile::encodeName(temporary))
{
    const QFileInfo existing(path);
    if (existing.exists() && (!existing.isFile() || !existing.isWritable()))
        cannotCreate(path);
    folder = ::open(QFile::encodeName(existing.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || ::flock(folder, LOCK_EX | LOCK_NB) != 0)
        cannotCreate(path); // another upgrade is writing here now
    struct stat old{};
    const bool hadOld = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    ::unlink(encoded.constData());
    fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0777);
    if (fd < 0)
        cannotCreate(path);
    // A replaced program keeps its mode, so a private one stays private; it only
    // needs to stay startable by its owner. A new one gets what the umask allows.
    // In a folder shared by a group (setgid, group-writable) the group may also read,
    // start and replace it, whoever of them upgraded last.
    struct stat created{}, dir{};
    const bool shared = ::fstat(folder, &dir) == 0 && (dir.st_mode & S_ISGID) && (dir.st_mode & S_IWGRP);
    mode_t mode = hadOld ? (old.st_mode & 07777) | S_IXUSR
                         : (::fstat(fd, &created) == 0 ? created.st_mode & 07777 : mode_t(0755));
    if (shared)
        mode |= S_IRGRP | S_IWGRP | S_IXGRP;
    if (hadOld || shared)
        ::fchmod(fd, mode);
}

ProgramFile::~ProgramFile()
{
    if (fd >= 0) {
        ::close(fd);
        ::unlink(encoded.constData());
    }
    if (folder >= 0)
        ::close(folder); // releases the lock
}

void ProgramFile::write(const std::vector<QByteArray> &parts)
{
    for (const QByteArray &part : parts)
        for (qsizetype done = 0; done < part.size();) {
            const ssize_t n = ::write(fd, part.constData() + done, size_t(part.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Exception(QStringLiteral("Stream write error"));
            done += n;
        }
    // On disk before it replaces the old program, and the folder synced after, so
    // that Version.txt, written next, never names a program a power cut took back.
    const bool flushed = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (!flushed || !closed || replaceFile(temporary, path) != 0) {
        ::unlink(encoded.constData());
        throw Exception(QStringLiteral("Stream write error"));
    }
}
