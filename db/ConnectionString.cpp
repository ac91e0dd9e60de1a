#include "ConnectionString.h"

#include "core/Exceptions.h"

namespace {

// FreeTDS reads {value} up to the first "}" that a ";" follows, and does not undouble
// "}}", so a value is carried as it stands unless it holds "};" or a NUL.
QString braced(const QString &what, const QString &value)
{
    if (value.contains(QLatin1String("};")) || value.contains(QChar(u'\0')))
        throw Exception(QStringLiteral("%1 cannot contain \"};\" or a NUL character").arg(what));
    return u'{' + value + QStringLiteral("};");
}

} // namespace

QString odbcConnectionString(const DatabaseTarget &target)
{
    return QStringLiteral("DRIVER={FreeTDS};SERVER=") + braced(QStringLiteral("The database server"), target.server)
         + QStringLiteral("DATABASE=") + braced(QStringLiteral("The database name"), target.database)
         + QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;TextSize=2147483647;");
}

QString odbcCredentials(const QString &user, const QString &password)
{
    return QStringLiteral("UID=") + braced(QStringLiteral("The database user name"), user)
         + QStringLiteral("PWD=") + braced(QStringLiteral("The database password"), password);
}
