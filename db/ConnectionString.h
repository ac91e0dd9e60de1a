// The connection string for the FreeTDS ODBC driver, built so that no field can add
// attributes of its own.
#pragma once

#include <QString>

struct DatabaseTarget {
    QString server;   // "host", "host,port" or "host\instance", as typed
    QString database;
};

// Throws Exception when a value cannot be carried (FreeTDS ends a braced value at "};").
QString odbcConnectionString(const DatabaseTarget &target);
QString odbcCredentials(const QString &user, const QString &password);

// Seconds a login may take before the open gives up.
constexpr int kLoginTimeoutSeconds = 5;
