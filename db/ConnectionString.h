// The connection string for the FreeTDS ODBC driver, built so that no field can add
// attributes of its own.
#pragma once

#include "db/TransportSecurity.h"

#include <QString>

struct DatabaseTarget {
    QString server;   // "host", "host,port" or "host\instance", as typed
    QString database;
    TransportSecurity security = siteSecurity();
};

// The server as SQL Server users type it, in the parts the driver takes separately.
struct ServerAddress {
    QString server; // the host, or host\instance (the driver asks the instance's port)
    QString port;   // empty for an instance
};
// "host,port", "host" (SQL Server's port 1433) or "host\instance". Throws Exception for
// a port that is not a number from 1 to 65535.
ServerAddress parseServerName(const QString &typed);

// Throws Exception when a value cannot be carried (FreeTDS ends a braced value at "};").
QString odbcConnectionString(const DatabaseTarget &target);
QString odbcCredentials(const QString &user, const QString &password);

// Seconds a login may take before the open gives up.
constexpr int kLoginTimeoutSeconds = 5;
