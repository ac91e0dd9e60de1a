// The stand-in SQL Server, seen through the real client stack: Qt QODBC, unixODBC, FreeTDS.
#include "TestServer.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

namespace {

QString openError(SqlConnection &c, const QString &server, const QString &database, const QString &user,
                  const QString &password)
{
    c.setTarget({server, database});
    try {
        c.open(user, password);
    } catch (const Exception &e) {
        return e.message();
    }
    return QString();
}

QByteArray randomBytes(qsizetype n, quint32 seed)
{
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator g(seed);
    g.fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
    for (qsizetype i = n / 4 * 4; i < n; ++i)
        b[i] = char(g.generate());
    return b;
}

// Forward-only, as every client of the stand-in runs its queries: no server cursors.
QSqlQuery forwardQuery(SqlConnection &c)
{
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    return q;
}

} // namespace

class TestDbServer : public QObject {
    Q_OBJECT

private slots:
    void login_data();
    void login();
    void typesRoundTrip_data();
    void typesRoundTrip();
    void nullOfEveryType();
    void largeBlobIsByteIdentical_data();
    void largeBlobIsByteIdentical();
    void parametersCarryQuotesAndChinese();
    void operatorLookupComputesDateColumns_data();
    void operatorLookupComputesDateColumns();
    void errorsHaveSqlServerNumbersAndTexts_data();
    void errorsHaveSqlServerNumbersAndTexts();
    void readOnlyLoginIsRefusedChanges_data();
    void readOnlyLoginIsRefusedChanges();
    void textComparesWithoutCaseOrTrailingBlanks();
    void twoConnectionsAtOnce();
    void transactionRollsBack();
    void closeAfterCutsTheConnection();
    void closeOnCutsAtTheMatchingStatement();
    void delayHoldsEachAnswer();
    void severalResultsInOneAnswer_data();
    void severalResultsInOneAnswer();
    void delayOncePerBatch();
};

void TestDbServer::login_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("expected"); // empty: the login succeeds

    const QString refused = QStringLiteral("Login failed for user '%1'.");
    QTest::newRow("accepted") << TestServer::login << TestServer::password << "VeskDB" << "";
    QTest::newRow("second database") << TestServer::login << TestServer::password << "Voruvidi" << "";
    QTest::newRow("wrong password") << TestServer::login << "wrong" << "VeskDB" << refused.arg(TestServer::login);
    QTest::newRow("password differs in case") << TestServer::login << TestServer::password.toUpper() << "VeskDB"
                                              << refused.arg(TestServer::login);
    QTest::newRow("unknown login") << "nobody" << TestServer::password << "VeskDB" << refused.arg("nobody");
    QTest::newRow("unknown database") << TestServer::login << TestServer::password << "NoSuchDb"
                                      << "Cannot open database \"NoSuchDb\" requested by the login. The login failed.";
    QTest::newRow("blank before database") << TestServer::login << TestServer::password << " VeskDB"
                                           << "Cannot open database \" VeskDB\" requested by the login.";
}

void TestDbServer::login()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, database);
    QFETCH(QString, expected);
    TestServer server;
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("login"));
    const QString error = openError(c, server.server(), database, user, password);
    if (expected.isEmpty()) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(c.connected());
    } else {
        QVERIFY2(error.contains(expected), qPrintable(error));
        QVERIFY(!c.connected());
    }
}

void TestDbServer::typesRoundTrip_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("int") << "int" << QVariant(int(-2147483647 - 1));
    QTest::newRow("bigint") << "bigint" << QVariant(qlonglong(9007199254740993LL));
    QTest::newRow("varchar") << "varchar(50)" << QVariant(QStringLiteral("O'Brien 张三 ok"));
    QTest::newRow("nvarchar") << "nvarchar(50)" << QVariant(QStringLiteral("内销 ü 【提示】"));
    QTest::newRow("datetime") << "datetime" << QVariant(QDateTime(QDate(2010, 11, 9), QTime(13, 45, 30, 500)));
    QTest::newRow("image") << "image" << QVariant(randomBytes(100000, 7));
    QTest::newRow("varbinary(max)") << "varbinary(max)" << QVariant(randomBytes(70001, 8));
    QTest::newRow("empty varbinary") << "varbinary(max)" << QVariant(QByteArray(""));
}

void TestDbServer::typesRoundTrip()
{
    QFETCH(QString, type);
    QFETCH(QVariant, value);
    TestServer server(QStringLiteral("USE VeskDB\nCREATE TABLE T (k int, v %1 NULL);\n").arg(type));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("types"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlQuery ins = forwardQuery(c);
    QVERIFY(ins.prepare(QStringLiteral("INSERT INTO T (k, v) VALUES (?, ?)")));
    ins.addBindValue(1);
    ins.addBindValue(value);
    QVERIFY2(ins.exec(), qPrintable(ins.lastError().text()));

    QSqlQuery sel(c.database());
    sel.setForwardOnly(true);
    QVERIFY2(sel.exec(QStringLiteral("SELECT v FROM T WHERE k = 1")), qPrintable(sel.lastError().text()));
    QVERIFY(sel.next());
    const QVariant got = sel.value(0);
    if (value.typeId() == QMetaType::QDateTime)
        QCOMPARE(got.toDateTime(), value.toDateTime());
    else if (value.typeId() == QMetaType::QByteArray)
        QVERIFY(got.toByteArray() == value.toByteArray());
    else if (value.typeId() == QMetaType::QString)
        QCOMPARE(got.toString(), value.toString());
    else
        QCOMPARE(got.toLongLong(), value.toLongLong());
    QVERIFY(!sel.next());
}

void TestDbServer::nullOfEveryType()
{
    TestServer server(QStringLiteral("USE VeskDB\n"
                                     "CREATE TABLE T (a int, b bigint, c varchar(10), d nvarchar(10), e datetime,"
                                     " f image, g varbinary(max));\n"
                                     "INSERT INTO T VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL);\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("nulls"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral("SELECT * FROM T")));
    QVERIFY(q.next());
    QCOMPARE(q.record().count(), 7);
    for (int i = 0; i < 7; ++i)
        QVERIFY2(q.isNull(i), qPrintable(q.record().fieldName(i)));
}

void TestDbServer::largeBlobIsByteIdentical_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("image") << "image";
    QTest::newRow("varbinary(max)") << "varbinary(max)";
}

void TestDbServer::largeBlobIsByteIdentical()
{
    QFETCH(QString, type);
    TestServer server(QStringLiteral("USE VeskDB\nCREATE TABLE B (k int, v %1);\n").arg(type));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("blob"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    const QByteArray blob = randomBytes(64 * 1024 * 1024, 64);
    QSqlQuery ins = forwardQuery(c);
    QVERIFY(ins.prepare(QStringLiteral("INSERT INTO B (k, v) VALUES (?, ?)")));
    ins.addBindValue(1);
    ins.addBindValue(blob);
    QVERIFY2(ins.exec(), qPrintable(ins.lastError().text()));
    QSqlQuery sel(c.database());
    sel.setForwardOnly(true);
    QVERIFY(sel.exec(QStringLiteral("SELECT v FROM B")));
    QVERIFY(sel.next());
    const QByteArray got = sel.value(0).toByteArray();
    QCOMPARE(got.size(), blob.size());
    QVERIFY(got == blob);
}

void TestDbServer::parametersCarryQuotesAndChinese()
{
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("params"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    const QStringList names{QStringLiteral("O'Brien"), QStringLiteral("张'三"), QStringLiteral("x' OR '1'='1"),
                            QStringLiteral("李四 ")};
    for (const QString &n : names) {
        QSqlQuery ins = forwardQuery(c);
        QVERIFY(ins.prepare(QStringLiteral("INSERT INTO aUser (UserID, PassWord, Memo) VALUES (?, ?, ?)")));
        ins.addBindValue(n);
        ins.addBindValue(n + QStringLiteral("密码"));
        ins.addBindValue(QStringLiteral("备注 ") + n);
        QVERIFY2(ins.exec(), qPrintable(ins.lastError().text()));
    }
    for (const QString &n : names) {
        QSqlQuery sel(c.database());
        sel.setForwardOnly(true);
        QVERIFY(sel.prepare(QStringLiteral("SELECT UserID, PassWord, Memo FROM aUser WHERE UserID = ?")));
        sel.addBindValue(n);
        QVERIFY2(sel.exec(), qPrintable(sel.lastError().text()));
        QVERIFY2(sel.next(), qPrintable(n));
        QCOMPARE(sel.value(0).toString(), n);
        QCOMPARE(sel.value(1).toString(), n + QStringLiteral("密码"));
        QCOMPARE(sel.value(2).toString(), QStringLiteral("备注 ") + n);
        QVERIFY(!sel.next());
    }
}

void TestDbServer::operatorLookupComputesDateColumns_data()
{
    QTest::addColumn<bool>("bound");
    QTest::newRow("name as literal") << false;
    QTest::newRow("name as parameter") << true;
}

void TestDbServer::operatorLookupComputesDateColumns()
{
    QFETCH(bool, bound);
    TestServer server(TestServer::standardSchema()
                      + QStringLiteral("INSERT INTO aUser (UserID, PassWord) VALUES ('admin', 'pw');\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("lookup"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    const QString stmt = QStringLiteral(
        " Select *,ServerDate=GetDate(),FromDate=(Getdate()-day(getdate())+1),\tToDate=DATEADD(mm,1,Getdate())"
        "-day(getdate()), YYYY=Year(Getdate()),MM=Month(Getdate()),DD=Day(Getdate()) \tFrom aUser where UserID=");
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-5);
    if (bound) {
        QVERIFY(q.prepare(stmt + u'?'));
        q.addBindValue(QStringLiteral("admin"));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    } else {
        QVERIFY2(q.exec(stmt + QStringLiteral("'admin'")), qPrintable(q.lastError().text()));
    }
    const QDateTime after = QDateTime::currentDateTime().addMSecs(5);
    QVERIFY(q.next());
    const QSqlRecord r = q.record();
    const QStringList expected{"UserID", "PassWord", "Memo", "ServerDate", "FromDate", "ToDate", "YYYY", "MM", "DD"};
    QCOMPARE(r.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(r.fieldName(i), expected[i]);
    QCOMPARE(q.value("PassWord").toString(), QStringLiteral("pw"));
    const QDateTime now = q.value("ServerDate").toDateTime();
    QVERIFY2(now >= before && now <= after, qPrintable(now.toString(Qt::ISODateWithMs)));
    const QDate today = now.date();
    QCOMPARE(q.value("FromDate").toDateTime(), QDateTime(QDate(today.year(), today.month(), 1), now.time()));
    // DATEADD(mm,1,now) - day(now): the day before the same day of next month, less the day count.
    const QDate nextMonth = today.addMonths(1);
    QCOMPARE(q.value("ToDate").toDateTime(), QDateTime(nextMonth.addDays(-today.day()), now.time()));
    QCOMPARE(q.value("YYYY").toInt(), today.year());
    QCOMPARE(q.value("MM").toInt(), today.month());
    QCOMPARE(q.value("DD").toInt(), today.day());
    QVERIFY(!q.next());
}

void TestDbServer::errorsHaveSqlServerNumbersAndTexts_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("208") << "select * from NoTable" << "208" << "Invalid object name 'NoTable'.";
    QTest::newRow("207") << "select NoCol from aUser" << "207" << "Invalid column name 'NoCol'.";
    QTest::newRow("102") << "select * from where" << "102" << "Incorrect syntax near 'where'.";
}

void TestDbServer::errorsHaveSqlServerNumbersAndTexts()
{
    QFETCH(QString, statement);
    QFETCH(QString, number);
    QFETCH(QString, text);
    TestServer server(TestServer::standardSchema());
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("errors"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(!q.exec(statement));
    QVERIFY2(q.lastError().databaseText().contains(QStringLiteral("[SQL Server]") + text),
             qPrintable(q.lastError().databaseText()));
    QVERIFY2(q.lastError().nativeErrorCode().contains(number), qPrintable(q.lastError().nativeErrorCode()));
    // The connection stays usable after an error.
    QVERIFY(q.exec(QStringLiteral("select * from  BVersion ")));
}

void TestDbServer::readOnlyLoginIsRefusedChanges_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("text");
    const QString denied = QStringLiteral("The %1 permission was denied on the object '%2', database 'VeskDB', schema 'dbo'.");
    QTest::newRow("insert") << "INSERT INTO aUser (UserID) VALUES ('x')" << "229" << denied.arg("INSERT", "aUser");
    QTest::newRow("update") << "update dbo.BVersion set Version = 9" << "229" << denied.arg("UPDATE", "BVersion");
    QTest::newRow("delete") << "DELETE CopyRight" << "229" << denied.arg("DELETE", "CopyRight");
    QTest::newRow("create") << "CREATE TABLE T (a int)" << "262" << "CREATE TABLE permission denied in database 'VeskDB'.";
    QTest::newRow("alter") << "ALTER TABLE BVersion ADD Sha256 varbinary(32) NULL" << "1088"
                           << "Cannot find the object \"BVersion\" because it does not exist or you do not have permissions.";
}

void TestDbServer::readOnlyLoginIsRefusedChanges()
{
    QFETCH(QString, statement);
    QFETCH(QString, number);
    QFETCH(QString, text);
    TestServer server(TestServer::standardSchema() + QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (3, 1);\n"),
                      {QStringLiteral("--login"), QStringLiteral("Reader:r"), QStringLiteral("--read-only-login"),
                       QStringLiteral("Reader")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("reader"));
    QCOMPARE(openError(c, server.server(), "VeskDB", QStringLiteral("Reader"), QStringLiteral("r")), QString());
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(!q.exec(statement));
    QVERIFY2(q.lastError().databaseText().contains(QStringLiteral("[SQL Server]") + text),
             qPrintable(q.lastError().databaseText()));
    QCOMPARE(q.lastError().nativeErrorCode(), number);
    QVERIFY(q.exec(QStringLiteral("select Version from BVersion")) && q.next());
    QCOMPARE(q.value(0).toInt(), 3);
}

void TestDbServer::textComparesWithoutCaseOrTrailingBlanks()
{
    TestServer server(TestServer::standardSchema()
                      + QStringLiteral("INSERT INTO aUser (UserID, PassWord) VALUES ('abc', 'Secret');\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("collation"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    for (const char *name : {"abc", "ABC", "abc  "}) {
        QSqlQuery q(c.database());
        q.setForwardOnly(true);
        QVERIFY(q.exec(QStringLiteral("select PassWord from aUser where UserID='%1'").arg(name)));
        QVERIFY2(q.next(), name);
        QCOMPARE(q.value(0).toString(), QStringLiteral("Secret"));
    }
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral("select PassWord from aUser where UserID=' abc'")));
    QVERIFY(!q.next());
}

void TestDbServer::twoConnectionsAtOnce()
{
    TestServer server(TestServer::standardSchema()
                      + QStringLiteral("INSERT INTO BVersion VALUES (7, 3);\nUSE Voruvidi\nCREATE TABLE N (x int);\n"
                                       "INSERT INTO N VALUES (42);\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection pub(QStringLiteral("pub")), nx(QStringLiteral("nx"));
    QCOMPARE(openError(pub, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QCOMPARE(openError(nx, server.server(), "Voruvidi", TestServer::login, TestServer::password), QString());
    for (int round = 0; round < 3; ++round) {
        QSqlQuery a(pub.database()), b(nx.database());
        a.setForwardOnly(true);
        b.setForwardOnly(true);
        QVERIFY(a.exec(QStringLiteral("select * from  BVersion ")));
        QVERIFY(b.exec(QStringLiteral("select x from N")));
        QVERIFY(a.next() && b.next());
        QCOMPARE(a.value(0).toInt(), 7);
        QCOMPARE(b.value(0).toInt(), 42);
    }
}

void TestDbServer::transactionRollsBack()
{
    TestServer server(TestServer::standardSchema() + QStringLiteral("INSERT INTO BVersion VALUES (1, 1);\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("tx"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlDatabase db = c.database();
    QVERIFY2(db.transaction(), qPrintable(db.lastError().text()));
    QSqlQuery q = forwardQuery(c);
    QVERIFY(q.exec(QStringLiteral("DELETE FROM BVersion")));
    QVERIFY(q.exec(QStringLiteral("INSERT INTO BVersion VALUES (9, 9)")));
    QVERIFY2(db.rollback(), qPrintable(db.lastError().text()));
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral("select Version from BVersion")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    q.finish(); // the client cannot change the transaction state while a result is pending
    QVERIFY(db.transaction());
    QVERIFY(q.exec(QStringLiteral("UPDATE BVersion SET Version = 2")));
    QVERIFY(db.commit());
    QVERIFY(q.exec(QStringLiteral("select Version from BVersion")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 2);
}

void TestDbServer::closeAfterCutsTheConnection()
{
    // The driver sends statements of its own while it opens: the fewest the server may
    // answer for the open and one statement after it to work is the count of those.
    int loginRequests = -1;
    for (int allowed = 0; allowed < 10 && loginRequests < 0; ++allowed) {
        TestServer s(TestServer::standardSchema(), {QStringLiteral("--close-after"), QString::number(allowed + 1)});
        SqlConnection c(QStringLiteral("probe"));
        if (!openError(c, s.server(), "VeskDB", TestServer::login, TestServer::password).isEmpty())
            continue;
        QSqlQuery q = forwardQuery(c);
        if (q.exec(QStringLiteral("select * from  BVersion ")))
            loginRequests = allowed;
    }
    QVERIFY(loginRequests >= 0);

    TestServer server(TestServer::standardSchema() + QStringLiteral("INSERT INTO BVersion VALUES (5, 1);\n"),
                      {QStringLiteral("--close-after"), QString::number(loginRequests + 3)});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("cut"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    for (int i = 0; i < 3; ++i) {
        QSqlQuery q(c.database());
        q.setForwardOnly(true);
        QVERIFY2(q.exec(QStringLiteral("select Version from BVersion")), qPrintable(q.lastError().text()));
        QVERIFY(q.next());
    }
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(!q.exec(QStringLiteral("select Version from BVersion")));
    QVERIFY(!q.exec(QStringLiteral("select Version from BVersion")));
}

void TestDbServer::closeOnCutsAtTheMatchingStatement()
{
    TestServer server(TestServer::standardSchema() + QStringLiteral("INSERT INTO CopyRight VALUES ('0', NULL);\n"),
                      {QStringLiteral("--close-on"), QStringLiteral("Idcol='3'")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("cut"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    QVERIFY(q.exec(QStringLiteral(" SELECT  * FROM CopyRight where Idcol='2'")));
    QVERIFY(!q.exec(QStringLiteral(" SELECT  * FROM CopyRight where Idcol='3'")));
    QVERIFY(!q.exec(QStringLiteral(" SELECT  * FROM CopyRight where Idcol='0'")));
}

void TestDbServer::delayHoldsEachAnswer()
{
    TestServer server(TestServer::standardSchema(), {QStringLiteral("--delay"), QStringLiteral("300")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    // The prelogin's answer waits too: a bare PRELOGIN with its terminator only.
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, quint16(server.port()));
    QVERIFY(raw.waitForConnected(5000));
    QElapsedTimer t;
    t.start();
    raw.write(QByteArray::fromHex("1201000900000000ff"));
    QVERIFY(raw.waitForReadyRead(5000));
    QVERIFY2(t.elapsed() >= 300, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(raw.read(1), QByteArray::fromHex("04"));

    SqlConnection c(QStringLiteral("slow"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QSqlQuery q(c.database());
    q.setForwardOnly(true);
    t.restart();
    QVERIFY(q.exec(QStringLiteral("select * from  BVersion ")));
    QVERIFY2(t.elapsed() >= 300, qPrintable(QString::number(t.elapsed())));
}

void TestDbServer::severalResultsInOneAnswer_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QStringList>("firstRows"); // "-": no row
    QTest::newRow("two") << QStringList{"1", "0"} << QStringList{"b", "a"};
    QTest::newRow("five, one missing, one twice") << QStringList{"2", "0", "9", "1", "2"}
                                                  << QStringList{"c", "a", "-", "b", "c"};
    QTest::newRow("duplicates come first row first") << QStringList{"3", "3"} << QStringList{"d1", "d1"};
}

void TestDbServer::severalResultsInOneAnswer()
{
    QFETCH(QStringList, ids);
    QFETCH(QStringList, firstRows);
    TestServer server(TestServer::standardSchema()
                      + QStringLiteral("INSERT INTO CopyRight VALUES ('0', 'a');\nINSERT INTO CopyRight VALUES ('1', 'b');\n"
                                       "INSERT INTO CopyRight VALUES ('2', 'c');\nINSERT INTO CopyRight VALUES ('3', 'd1');\n"
                                       "INSERT INTO CopyRight VALUES ('3', 'd2');\n"));
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("batch"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    QStringList statements;
    for (const QString &id : ids)
        statements << QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(id);
    SqlBatch batch(c);
    QStringList got;
    for (int i = 0; i < ids.size(); ++i) {
        if (i == 0)
            batch.open(statements);
        else
            batch.nextResult();
        QCOMPARE(batch.pending(), int(ids.size()) - i - 1);
        got << (batch.eof() ? QStringLiteral("-") : QString::fromLatin1(batch.blobField(QStringLiteral("ExEPic"))));
    }
    QCOMPARE(got, firstRows);
    QVERIFY_THROWS_EXCEPTION(Exception, batch.nextResult());
    // The connection is free for the next statement.
    batch.abandon();
    QSqlQuery q = forwardQuery(c);
    QVERIFY(q.exec(QStringLiteral("select Counts from BVersion")));
}

void TestDbServer::delayOncePerBatch()
{
    TestServer server(TestServer::standardSchema() + QStringLiteral("INSERT INTO CopyRight VALUES ('0', 'a');\n"),
                      {QStringLiteral("--delay"), QStringLiteral("300")});
    QVERIFY2(server.ok(), qPrintable(server.errors()));
    SqlConnection c(QStringLiteral("slowbatch"));
    QCOMPARE(openError(c, server.server(), "VeskDB", TestServer::login, TestServer::password), QString());
    SqlBatch batch(c);
    QElapsedTimer t;
    t.start();
    batch.open(QStringList(10, QStringLiteral(" SELECT  * FROM CopyRight where Idcol='0'")));
    for (int i = 1; i < 10; ++i)
        batch.nextResult();
    // One round trip for ten statements: one delay, not ten.
    QVERIFY2(t.elapsed() >= 300 && t.elapsed() < 2500, qPrintable(QString::number(t.elapsed())));
}

QTEST_GUILESS_MAIN(TestDbServer)
#include "tst_dbserver.moc"
