// The connection string of each driver family: its keywords, its ports and instances, its
// encryption words, and values that could otherwise add attributes of their own.
#include "core/Exceptions.h"
#include "db/ConnectionString.h"

#include <QtTest>

class TestConnectionString : public QObject {
    Q_OBJECT
private slots:
    void perDriver_data();
    void perDriver();
    void valuesThatCannotBeCarried_data();
    void valuesThatCannotBeCarried();
};

void TestConnectionString::perDriver_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("expected");
    const QString ms = QStringLiteral("SQL Server"), ms18 = QStringLiteral("ODBC Driver 18 for SQL Server"),
                  ms17 = QStringLiteral("ODBC Driver 17 for SQL Server"), tds = QStringLiteral("FreeTDS");
    QTest::newRow("FreeTDS, host,port") << tds << "db,1444" << "request" << "VeskDB"
        << "DRIVER={FreeTDS};SERVER={db};PORT={1444};DATABASE={VeskDB};TDS_Version=7.4;ClientCharset=UTF-8;Encryption=request;";
    QTest::newRow("FreeTDS, instance") << tds << "db\\SALES" << "off" << "VeskDB"
        << "DRIVER={FreeTDS};SERVER={db\\SALES};DATABASE={VeskDB};TDS_Version=7.4;ClientCharset=UTF-8;Encryption=off;";
    QTest::newRow("SQL Server, host,port") << ms << "db,1444" << "off" << "VeskDB"
        << "Driver={SQL Server};Server={db,1444};Database={VeskDB};Encrypt=no;";
    QTest::newRow("SQL Server, instance asked by the driver") << ms << "db\\SALES" << "request" << "VeskDB"
        << "Driver={SQL Server};Server={db\\SALES};Database={VeskDB};Encrypt=no;";
    QTest::newRow("SQL Server, bare host") << ms << "db" << "require" << "VeskDB"
        << "Driver={SQL Server};Server={db,1433};Database={VeskDB};Encrypt=yes;TrustServerCertificate=yes;";
    QTest::newRow("SQL Server, verify") << ms << "db,1444" << "verify" << "VeskDB"
        << "Driver={SQL Server};Server={db,1444};Database={VeskDB};Encrypt=yes;TrustServerCertificate=no;";
    QTest::newRow("Driver 18, request is optional") << ms18 << "db,1444" << "request" << "VeskDB"
        << "Driver={ODBC Driver 18 for SQL Server};Server={db,1444};Database={VeskDB};Encrypt=Optional;";
    QTest::newRow("Driver 17 knows no optional") << ms17 << "db,1444" << "request" << "VeskDB"
        << "Driver={ODBC Driver 17 for SQL Server};Server={db,1444};Database={VeskDB};Encrypt=no;";
    QTest::newRow("Driver 18, verify") << ms18 << "db,1444" << "verify" << "VeskDB"
        << "Driver={ODBC Driver 18 for SQL Server};Server={db,1444};Database={VeskDB};Encrypt=yes;TrustServerCertificate=no;";
    QTest::newRow("Microsoft braces doubled") << ms << "db,1444" << "off" << "a};Trusted_Connection=yes;{"
        << "Driver={SQL Server};Server={db,1444};Database={a}};Trusted_Connection=yes;{};Encrypt=no;";
}

void TestConnectionString::perDriver()
{
    QFETCH(QString, driver);
    QFETCH(QString, server);
    QFETCH(QString, mode);
    QFETCH(QString, database);
    QFETCH(QString, expected);
    DatabaseTarget target{server, database, {parseEncryption(mode), QString()}};
    QCOMPARE(odbcConnectionString(target, driver), expected);
}

void TestConnectionString::valuesThatCannotBeCarried_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected"); // empty: refused
    QTest::newRow("FreeTDS carries a lone brace") << "FreeTDS" << "p}w{" << "UID={sa};PWD={p}w{};";
    QTest::newRow("FreeTDS refuses };") << "FreeTDS" << "p};UID=x" << "";
    QTest::newRow("Microsoft carries };") << "SQL Server" << "p};UID=x" << "UID={sa};PWD={p}};UID=x};";
    QTest::newRow("Microsoft refuses a NUL") << "SQL Server" << QStringLiteral("p") + QChar(u'\0') + u'w' << "";
}

void TestConnectionString::valuesThatCannotBeCarried()
{
    QFETCH(QString, driver);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    if (expected.isEmpty())
        QVERIFY_THROWS_EXCEPTION(Exception, odbcCredentials(QStringLiteral("sa"), password, driver));
    else
        QCOMPARE(odbcCredentials(QStringLiteral("sa"), password, driver), expected);
}

QTEST_GUILESS_MAIN(TestConnectionString)
#include "tst_connectionstring.moc"
