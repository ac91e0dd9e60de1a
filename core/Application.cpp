#include "Application.h"

#include <QCoreApplication>
#include <QDir>

QString programDirectory()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + u'/');
}

void requestApplicationEnd()
{
    // Takes effect once the running handler has returned to the message loop.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}
