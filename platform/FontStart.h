// Whatever the machine's font configuration needs before the first text can be measured,
// begun beside the application's start.
#pragma once

#include <thread>

class FontStart {
public:
    FontStart();
    ~FontStart() { wait(); }
    FontStart(const FontStart &) = delete;
    FontStart &operator=(const FontStart &) = delete;
    // Over once this returns.
    void wait();

private:
    std::thread reading;
};
