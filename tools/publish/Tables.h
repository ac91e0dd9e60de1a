// The tables the publisher writes, defined once: by docs/sql/1-tables.sql, which the
// publisher carries, so that --create and the administrator's script make the same tables.
#pragma once

#include <QString>
#include <QStringList>

class SqlConnection;

inline constexpr const char kVersionTable[] = "BVersion";
inline constexpr const char kChunkTable[] = "CopyRight";

// The CREATE TABLE statement of table as the script has it.
QString tableDefinition(const QString &table);
// The definition of one of its columns ("Sha256 varbinary(32) NULL"), for ALTER TABLE ADD.
QString columnDefinition(const QString &table, const QString &column);

// Creates those of tables that are not there.
void createMissingTables(SqlConnection &c, const QStringList &tables);
// Adds column to table when the table is there without it.
void addMissingColumn(SqlConnection &c, const QString &table, const QString &column);
