// A connection to SQL Server over Qt's ODBC driver and FreeTDS, and a forward-only
// query on it; database failures become Exception with the server's text.
#pragma once

#include "db/ConnectionString.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>
#include <exception>
#include <optional>
#include <span>
#include <vector>

class SqlConnection {
public:
    explicit SqlConnection(const QString &name);
    ~SqlConnection();
    SqlConnection(const SqlConnection &) = delete;
    SqlConnection &operator=(const SqlConnection &) = delete;

    // Open, and not left unusable by a failure since it was opened.
    bool connected() const;
    // A statement on the connection failed. Unless the server itself refused the statement
    // (an error with its message number), the link is gone or the driver's state is
    // spoilt: the connection no longer counts as connected, and the next use opens it anew.
    void noteFailure(const QSqlError &error);
    // The last failure left the connection unusable.
    bool broken() const { return spoilt; }
    // For a program that is about to end and wants nothing more from the server: the
    // connection is left as it stands, with what the server is still sending unread
    // (closing it or finishing its statement would read that to its end first), and the
    // link ends with the process. Until close() makes it anew, the connection is unusable
    // and its destructor leaves it alone.
    void giveUp();
    bool givenUp() const { return abandoned; }
    void close();
    void setTarget(const DatabaseTarget &target);
    const DatabaseTarget &target() const { return current; }
    // The account and password serve this open only; the connection does not keep them.
    void open(const QString &user, const QString &password);
    // Opens them all at once, so that their logins' round trips overlap; for each, what its
    // open() would have thrown, or null.
    static std::vector<std::exception_ptr> openTogether(std::span<SqlConnection *const> connections,
                                                        const QString &user, const QString &password);
    // Throws Exception once the connection was given up.
    QSqlDatabase database() const;

private:
    QString baseName;
    QString connectionName;
    DatabaseTarget current;
    QString baseString;
    mutable bool added = false;
    bool spoilt = false;
    bool abandoned = false;
};

// The text as one T-SQL Unicode literal, N'...', that no character of it can end early:
// quotes are doubled, and a NUL, which a statement's text cannot carry, is joined in as
// NCHAR(0). As a literal in the statement's text, which travels as UTF-16, the text
// reaches the server as Unicode whatever its code page (a bound parameter is converted to
// that code page by the driver, losing what it cannot hold).
QString unicodeLiteral(const QString &text);

// Reads its whole result when opened, as a client-side cursor does, so that the
// connection is free for the next statement while the query stays open.
class SqlQuery {
public:
    explicit SqlQuery(SqlConnection &connection) : conn(connection) {}

    QStringList SQL;
    QVariantList parameters; // bound in order to the statement's "?" marks

    void close();
    void open();
    // As open(), with then's statement sent in the same request (one round trip): then holds
    // its result afterwards as if opened right after this one. Its failure is not thrown but
    // returned, then left closed.
    std::optional<QString> openWith(SqlQuery &then);
    bool active() const { return isOpen; }
    bool eof() const { return current >= rows.size(); }
    void next();
    bool hasField(const QString &name) const { return columns.indexOf(name) >= 0; }
    QStringList fieldNames() const;
    // The column of the current row; "Field '%s' not found" when the result lacks it.
    QVariant fieldByName(const QString &name) const;
    // The column's value as the binary large object it must be; "Invalid class typecast" otherwise.
    QByteArray blobField(const QString &name) const;

private:
    int column(const QString &name) const;
    [[noreturn]] void fail(const QSqlError &error);
    // The current result of q, its rows read to the end; false when reading them failed.
    bool take(QSqlQuery &q);
    SqlConnection &conn;
    bool isOpen = false;
    QSqlRecord columns;
    QList<QVariantList> rows;
    qsizetype current = 0;
};

// Several statements sent in one request (one round trip), their results read one after
// the other, holding no more than the current row of the current result.
class SqlBatch {
public:
    explicit SqlBatch(SqlConnection &connection) : conn(connection) {}
    ~SqlBatch() { abandon(); }
    SqlBatch(const SqlBatch &) = delete;
    SqlBatch &operator=(const SqlBatch &) = delete;

    // Sends the statements and stands on the first one's first row. Throws the first
    // statement's database error.
    void open(const QStringList &statements);
    // Stands on the next statement's first row; throws that statement's database error.
    void nextResult();
    // The statements whose results have not been reached yet.
    int pending() const { return left; }
    bool eof() const { return !onRow; }
    // As SqlQuery's, for the current row of the current result.
    QVariant fieldByName(const QString &name) const;
    QByteArray blobField(const QString &name) const;
    // Drops what is unread; the server is told to stop sending the rest, unless the
    // connection was given up.
    void abandon();

private:
    int column(const QString &name) const;
    void standOnFirstRow();
    [[noreturn]] void fail(const QSqlError &error);
    SqlConnection &conn;
    std::optional<QSqlQuery> query;
    bool onRow = false;
    int left = 0;
};

QString databaseErrorText(const class QSqlError &error);
