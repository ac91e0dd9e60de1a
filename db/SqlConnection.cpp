#include "SqlConnection.h"

#include "core/Exceptions.h"
#include "db/InstanceLookup.h"
#include "db/QuietOpen.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QSet>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <sys/socket.h>
#include <thread>

namespace {
QAtomicInt instances;

// The process's TCP sockets, by descriptor; only those that have a peer with connected.
QSet<int> tcpSockets(bool connected)
{
    QSet<int> fds;
    for (const QString &entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        bool number = false;
        const int fd = entry.toInt(&number);
        int type = 0, domain = 0;
        socklen_t len = sizeof type, domainLen = sizeof domain;
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof peer;
        if (number && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM
            && ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &domainLen) == 0
            && (domain == AF_INET || domain == AF_INET6)
            && (!connected || ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0))
            fds.insert(fd);
    }
    return fds;
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

SqlConnection::SqlConnection(const QString &name)
    : connectionName(name + u'#' + QString::number(instances.fetchAndAddRelaxed(1)))
{
}

// The ODBC driver is loaded when a connection is first used, not when the login window
// is built: a launcher that is cancelled never needs it.
QSqlDatabase SqlConnection::database() const
{
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
    if (!added)
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

namespace {
// Both ends of a TCP socket, which tell one connection from any other that may have been
// given the same descriptor since.
QByteArray socketEnds(int fd)
{
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) != 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(&local), localLen)
         + QByteArray(reinterpret_cast<const char *>(&peer), peerLen);
}
} // namespace

void SqlConnection::cutLink()
{
    spoilt = true;
    // The driver may have closed its socket, and the number been reused by another
    // connection since: cut only what is still the link to this server.
    if (linkFd >= 0 && !linkEnds.isEmpty() && socketEnds(linkFd) == linkEnds)
        ::shutdown(linkFd, SHUT_RDWR);
    linkFd = -1;
    linkEnds.clear();
}

void SqlConnection::close()
{
    spoilt = false;
    linkFd = -1;
    linkEnds.clear();
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
    if (added) {
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
        std::atomic<bool> done{false};
        QSet<int> before, mine; // the TCP sockets before its open began; those its open made
        std::thread worker;
    };
    std::vector<std::unique_ptr<Opening>> openings;
    std::vector<std::exception_ptr> results(connections.size());
    for (SqlConnection *c : connections) {
        auto o = std::make_unique<Opening>();
        o->connection = c;
        o->db = c->database();
        o->base = c->baseString;
        c->spoilt = false;
        c->linkFd = -1;
        c->linkEnds.clear();
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
            if (address.port.isEmpty()) {
                const qsizetype slash = address.server.indexOf(u'\\');
                host = address.server.left(slash);
                port = instancePort(host, address.server.mid(slash + 1), kLoginTimeoutSeconds * 1000);
                DatabaseTarget direct = target;
                direct.server = host + u',' + QString::number(port);
                base = odbcConnectionString(direct);
            }
            prepareDriverTrust(target.security, host, port);
            const qint64 left = std::max<qint64>(1, (deadline.remainingTime() + 999) / 1000);
            o.db.setConnectOptions(connectOptions(int(left)));
            o.db.setDatabaseName(base + odbcCredentials(user, password));
            bool opened;
            {
                const QuietOpen quiet;
                opened = o.db.open();
            }
            if (!opened) {
                // The driver says only that it could not connect; the server is asked why.
                if (target.security.mode >= Encryption::Require) {
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
        o.done = true;
    };
    // Each open on a thread of its own, so that the logins' round trips overlap. The driver
    // keeps its socket to itself: the next open starts once this one's socket exists, so
    // that each connection knows its own.
    for (size_t i = 0; i < openings.size(); ++i) {
        Opening &o = *openings[i];
        o.before = tcpSockets(false);
        o.worker = std::thread(openLink, std::ref(o));
        if (i + 1 == openings.size())
            break;
        const QDeadlineTimer patience(kLoginTimeoutSeconds * 1000);
        while (!o.done && !patience.hasExpired() && (tcpSockets(false) - o.before).isEmpty())
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (auto &o : openings)
        o->worker.join();
    const QSet<int> linked = tcpSockets(true);
    for (size_t i = 0; i < openings.size(); ++i) {
        Opening &o = *openings[i];
        o.mine = (i + 1 == openings.size() ? tcpSockets(false) : openings[i + 1]->before) - o.before;
        o.mine &= linked;
        o.connection->linkFd = !o.failure && o.mine.size() == 1 ? *o.mine.begin() : -1;
        o.connection->linkEnds = socketEnds(o.connection->linkFd);
        o.db.setDatabaseName(o.base);
        results[i] = o.failure;
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
    if (query) {
        query->finish(); // the driver cancels what the server has not sent yet
        query.reset();
    }
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
