// The publisher's statements: each failure names its step and carries the server's message.
#pragma once

#include "db/SqlConnection.h"

#include <QSqlQuery>
#include <QVariantList>

// Runs sql with values bound to its "?"; Failure(DatabaseFailed) names step.
QSqlQuery run(SqlConnection &c, const QString &step, const QString &sql, const QVariantList &values = {});

// Whether the table, or its column, is there. A server that cannot be asked is a failure
// of its own (DatabaseFailed), never taken for an absent table.
bool tableExists(SqlConnection &c, const QString &table);
bool columnExists(SqlConnection &c, const QString &table, const QString &column);
