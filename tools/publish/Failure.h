// The publisher's failures and the exit status each class of them ends it with.
#pragma once

#include <QString>

enum Status {
    Ok = 0,
    Other = 1,
    Usage = 2,
    ProgramUnreadable = 3,
    CannotConnect = 4,
    DatabaseFailed = 5,
    Damaged = 6,
};

class Failure {
public:
    Failure(Status status, QString message) : status(status), message(std::move(message)) {}
    Status status;
    QString message;
};

[[noreturn]] inline void fail(Status status, const QString &message)
{
    throw Failure(status, message);
}
