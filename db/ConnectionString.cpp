#include "ConnectionString.h"

#include "core/Exceptions.h"

#include <algorithm>

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

ServerAddress parseServerName(const QString &typed)
{
    // Given "host,port" whole, FreeTDS puts the text with a NUL for the comma into the
    // login's server-name field, which SQL Server refuses; a bare host has no port in
    // Debian's FreeTDS configuration. So the parts go to the driver one by one.
    const qsizetype comma = typed.indexOf(u',');
    if (comma >= 0) {
        const QString port = typed.mid(comma + 1);
        bool ok = false;
        const int number = port.toInt(&ok);
        const bool digitsOnly = !port.isEmpty()
                                && std::all_of(port.begin(), port.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digitsOnly || number < 1 || number > 65535)
            throw Exception(QStringLiteral("The port of the database server \"%1\" must be a number from 1 to 65535")
                                .arg(typed));
        return {typed.left(comma), QString::number(number)};
    }
    if (typed.contains(u'\\'))
        return {typed, QString()};
    return {typed, QStringLiteral("1433")};
}

QString odbcConnectionString(const DatabaseTarget &target)
{
    const ServerAddress address = parseServerName(target.server);
    QString text = target.security.mode == Encryption::Verify
                       ? QStringLiteral("DRIVER={FreeTDS};SERVERNAME={%1};")
                             .arg(verifiedSection(target.security, address.server, address.port.toInt()))
                       : QStringLiteral("DRIVER={FreeTDS};SERVER=") + braced(QStringLiteral("The database server"), address.server);
    if (!address.port.isEmpty())
        text += QStringLiteral("PORT=") + braced(QStringLiteral("The database server's port"), address.port);
    // Verify is Require to the driver, and the CA file reaches it by its configuration.
    // No TextSize: FreeTDS would send it as a statement of its own after the login, a round
    // trip for nothing, since its login asks for the ODBC defaults, under which the server
    // sends text and image values whole.
    const Encryption mode = target.security.mode == Encryption::Verify ? Encryption::Require : target.security.mode;
    return text + QStringLiteral("DATABASE=") + braced(QStringLiteral("The database name"), target.database)
         + QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;Encryption=") + encryptionName(mode) + u';';
}

QString odbcCredentials(const QString &user, const QString &password)
{
    return QStringLiteral("UID=") + braced(QStringLiteral("The database user name"), user)
         + QStringLiteral("PWD=") + braced(QStringLiteral("The database password"), password);
}
