#include "ConnectionString.h"

#include "core/Exceptions.h"

#include <QRegularExpression>
#include <algorithm>

namespace {

// FreeTDS reads {value} up to the first "}" that a ";" follows, and does not undouble
// "}}", so a value is carried as it stands unless it holds "};" or a NUL.
QString bracedForFreeTds(const QString &what, const QString &value)
{
    if (value.contains(QLatin1String("};")) || value.contains(QChar(u'\0')))
        throw Exception(QStringLiteral("%1 cannot contain \"};\" or a NUL character").arg(what));
    return u'{' + value + QStringLiteral("};");
}

// Microsoft's drivers read {value} with "}}" standing for one "}".
QString braced(const QString &what, const QString &value)
{
    if (value.contains(QChar(u'\0')))
        throw Exception(QStringLiteral("%1 cannot contain a NUL character").arg(what));
    QString inner = value;
    inner.replace(u'}', QLatin1String("}}"));
    return u'{' + inner + QStringLiteral("};");
}

QString freeTdsString(const DatabaseTarget &target)
{
    const ServerAddress address = parseServerName(target.server);
    QString text = target.security.mode == Encryption::Verify
                       ? QStringLiteral("DRIVER={FreeTDS};SERVERNAME={%1};")
                             .arg(verifiedSection(target.security, address.server, address.port.toInt()))
                       : QStringLiteral("DRIVER={FreeTDS};SERVER=")
                             + bracedForFreeTds(QStringLiteral("The database server"), address.server);
    if (!address.port.isEmpty())
        text += QStringLiteral("PORT=") + bracedForFreeTds(QStringLiteral("The database server's port"), address.port);
    // Verify is Require to the driver, and the CA file reaches it by its configuration.
    // No TextSize: FreeTDS would send it as a statement of its own after the login, a round
    // trip for nothing, since its login asks for the ODBC defaults, under which the server
    // sends text and image values whole.
    const Encryption mode = target.security.mode == Encryption::Verify ? Encryption::Require : target.security.mode;
    return text + QStringLiteral("DATABASE=") + bracedForFreeTds(QStringLiteral("The database name"), target.database)
         + QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;Encryption=") + encryptionName(mode) + u';';
}

// "ODBC Driver 18 for SQL Server" and later know Encrypt=Optional; the older drivers
// read only yes and no.
bool knowsOptional(const QString &driver)
{
    static const QRegularExpression numbered(QStringLiteral("^ODBC Driver (\\d+) for SQL Server$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = numbered.match(driver);
    return m.hasMatch() && m.captured(1).toInt() >= 18;
}

QString microsoftString(const DatabaseTarget &target, const QString &driver)
{
    // The driver asks a named instance's port of the server's browser itself.
    const ServerAddress address = parseServerName(target.server);
    const QString server = address.port.isEmpty() ? address.server : address.server + u',' + address.port;
    QString encryption;
    switch (target.security.mode) {
    case Encryption::Off: encryption = QStringLiteral("Encrypt=no;"); break;
    case Encryption::Request:
        encryption = knowsOptional(driver) ? QStringLiteral("Encrypt=Optional;") : QStringLiteral("Encrypt=no;");
        break;
    case Encryption::Require: encryption = QStringLiteral("Encrypt=yes;TrustServerCertificate=yes;"); break;
    // Checked against the certificates Windows trusts, where a site deploys its CA.
    case Encryption::Verify: encryption = QStringLiteral("Encrypt=yes;TrustServerCertificate=no;"); break;
    }
    return QStringLiteral("Driver=") + braced(QStringLiteral("The ODBC driver's name"), driver)
         + QStringLiteral("Server=") + braced(QStringLiteral("The database server"), server)
         + QStringLiteral("Database=") + braced(QStringLiteral("The database name"), target.database) + encryption;
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

QString siteOdbcDriver()
{
    return QStringLiteral(VESK_ODBC_DRIVER);
}

bool isFreeTds(const QString &driver)
{
    return driver.compare(QLatin1String("FreeTDS"), Qt::CaseInsensitive) == 0;
}

QString odbcConnectionString(const DatabaseTarget &target, const QString &driver)
{
    return isFreeTds(driver) ? freeTdsString(target) : microsoftString(target, driver);
}

QString odbcCredentials(const QString &user, const QString &password, const QString &driver)
{
    if (isFreeTds(driver))
        return QStringLiteral("UID=") + bracedForFreeTds(QStringLiteral("The database user name"), user)
             + QStringLiteral("PWD=") + bracedForFreeTds(QStringLiteral("The database password"), password);
    return QStringLiteral("UID=") + braced(QStringLiteral("The database user name"), user)
         + QStringLiteral("PWD=") + braced(QStringLiteral("The database password"), password);
}
