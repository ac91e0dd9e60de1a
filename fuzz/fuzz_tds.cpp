// The stand-in's reading of what a client sends: packets, PRELOGIN and LOGIN7, over a
// real socket. No login is configured, so nothing a fuzzer makes up runs as SQL.
#include "session.h"

#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ServerConfig cfg;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    const int big = 1 << 22;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::send(pair[0], data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    ::shutdown(pair[0], SHUT_WR);
    {
        Session session(pair[1], cfg);
        session.run();
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
