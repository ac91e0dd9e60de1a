#include "SqlConnection.h"

#include "core/Exceptions.h"
#include "db/InstanceLookup.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>
#include <algorithm>
#include <mutex>
#include <memory>
#include <thread>

namespace {
QAtomicInt instances;

QString uniqueName(const QString &base)
{
    return base + u'#' + QString::number(instances.fetchAndAddRelaxed(1));
}

// What given-up connections leave behind, kept as they are until the process ends: closing
// a database, or finishing or freeing a statement whose answer is still arriving, would
// read that answer to its end first. Reachable from here, so no leak checker counts it.
struct GivenUp {
    std::mutex lock;
    std::vector<QSqlDatabase> databases;
    std::vector<std::unique_ptr<QSqlQuery>> queries;
};
GivenUp &givenUpLinks()
{
    static GivenUp *const kept = new GivenUp;
    return *kept;
}

QString connectOptions(int loginSeconds)
{
    return QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1;SQL_ATTR_ODBC_VERSION=SQL_OV_ODBC3")
        .arg(loginSeconds);
}
} // namespace

QString databaseErrorText(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    if (text.isEmpty())
        text = QStringLiteral("Database error");
    return text;
}

SqlConnection::SqlConnection(const QString &name) : baseName(name), connectionName(uniqueName(name)) {}

// The ODBC driver is loaded when a connection is first used, not when the login window
// is built: a launcher that is cancelled never needs it.
QSqlDatabase SqlConnection::database() const
{
    if (abandoned)
        throw Exception(QStringLiteral("The connection to the database server was given up"));
    if (!added) {
        added = true;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), connectionName);
        db.setConnectOptions(connectOptions(kLoginTimeoutSeconds));
        db.setDatabaseName(baseString);
        return db;
    }
    return QSqlDatabase::database(connectionName, false);
}

SqlConnection::~SqlConnection()
{
    if (!added || abandoned)
        return;
    {
        QSqlDatabase db = database();
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

bool SqlConnection::connected() const
{
    return added && !spoilt && database().isOpen();
}

void SqlConnection::noteFailure(const QSqlError &error)
{
    // What the server said carries its message number. FreeTDS's own failures (a lost
    // link, a conversion it could not make, a state it is stuck in) carry 0 or one of its
    // library's numbers, from 20000 on ("Unexpected EOF from the server" is 20017); the
    // server's own numbers stop below them and its users' start at 50000.
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number);
    if (!number || code == 0 || (code >= 20000 && code < 21000))
        spoilt = true;
}

void SqlConnection::giveUp()
{
    spoilt = true;
    if (abandoned || !added)
        return;
    GivenUp &kept = givenUpLinks();
    const std::lock_guard guard(kept.lock);
    kept.databases.push_back(database());
    abandoned = true;
}

void SqlConnection::close()
{
    spoilt = false;
    if (abandoned) {
        // The given-up database stays where it is; this connection starts afresh.
        abandoned = false;
        added = false;
        connectionName = uniqueName(baseName);
        return;
    }
    if (!added)
        return;
    QSqlDatabase db = database();
    db.close();
}

QString unicodeLiteral(const QString &text)
{
    QString out = QStringLiteral("N'");
    out.reserve(text.size() + 3);
    for (QChar c : text) {
        if (c == u'\'')
            out += QStringLiteral("''");
        else if (c == QChar(u'\0'))
            out += QStringLiteral("'+NCHAR(0)+N'");
        else
            out += c;
    }
    return out + u'\'';
}

void SqlConnection::setTarget(const DatabaseTarget &target)
{
    baseString = odbcConnectionString(target);
    current = target;
    if (added && !abandoned) {
        QSqlDatabase db = database();
        db.setDatabaseName(baseString);
    }
}

void SqlConnection::open(const QString &user, const QString &password)
{
    SqlConnection *self = this;
    if (const std::exception_ptr failure = openTogether({&self, 1}, user, password).front())
        std::rethrow_exception(failure);
}

std::vector<std::exception_ptr> SqlConnection::openTogether(std::span<SqlConnection *const> connections,
                                                            const QString &user, const QString &password)
{
    struct Opening {
        SqlConnection *connection;
        QSqlDatabase db;
        QString base;
        std::exception_ptr failure;
        std::thread worker;
    };
    std::vector<std::unique_ptr<Opening>> openings;
    std::vector<std::exception_ptr> results(connections.size());
    for (SqlConnection *c : connections) {
        if (c->abandoned)
            c->close();
        auto o = std::make_unique<Opening>();
        o->connection = c;
        o->db = c->database();
        o->base = c->baseString;
        c->spoilt = false;
        openings.push_back(std::move(o));
    }
    // A named instance's port is asked of its browser within the login timeout: the
    // driver's own lookup retries far past it. The login gets what time is left.
    const auto openLink = [&user, &password](Opening &o) {
        try {
            if (!o.db.isValid())
                throw Exception(QStringLiteral("The ODBC driver of Qt is not installed"));
            const QDeadlineTimer deadline(kLoginTimeoutSeconds * 1000);
            const DatabaseTarget &target = o.connection->current;
            const ServerAddress address = parseServerName(target.server);
            QString base = o.base;
            QString host = address.server;
            int port = address.port.toInt();
            // FreeTDS is handed a named instance's port and what it trusts; Microsoft's
            // drivers ask the browser and check the certificate themselves.
            const bool freeTds = isFreeTds(siteOdbcDriver());
            if (freeTds && address.port.isEmpty()) {
                const qsizetype slash = address.server.indexOf(u'\\');
                host = address.server.left(slash);
                port = instancePort(host, address.server.mid(slash + 1), kLoginTimeoutSeconds * 1000);
                DatabaseTarget direct = target;
                direct.server = host + u',' + QString::number(port);
                base = odbcConnectionString(direct);
            }
            if (freeTds)
                prepareDriverTrust(target.security, host, port);
            const qint64 left = std::max<qint64>(1, (deadline.remainingTime() + 999) / 1000);
            o.db.setConnectOptions(connectOptions(int(left)));
            o.db.setDatabaseName(base + odbcCredentials(user, password));
            if (!o.db.open()) {
                // The driver says only that it could not connect; the server is asked why.
                if (freeTds && target.security.mode >= Encryption::Require) {
                    const QString why = encryptionRefusal(host, port, target.security,
                                                          int(std::max<qint64>(1000, deadline.remainingTime())));
                    if (!why.isEmpty())
                        throw EncryptionRefused(
                            QStringLiteral("The connection to %1 was refused: %2").arg(target.server, why));
                }
                throw Exception(databaseErrorText(o.db.lastError()));
            }
        } catch (...) {
            o.failure = std::current_exception();
        }
    };
    // Each open on a thread of its own, all at once, so that the logins' round trips (and
    // the waits of those that fail) overlap.
    for (auto &o : openings)
        o->worker = std::thread(openLink, std::ref(*o));
    for (size_t i = 0; i < openings.size(); ++i) {
        openings[i]->worker.join();
        openings[i]->db.setDatabaseName(openings[i]->base);
        results[i] = openings[i]->failure;
    }
    return results;
}

// The column of a result by name, as both kinds of query look it up.
static int fieldIndex(const QSqlRecord &record, const QString &name)
{
    const int index = record.indexOf(name);
    if (index < 0)
        throw Exception(QStringLiteral("Field '%1' not found").arg(name));
    return index;
}

// The column as the binary large object it must be.
static int blobIndex(const QSqlRecord &record, const QString &name)
{
    const int index = fieldIndex(record, name);
    if (record.field(index).metaType().id() != QMetaType::QByteArray)
        throw Exception(QStringLiteral("Invalid class typecast"));
    return index;
}

void SqlQuery::close()
{
    isOpen = false;
    columns = QSqlRecord();
    rows.clear();
    current = 0;
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
    if (!ok || !take(q))
        fail(q.lastError());
}

std::optional<QString> SqlQuery::openWith(SqlQuery &then)
{
    if (!parameters.isEmpty() || !then.parameters.isEmpty())
        throw Exception(QStringLiteral("Statements with parameters cannot share a request"));
    close();
    then.close();
    QSqlQuery q(conn.database());
    q.setForwardOnly(true);
    if (!q.exec(SQL.join(QStringLiteral("\r\n")) + QStringLiteral(";\r\n") + then.SQL.join(QStringLiteral("\r\n")))
        || !take(q))
        fail(q.lastError());
    QSqlError error;
    if (!q.nextResult()) {
        error = q.lastError();
        if (!error.isValid())
            return QStringLiteral("The server sent fewer results than statements");
    } else if (!then.take(q)) {
        error = q.lastError();
    }
    if (!error.isValid())
        return std::nullopt;
    then.close();
    conn.noteFailure(error);
    return databaseErrorText(error);
}

bool SqlQuery::take(QSqlQuery &q)
{
    columns = q.record();
    while (q.isSelect() && q.next()) {
        QVariantList row;
        row.reserve(columns.count());
        for (int i = 0; i < columns.count(); ++i)
            row.append(q.value(i));
        rows.append(std::move(row));
    }
    if (q.lastError().isValid())
        return false;
    isOpen = true;
    return true;
}

void SqlQuery::fail(const QSqlError &error)
{
    conn.noteFailure(error);
    throw Exception(databaseErrorText(error));
}

void SqlQuery::next()
{
    if (current < rows.size())
        ++current;
}

QStringList SqlQuery::fieldNames() const
{
    QStringList names;
    for (int i = 0; i < columns.count(); ++i)
        names << columns.fieldName(i);
    return names;
}

int SqlQuery::column(const QString &name) const
{
    return fieldIndex(columns, name);
}

QVariant SqlQuery::fieldByName(const QString &name) const
{
    const int index = column(name);
    return eof() ? QVariant() : rows[current][index];
}

QByteArray SqlQuery::blobField(const QString &name) const
{
    const int index = blobIndex(columns, name);
    return eof() ? QByteArray() : rows[current][index].toByteArray();
}

void SqlBatch::open(const QStringList &statements)
{
    abandon();
    query.emplace(conn.database());
    query->setForwardOnly(true);
    left = int(statements.size());
    if (!query->exec(statements.join(QStringLiteral(";\r\n"))))
        fail(query->lastError());
    standOnFirstRow();
}

void SqlBatch::nextResult()
{
    if (!query || left <= 0)
        throw Exception(QStringLiteral("No more results in the batch"));
    // FreeTDS stops at the end of a result read only in part and reports it as a result
    // of its own, without columns: read the rest of this one first.
    while (query->next()) {
    }
    if (!query->nextResult()) {
        if (query->lastError().isValid())
            fail(query->lastError());
        abandon();
        throw Exception(QStringLiteral("The server sent fewer results than statements"));
    }
    standOnFirstRow();
}

void SqlBatch::standOnFirstRow()
{
    --left;
    onRow = query->isSelect() && query->next();
    if (!onRow && query->lastError().isValid())
        fail(query->lastError());
}

void SqlBatch::fail(const QSqlError &error)
{
    conn.noteFailure(error);
    abandon();
    throw Exception(databaseErrorText(error));
}

void SqlBatch::abandon()
{
    if (query && conn.givenUp()) {
        GivenUp &kept = givenUpLinks();
        const std::lock_guard guard(kept.lock);
        kept.queries.push_back(std::make_unique<QSqlQuery>(std::move(*query)));
    } else if (query) {
        query->finish(); // the driver cancels what the server has not sent yet
    }
    query.reset();
    onRow = false;
    left = 0;
}

int SqlBatch::column(const QString &name) const
{
    return fieldIndex(query ? query->record() : QSqlRecord(), name);
}

QVariant SqlBatch::fieldByName(const QString &name) const
{
    const int index = column(name);
    return onRow ? query->value(index) : QVariant();
}

QByteArray SqlBatch::blobField(const QString &name) const
{
    const int index = blobIndex(query ? query->record() : QSqlRecord(), name);
    return onRow ? query->value(index).toByteArray() : QByteArray();
}
