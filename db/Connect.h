// Opening a connection from the fields of the login window's database page.
#pragma once

#include "db/SqlConnection.h"

#include <vector>

// Closes the connection, points it at the target and opens it with the account, which
// the connection does not keep. True when it is open afterwards; a failure of the open
// is swallowed. A field the driver cannot carry is refused with an Exception before
// anything is closed, so that it reaches the error box rather than passing for a plain
// connection failure.
bool connectDatabase(SqlConnection &connection, const DatabaseTarget &target, const QString &user,
                     const QString &password);

struct ConnectRequest {
    SqlConnection *connection;
    DatabaseTarget target;
};
// connectDatabase for each, in the order given, but their opens overlapping in time. Where
// one's fields cannot be carried, those before it are connected, and its Exception is
// thrown only if they all opened: as one after the other, whose first failure ends it.
std::vector<bool> connectDatabases(const std::vector<ConnectRequest> &requests, const QString &user,
                                   const QString &password);
