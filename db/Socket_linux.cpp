#include "Socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemText(int code)
{
    return QString::fromLocal8Bit(strerror(code));
}

} // namespace

Socket::Socket(const QString &host, int port, Kind kind, const QDeadlineTimer &deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == Kind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found)) {
        unknownName = true;
        why = QString::fromLocal8Bit(gai_strerror(rc));
        return;
    }
    for (addrinfo *a = found; a && handle < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            why = systemText(errno);
            continue;
        }
        handle = fd;
        int error = 0;
        socklen_t len = sizeof error;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0
            || (errno == EINPROGRESS && waitFor(true, deadline)
                && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0))
            break;
        why = systemText(error ? error : errno);
        ::close(fd);
        handle = -1;
    }
    ::freeaddrinfo(found);
}

Socket::~Socket()
{
    if (handle >= 0)
        ::close(int(handle));
}

bool Socket::waitFor(bool writing, const QDeadlineTimer &deadline)
{
    pollfd p{int(handle), short(writing ? POLLOUT : POLLIN), 0};
    int r;
    do
        r = ::poll(&p, 1, int(std::max<qint64>(0, deadline.remainingTime())));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

bool Socket::send(const char *data, size_t size, const QDeadlineTimer &deadline)
{
    for (size_t at = 0; at < size;) {
        const ssize_t k = ::send(int(handle), data + at, size - at, MSG_NOSIGNAL);
        if (k > 0) {
            at += size_t(k);
        } else if (!(k < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(true, deadline))) {
            why = k < 0 ? systemText(errno) : QStringLiteral("timed out");
            return false;
        }
    }
    return true;
}

Socket::Received Socket::receive(char *data, size_t size, size_t &got, const QDeadlineTimer &deadline)
{
    got = 0;
    for (;;) {
        const ssize_t k = ::recv(int(handle), data, size, 0);
        if (k > 0) {
            got = size_t(k);
            return Received::Data;
        }
        if (k == 0)
            return Received::Closed;
        if (errno == ECONNREFUSED)
            return Received::Refused;
        if (errno != EAGAIN && errno != EINTR) {
            why = systemText(errno);
            return Received::Failed;
        }
        if (!waitFor(false, deadline))
            return Received::TimedOut;
    }
}
