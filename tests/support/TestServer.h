// Starts the stand-in SQL Server for one test, on a free loopback port, and stops it after.
#pragma once

#include "Loopback.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class TestServer {
public:
    static const QString login;
    static const QString password;

    // extraArgs: more options, such as --close-after or --delay.
    explicit TestServer(const QString &script = QString(), const QStringList &extraArgs = {});
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    bool ok() const { return port_ > 0; }
    // Stops the server, as a server that goes away does, and starts it again on the same
    // port and data; true when it listens again.
    void stop();
    bool restart();
    QString errors() const { return errorText; }
    int port() const { return port_; }
    QString server() const { return QStringLiteral("127.0.0.1,%1").arg(port_); }
    QString dataDir() const { return dir.path(); }

    // Demo-like tables: aUser, BVersion, CopyRight in VeskDB; Voruvidi empty.
    static QString standardSchema();

private:
    bool start(const QStringList &args);
    QTemporaryDir dir;
    QStringList startArgs; // without the script, which ran at the first start
    QProcess process;
    int port_ = 0;
    QString errorText;
};
