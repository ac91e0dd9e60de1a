#include "AtomicFile.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int writeFileAtomically(const QString &path, const QByteArray &content, int mode)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray pattern = target + ".tmpXXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return errno;
    auto fail = [&](int code) {
        ::close(fd);
        ::unlink(pattern.constData());
        return code;
    };
    struct stat st{};
    if (mode < 0)
        mode = ::stat(target.constData(), &st) == 0 ? int(st.st_mode & 07777) : 0644;
    ::fchmod(fd, mode_t(mode));
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : ENOSPC);
        done += n;
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(pattern.constData());
        return code;
    }
    if (const int code = replaceFile(QFile::decodeName(pattern), path)) {
        ::unlink(pattern.constData());
        return code;
    }
    return 0;
}

int syncDirectory(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return rc;
}

int replaceFile(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return errno;
    return syncDirectory(QFileInfo(to).absolutePath());
}

int readWholeFile(const QString &path, QByteArray &content)
{
    return readFileStart(path, content, -1);
}

int readFileStart(const QString &path, QByteArray &content, qsizetype most)
{
    content.clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buf[65536];
    while (most < 0 || content.size() < most) {
        const size_t want = most < 0 ? sizeof buf : size_t(std::min<qsizetype>(qsizetype(sizeof buf), most - content.size()));
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return code;
        }
        if (n == 0)
            break;
        content.append(buf, n);
    }
    ::close(fd);
    return 0;
}
