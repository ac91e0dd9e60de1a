// Failures carry their message text; the silent abort is the one the error box never shows.
#pragma once

#include <QString>
#include <stdexcept>

class Exception : public std::runtime_error {
public:
    explicit Exception(const QString &message)
        : std::runtime_error(message.toStdString()), text(message) {}
    const QString &message() const { return text; }

private:
    QString text;
};

// Raised when the operator stops the upgrade: unwinds like any failure, shown by nobody.
class SilentAbort : public Exception {
public:
    SilentAbort() : Exception(QString()) {}
};
