// A socket to one host and port, every wait bounded by a deadline: what the instance
// lookup (UDP) and the encryption check (TCP) ask of the system's sockets.
#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <cstddef>

class Socket {
public:
    enum class Kind { Stream, Datagram };
    enum class Received { Data, TimedOut, Refused, Closed, Failed };

    // Connects to the first of the host's addresses that takes it; a datagram socket only
    // sets its peer. ok() says whether it did, error() why not.
    Socket(const QString &host, int port, Kind kind, const QDeadlineTimer &deadline);
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool ok() const { return handle >= 0; }
    // The host's name was not found (else the failure was the connect).
    bool nameUnknown() const { return unknownName; }
    // Why the last step failed, in the system's words.
    QString error() const { return why; }

    // Sends all of the bytes before the deadline.
    bool send(const char *data, size_t size, const QDeadlineTimer &deadline);
    // Waits for bytes until the deadline and takes what came, at most size of them.
    // Refused: a datagram's peer has no one listening on its port.
    Received receive(char *data, size_t size, size_t &got, const QDeadlineTimer &deadline);
    // Reads exactly size bytes before the deadline.
    bool receiveAll(char *data, size_t size, const QDeadlineTimer &deadline);

private:
    bool waitFor(bool writing, const QDeadlineTimer &deadline);
    long long handle = -1;
    bool unknownName = false;
    QString why;
};
