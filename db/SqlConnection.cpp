#include "SqlConnection.h"

#include "app/Exceptions.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>

namespace {
QAtomicInt instances;
}

QString databaseErrorText(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    if (text.isEmpty())
        text = QStringLiteral("Database error");
    return text;
}

SqlConnection::SqlConnection(const QString &name)
    : connectionName(name + u'#' + QString::number(instances.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), connectionName);
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1;"
                                        "SQL_ATTR_ODBC_VERSION=SQL_OV_ODBC3")
                             .arg(kLoginTimeoutSeconds));
}

SqlConnection::~SqlConnection()
{
    {
        QSqlDatabase db = database();
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

bool SqlConnection::connected() const
{
    return database().isOpen();
}

void SqlConnection::close()
{
    QSqlDatabase db = database();
    db.close();
}

void SqlConnection::setTarget(const DatabaseTarget &target)
{
    baseString = odbcConnectionString(target);
    current = target;
    QSqlDatabase db = database();
    db.setDatabaseName(baseString);
}

void SqlConnection::open(const QString &user, const QString &password)
{
    QSqlDatabase db = database();
    if (!db.isValid())
        throw Exception(QStringLiteral("The ODBC driver of Qt is not installed"));
    db.setDatabaseName(baseString + odbcCredentials(user, password));
    const bool ok = db.open();
    db.setDatabaseName(baseString);
    if (!ok)
        throw Exception(databaseErrorText(db.lastError()));
}

void SqlQuery::close()
{
    query.reset();
    onRow = false;
}

void SqlQuery::open()
{
    close();
    QSqlQuery q(conn.database());
    q.setForwardOnly(true);
    const QString text = SQL.join(QStringLiteral("\r\n"));
    bool ok;
    if (parameters.isEmpty()) {
        ok = q.exec(text);
    } else {
        ok = q.prepare(text);
        for (const QVariant &p : parameters)
            q.addBindValue(p);
        ok = ok && q.exec();
    }
    if (!ok)
        throw Exception(databaseErrorText(q.lastError()));
    onRow = q.isSelect() && q.next();
    if (!onRow && q.lastError().isValid())
        throw Exception(databaseErrorText(q.lastError()));
    query.emplace(std::move(q));
}

void SqlQuery::next()
{
    if (query && onRow)
        onRow = query->next();
}

QVariant SqlQuery::fieldByName(const QString &name) const
{
    const int index = query ? query->record().indexOf(name) : -1;
    if (index < 0)
        throw Exception(QStringLiteral("Field '%1' not found").arg(name));
    return onRow ? query->value(index) : QVariant();
}

QByteArray SqlQuery::blobField(const QString &name) const
{
    const QVariant v = fieldByName(name);
    const int index = query->record().indexOf(name);
    if (query->record().field(index).metaType().id() != QMetaType::QByteArray)
        throw Exception(QStringLiteral("Invalid class typecast"));
    return v.toByteArray();
}
