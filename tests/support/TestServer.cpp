#include "TestServer.h"

#include <QFile>

const QString TestServer::login = QStringLiteral("VeskLogin");
const QString TestServer::password = QStringLiteral("p;w}d'x{y");

QString TestServer::standardSchema()
{
    return QStringLiteral(
        "USE VeskDB\n"
        "CREATE TABLE aUser (UserID varchar(50) NOT NULL PRIMARY KEY, PassWord varchar(50) NULL, Memo nvarchar(100) NULL);\n"
        "CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);\n"
        "CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);\n");
}

TestServer::TestServer(const QString &script, const QStringList &extraArgs)
{
    QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), dir.path(),
                     QStringLiteral("--database"), QStringLiteral("VeskDB"), QStringLiteral("--database"),
                     QStringLiteral("Voruvidi"), QStringLiteral("--login"), login + u':' + password,
                     QStringLiteral("--exit-with-parent")};
    if (!script.isEmpty()) {
        QFile f(dir.filePath(QStringLiteral("script.sql")));
        f.open(QIODevice::WriteOnly);
        f.write(script.toUtf8());
        f.close();
    }
    startArgs = args + extraArgs;
    if (!script.isEmpty())
        args << QStringLiteral("--script") << dir.filePath(QStringLiteral("script.sql"));
    start(args + extraArgs);
}

bool TestServer::start(const QStringList &args)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(VESK_DBSERVER), args);
    if (!process.waitForStarted(5000) || !process.waitForReadyRead(10000)) {
        errorText = QStringLiteral("the server did not start (see its messages above)");
        return false;
    }
    while (!process.canReadLine() && process.waitForReadyRead(5000)) {
    }
    port_ = process.readLine().trimmed().toInt();
    if (port_ <= 0)
        errorText = QStringLiteral("the server did not start (see its messages above)");
    return port_ > 0;
}

bool TestServer::restart()
{
    stop();
    QStringList args = startArgs;
    args[1] = QString::number(port_); // after "--port"
    return start(args);
}

TestServer::~TestServer()
{
    stop();
}

void TestServer::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
}
