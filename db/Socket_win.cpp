#include "Socket.h"

#include <algorithm>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

QString systemText(int code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString why = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("socket error %1").arg(code);
    LocalFree(text);
    return why;
}

} // namespace

Socket::Socket(const QString &host, int port, Kind kind, const QDeadlineTimer &deadline)
{
    if (!started) {
        why = QStringLiteral("Windows sockets could not be started");
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == Kind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found)) {
        unknownName = true;
        why = systemText(rc);
        return;
    }
    for (addrinfo *a = found; a && handle < 0; a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            why = systemText(WSAGetLastError());
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        handle = static_cast<long long>(s);
        int error = 0, len = sizeof error;
        if (::connect(s, a->ai_addr, int(a->ai_addrlen)) == 0
            || (WSAGetLastError() == WSAEWOULDBLOCK && waitFor(true, deadline)
                && ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) == 0 && error == 0))
            break;
        why = systemText(error ? error : WSAGetLastError());
        ::closesocket(s);
        handle = -1;
    }
    ::freeaddrinfo(found);
}

Socket::~Socket()
{
    if (handle >= 0)
        ::closesocket(SOCKET(handle));
}

bool Socket::waitFor(bool writing, const QDeadlineTimer &deadline)
{
    // A refused connect shows as an error, not as writable.
    WSAPOLLFD p{SOCKET(handle), short(writing ? POLLWRNORM : POLLRDNORM), 0};
    const int r = WSAPoll(&p, 1, int(std::max<qint64>(0, deadline.remainingTime())));
    return r > 0 && !(writing && (p.revents & (POLLERR | POLLHUP)));
}

bool Socket::send(const char *data, size_t size, const QDeadlineTimer &deadline)
{
    for (size_t at = 0; at < size;) {
        const int k = ::send(SOCKET(handle), data + at, int(std::min<size_t>(size - at, 1 << 20)), 0);
        if (k > 0) {
            at += size_t(k);
        } else if (!(k < 0 && WSAGetLastError() == WSAEWOULDBLOCK && waitFor(true, deadline))) {
            why = k < 0 ? systemText(WSAGetLastError()) : QStringLiteral("timed out");
            return false;
        }
    }
    return true;
}

Socket::Received Socket::receive(char *data, size_t size, size_t &got, const QDeadlineTimer &deadline)
{
    got = 0;
    for (;;) {
        const int k = ::recv(SOCKET(handle), data, int(std::min<size_t>(size, 1 << 20)), 0);
        if (k > 0) {
            got = size_t(k);
            return Received::Data;
        }
        if (k == 0)
            return Received::Closed;
        const int error = WSAGetLastError();
        // Windows reports a datagram's port unreachable as a reset.
        if (error == WSAECONNREFUSED || error == WSAECONNRESET)
            return Received::Refused;
        if (error != WSAEWOULDBLOCK) {
            why = systemText(error);
            return Received::Failed;
        }
        if (!waitFor(false, deadline))
            return Received::TimedOut;
    }
}
