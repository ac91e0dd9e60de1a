// A display of a test's own: Xvfb on a free display number, and on request the openbox
// window manager, both ended with the object. For the behaviour an offscreen window
// cannot show: a window manager's frame, an expose that comes a round trip after the map.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

class TestDisplay {
public:
    TestDisplay() = default;
    ~TestDisplay();
    TestDisplay(const TestDisplay &) = delete;
    TestDisplay &operator=(const TestDisplay &) = delete;

    // Whether Xvfb (and openbox, xprop for a window manager) are installed.
    static bool available(bool windowManager);
    // Starts the server, and the window manager once the server accepts clients; returns
    // the reason on failure, empty on success.
    QString start(bool windowManager);
    // The system's environment with DISPLAY set to this one and Qt on its X platform.
    QProcessEnvironment environment() const { return env; }

private:
    QProcess server, manager;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};
