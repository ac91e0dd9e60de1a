// Whether the code under test asked the application to end: such a request is queued
// for the message loop, so a short run of the loop tells.
#pragma once

#include <QCoreApplication>
#include <QTimer>

inline bool applicationEndRequested()
{
    QTimer::singleShot(1000, qApp, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec() == 0;
}
