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

// The message as the error box shows it: a "." is added after a last character that
// compares greater than "." byte by byte in the ANSI code page (letters, digits,
// every double-byte character), not after ".", a space or other low punctuation.
QString errorBoxText(const QString &message);
