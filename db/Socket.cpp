#include "Socket.h"

bool Socket::receiveAll(char *data, size_t size, const QDeadlineTimer &deadline)
{
    for (size_t got = 0; size > 0; data += got, size -= got)
        if (receive(data, size, got, deadline) != Received::Data)
            return false;
    return true;
}
