// The connection string for the site's ODBC driver, built so that no field can add
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

// The ODBC driver the build names (VESK_ODBC_DRIVER): "FreeTDS", or one of Microsoft's,
// such as "SQL Server" or "ODBC Driver 18 for SQL Server".
QString siteOdbcDriver();
// FreeTDS takes its own keywords; every other driver is taken for one of Microsoft's,
// which ask a named instance's port and do the TLS themselves.
bool isFreeTds(const QString &driver);

// Throws Exception when a value cannot be carried (FreeTDS ends a braced value at "};";
// no driver carries a NUL).
QString odbcConnectionString(const DatabaseTarget &target, const QString &driver = siteOdbcDriver());
QString odbcCredentials(const QString &user, const QString &password, const QString &driver = siteOdbcDriver());

// Seconds a login may take before the open gives up.
constexpr int kLoginTimeoutSeconds = 5;
