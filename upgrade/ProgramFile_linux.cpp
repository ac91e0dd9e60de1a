#include "ProgramFile.h"

#include "upgrade/VersionFile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Closes its descriptor when it goes; for the folder, that releases the lock.
class Descriptor {
public:
    ~Descriptor() { close(); }
    void reset(int to)
    {
        close();
        fd = to;
    }
    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Closes it now: false when the close failed (a write's late failure shows there).
    bool close()
    {
        const int was = std::exchange(fd, -1);
        return was < 0 || ::close(was) == 0;
    }

private:
    int fd = -1;
};

// The temporary file: closed and removed when it goes, unless it was moved into place.
class TemporaryFile {
public:
    ~TemporaryFile()
    {
        fd.close();
        if (!ours.isEmpty())
            ::unlink(ours.constData());
    }
    // A file of its own under name, whatever a killed run left there; false when it cannot
    // be had (what stands there then is not removed later).
    bool create(const QByteArray &name)
    {
        ::unlink(name.constData());
        fd.reset(::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0777));
        if (fd.valid())
            ours = name;
        return fd.valid();
    }
    int get() const { return fd.get(); }
    bool close() { return fd.close(); }
    void movedAway() { ours.clear(); }

private:
    QByteArray ours; // the name, while a file of ours stands under it
    Descriptor fd;
};

} // namespace

// Destroyed in reverse: the temporary file goes while the lock is still held.
struct ProgramFile::Held {
    Descriptor folder;
    TemporaryFile file;
};

// One upgrade at a time holds the folder's lock; under it, the temporary file that a
// killed run left behind is simply taken over, so none accumulate.
ProgramFile::ProgramFile(const QString &path)
    : path(path), temporary(temporaryOf(path)), held(std::make_unique<Held>())
{
    refuseUnreplaceable();
    held->folder.reset(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!held->folder.valid() || ::flock(held->folder.get(), LOCK_EX | LOCK_NB) != 0)
        cannotCreate(); // another upgrade is writing here now
    struct stat old{};
    const bool hadOld = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    if (!held->file.create(QFile::encodeName(temporary)))
        cannotCreate();
    // A replaced program keeps its mode, so a private one stays private; it only
    // needs to stay startable by its owner. A new one gets what the umask allows.
    // In a folder shared by a group (setgid, group-writable) the group may also read,
    // start and replace it, whoever of them upgraded last.
    struct stat created{}, dir{};
    const int fd = held->file.get();
    const bool shared = ::fstat(held->folder.get(), &dir) == 0 && (dir.st_mode & S_ISGID) && (dir.st_mode & S_IWGRP);
    mode_t mode = hadOld ? (old.st_mode & 07777) | S_IXUSR
                         : (::fstat(fd, &created) == 0 ? created.st_mode & 07777 : mode_t(0755));
    if (shared)
        mode |= S_IRGRP | S_IWGRP | S_IXGRP;
    if (hadOld || shared)
        ::fchmod(fd, mode);
}

ProgramFile::~ProgramFile() = default;

void ProgramFile::write(const std::vector<QByteArray> &parts)
{
    const int fd = held->file.get();
    for (const QByteArray &part : parts)
        for (qsizetype done = 0; done < part.size();) {
            const ssize_t n = ::write(fd, part.constData() + done, size_t(part.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                notWritten();
            done += n;
        }
    // On disk before it replaces the old program, and the folder synced after, so
    // that Version.txt, written next, never names a program a power cut took back.
    const bool flushed = ::fsync(fd) == 0;
    if (!held->file.close() || !flushed
        || ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0)
        notWritten();
    held->file.movedAway();
    if (::fsync(held->folder.get()) != 0)
        throw FolderNotSynced(path, ioErrorText(errno));
}
