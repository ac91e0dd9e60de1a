#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackListener::LoopbackListener()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    socket_ = fd;
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener()
{
    if (socket_ >= 0)
        ::close(int(socket_));
}

bool LoopbackListener::knocked() const
{
    pollfd p{int(socket_), POLLIN, 0};
    return socket_ >= 0 && ::poll(&p, 1, 0) == 1;
}

int closedPort()
{
    return LoopbackListener().port();
}
