// Whether the code under test asked the application to end: such a request is queued
// for the message loop, so a short run of the loop tells.
#pragma once

#include <QCoreApplication>
#include <QTimer>

// Runs the loop until it is ended, or for at most ms; the exit code, 99 for the guard.
inline int runLoopAtMost(int ms)
{
    // Owned here, so the guard dies with this call and never fires in a later test.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(ms);
    return QCoreApplication::exec();
}

inline bool applicationEndRequested()
{
    return runLoopAtMost(1000) == 0;
}
