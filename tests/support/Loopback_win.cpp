#include "Loopback.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {
const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
}

LoopbackListener::LoopbackListener()
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (!started || s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
        || ::listen(s, 8) != 0 || ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (s != INVALID_SOCKET)
            ::closesocket(s);
        return;
    }
    socket_ = static_cast<long long>(s);
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener()
{
    if (socket_ >= 0)
        ::closesocket(SOCKET(socket_));
}

bool LoopbackListener::knocked() const
{
    if (socket_ < 0)
        return false;
    WSAPOLLFD p{SOCKET(socket_), POLLRDNORM, 0};
    return WSAPoll(&p, 1, 0) == 1;
}

int closedPort()
{
    return LoopbackListener().port();
}
