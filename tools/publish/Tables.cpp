#include "Tables.h"

#include "Failure.h"
#include "Statements.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

namespace {

// Each table's CREATE TABLE statement, from the script's batches.
const QHash<QString, QString> &definitions()
{
    static const QHash<QString, QString> byTable = [] {
        QFile f(QStringLiteral(":/sql/1-tables.sql"));
        if (!f.open(QIODevice::ReadOnly))
            fail(Other, QStringLiteral("the built-in table definitions are missing"));
        static const QRegularExpression go(QStringLiteral("^\\s*GO\\s*$"),
                                           QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression create(QStringLiteral("^\\s*CREATE\\s+TABLE\\s+(\\w+)"),
                                               QRegularExpression::MultilineOption
                                                   | QRegularExpression::CaseInsensitiveOption);
        QHash<QString, QString> out;
        for (const QString &batch : QString::fromUtf8(f.readAll()).split(go)) {
            const QRegularExpressionMatch m = create.match(batch);
            if (m.hasMatch())
                out.insert(m.captured(1), batch.mid(m.capturedStart(0)).trimmed());
        }
        return out;
    }();
    return byTable;
}

} // namespace

QString tableDefinition(const QString &table)
{
    const QString d = definitions().value(table);
    if (d.isEmpty())
        fail(Other, QStringLiteral("the built-in table definitions lack %1").arg(table));
    return d;
}

QString columnDefinition(const QString &table, const QString &column)
{
    const QRegularExpression line(QStringLiteral("^\\s*(%1\\s[^,\\n]*?),?\\s*$").arg(column),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(tableDefinition(table));
    if (!m.hasMatch())
        fail(Other, QStringLiteral("the built-in definition of %1 lacks the column %2").arg(table, column));
    return m.captured(1);
}

void createMissingTables(SqlConnection &c, const QStringList &tables)
{
    for (const QString &table : tables)
        if (!tableExists(c, table))
            run(c, QStringLiteral("creating %1").arg(table), tableDefinition(table));
}

void addMissingColumn(SqlConnection &c, const QString &table, const QString &column)
{
    if (tableExists(c, table) && !columnExists(c, table, column))
        run(c, QStringLiteral("adding the column %1 to %2").arg(column, table),
            QStringLiteral("ALTER TABLE %1 ADD %2").arg(table, columnDefinition(table, column)));
}
