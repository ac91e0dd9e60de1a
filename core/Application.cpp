#include "Application.h"

#include <QCoreApplication>
#include <QDir>

QString programDirectory()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + u'/');
}

void requestApplicationEnd()
{
    // Takes effect once the running handler has returned to the message loop. exit(),
    // unlike quit(), sends no window a close request on the way out.
    QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}
