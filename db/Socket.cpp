#include "Socket.h"

bool Socket::receiveAll(char *data, size_t size, const QDeadlineTimer &deadline)
{
    // A peer that keeps sending never makes a receive wait: the deadline is looked at on
    // every turn.
    for (size_t got = 0; size > 0; data += got, size -= got)
        if (deadline.hasExpired() || receive(data, size, got, deadline) != Received::Data)
            return false;
    return true;
}
