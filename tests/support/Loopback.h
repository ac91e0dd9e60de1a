// TCP ports on loopback for tests: one nothing listens on, and one a test listens on to
// see whether anything knocked.
#pragma once

// A free TCP port on loopback that nothing listens on.
int closedPort();

class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;
    // 0 when it could not listen.
    int port() const { return port_; }
    // Whether a connection has come in and waits to be taken.
    bool knocked() const;

private:
    long long socket_ = -1;
    int port_ = 0;
};
