#include "Statements.h"

#include "Failure.h"

#include <QSqlError>

namespace {

// 229, 262, 1088 and 3701: what SQL Server answers a login without the permission.
bool permissionDenied(int code)
{
    return code == 229 || code == 262 || code == 1088 || code == 3701;
}

// Runs a probe that fails with absentCode when the object is not there.
bool answers(SqlConnection &c, const QString &sql, int absentCode, const QString &what)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    if (q.exec(sql))
        return true;
    if (q.lastError().nativeErrorCode().toInt() == absentCode)
        return false;
    fail(DatabaseFailed, QStringLiteral("asking whether %1 exists: ").arg(what) + databaseErrorText(q.lastError()));
}

} // namespace

QSqlQuery run(SqlConnection &c, const QString &step, const QString &sql, const QVariantList &values)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    bool ok = values.isEmpty() ? q.exec(sql) : q.prepare(sql);
    if (ok && !values.isEmpty()) {
        for (const QVariant &v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok)
        fail(DatabaseFailed, step + QStringLiteral(": ") + databaseErrorText(q.lastError())
                                 + (permissionDenied(q.lastError().nativeErrorCode().toInt())
                                        ? QStringLiteral(" (this login may not change the tables; publish with the "
                                                         "publisher's login, --user, as docs/sql/ sets it up)")
                                        : QString()));
    return q;
}

// 208 and 207: SQL Server's "Invalid object name" and "Invalid column name".
bool tableExists(SqlConnection &c, const QString &table)
{
    return answers(c, QStringLiteral("SELECT * FROM %1 WHERE 1=0").arg(table), 208, QStringLiteral("table ") + table);
}

bool columnExists(SqlConnection &c, const QString &table, const QString &column)
{
    return answers(c, QStringLiteral("SELECT %1 FROM %2 WHERE 1=0").arg(column, table), 207,
                   QStringLiteral("column %1.%2").arg(table, column));
}
