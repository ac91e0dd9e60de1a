#include "KeyPrivacy.h"

#include <QFile>
#include <sys/stat.h>

QString modeOthersMayRead(const QString &file)
{
    struct stat st{};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0 || !(st.st_mode & (S_IRWXG | S_IRWXO)))
        return QString();
    return QStringLiteral("%1").arg(st.st_mode & 0777, 3, 8, QChar(u'0'));
}
