// The TCP port of a named SQL Server instance, asked of the server's instance browser.
#pragma once

#include <QString>

// Asks the SQL Server Browser on host (UDP port browserPort, 1434 on every SQL Server
// host) for the TCP port of instance, waiting at most timeoutMs in all, the name lookup
// of the host included. Throws Exception with the reason when no answer names a port.
int instancePort(const QString &host, const QString &instance, int timeoutMs, int browserPort = 1434);
