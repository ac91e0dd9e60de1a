#include "TestDisplay.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QThread>

namespace {

QString tool(const char *name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

} // namespace

TestDisplay::~TestDisplay()
{
    for (QProcess *p : {&manager, &server}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
        }
    }
}

bool TestDisplay::available(bool windowManager)
{
    return !tool("Xvfb").isEmpty() && (!windowManager || (!tool("openbox").isEmpty() && !tool("xprop").isEmpty()));
}

QString TestDisplay::start(bool windowManager)
{
    // Xvfb picks a free display and says which once it accepts clients.
    server.start(tool("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-noreset"),
                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!server.waitForStarted(5000))
        return QStringLiteral("Xvfb did not start");
    QElapsedTimer waited;
    waited.start();
    while (!server.canReadLine() && waited.elapsed() < 20000)
        server.waitForReadyRead(200);
    const QString number = QString::fromLatin1(server.readLine()).trimmed();
    if (number.isEmpty())
        return QStringLiteral("Xvfb named no display");
    env.insert(QStringLiteral("DISPLAY"), u':' + number);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    if (!windowManager)
        return QString();
    manager.setProcessEnvironment(env);
    manager.start(tool("openbox"), {});
    if (!manager.waitForStarted(5000))
        return QStringLiteral("openbox did not start");
    // Until the window manager has announced itself on the root window, so that it frames
    // windows from their first map on.
    for (waited.restart(); waited.elapsed() < 20000; QThread::msleep(100)) {
        QProcess probe;
        probe.setProcessEnvironment(env);
        probe.start(tool("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
        probe.waitForFinished(5000);
        if (probe.readAllStandardOutput().contains("window id"))
            return QString();
    }
    return QStringLiteral("openbox did not start managing the display");
}
