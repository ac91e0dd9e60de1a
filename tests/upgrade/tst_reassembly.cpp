// Rebuilding DovaDu.exe from the stand-in's CopyRight rows, with the progress window.
#include "AppEnd.h"
#include "ChunkRecords.h"
#include "Files.h"
#include "core/Exceptions.h"
#include "TestDisplay.h"
#include "TestServer.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/ProgramSize.h"
#include "upgrade/ProgramSeal.h"
#include "upgrade/ShowFormUnit.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>
#include <optional>
#include <functional>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace chunks;

namespace {

const QByteArray kOld = QByteArray("the old, working main client program\n").repeated(100);

struct Row {
    QString idcol;
    std::optional<QByteArray> value; // nullopt: NULL
};
using Rows = QList<Row>;

// Watches the progress window: presses its stop button when the bar reaches pressAt
// (0: as soon as it is shown), and remembers what it saw.
class WindowWatch : public QObject {
public:
    int pressAt = -1;
    bool closeInstead = false;
    int shows = 0;
    int highest = 0;
    int rangeMax = -1;
    bool onTop = false;
    bool centred = false;
    bool emptyAtStart = false;
    int valueAtFirstPaint = -2; // -2: never painted
    QString caption;
    std::function<void(int)> onValue; // runs as the bar moves

    WindowWatch() { qApp->installEventFilter(this); }
    ~WindowWatch() override { qApp->removeEventFilter(this); }

    bool eventFilter(QObject *o, QEvent *e) override
    {
        auto *w = qobject_cast<TShowForm *>(o);
        if (w && e->type() == QEvent::Paint && valueAtFirstPaint == -2)
            valueAtFirstPaint = w->ProgressBar1->value();
        if (!w || e->type() != QEvent::Show)
            return false;
        ++shows;
        caption = w->windowTitle();
        onTop = w->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        QTimer::singleShot(0, w, [this, w] {
            centred = w->frameGeometry().center() == w->screen()->availableGeometry().center()
                      || (w->frameGeometry().center() - w->screen()->availableGeometry().center()).manhattanLength() <= 2;
            emptyAtStart = w->ProgressBar1->value() < w->ProgressBar1->minimum() || w->ProgressBar1->value() == 0;
        });
        connect(w->ProgressBar1, &QProgressBar::valueChanged, this, [this, w](int v) {
            highest = std::max(highest, v);
            rangeMax = w->ProgressBar1->maximum();
            if (pressAt > 0 && v == pressAt)
                press(w);
            if (onValue)
                onValue(v);
        });
        if (pressAt == 0)
            press(w);
        return false;
    }

private:
    void press(TShowForm *w)
    {
        // Queued, like a click the operator makes while the thread is busy.
        if (closeInstead)
            QMetaObject::invokeMethod(w, &QWidget::close, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(w->BitBtn1, &QPushButton::click, Qt::QueuedConnection);
    }
};

class Fixture {
public:
    QTemporaryDir programDir;
    std::optional<TestServer> server;
    SqlConnection connection{QStringLiteral("upgrade")};

    bool start(const QString &schema, const QStringList &serverArgs = {})
    {
        server.emplace(schema, serverArgs);
        if (!server->ok())
            return false;
        connection.setTarget({server->server(), QStringLiteral("VeskDB")});
        connection.open(TestServer::login, TestServer::password);
        putFile(target(), kOld);
        return true;
    }
    void store(const Rows &rows, std::optional<int> counts)
    {
        exec(QStringLiteral("DELETE FROM CopyRight"), {});
        for (const Row &r : rows)
            exec(QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"),
                 {r.idcol, r.value ? QVariant(*r.value) : QVariant(QMetaType(QMetaType::QByteArray))});
        exec(QStringLiteral("DELETE FROM BVersion"), {});
        if (counts)
            exec(QStringLiteral("INSERT INTO BVersion (Version, Counts) VALUES (?, ?)"), {7, *counts});
    }
    void exec(const QString &sql, const QVariantList &values) { execSql(connection.database(), sql, values); }
    QString target() const { return programDir.filePath(QStringLiteral("DovaDu.exe")); }
    QByteArray program() const
    {
        return QFile::exists(target()) ? fileBytes(target()) : QByteArray("(missing)");
    }
    QStringList files() const { return QDir(programDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }

    // Runs UniteFile; returns the failure's text, "(silent)" for the stop, "" for success.
    // batchBytes 0: one chunk a request.
    QString unite(qsizetype batchBytes = kDefaultBatchBytes, const QList<ReleaseKey> &keys = {})
    {
        TFileDivisionAndUnite worker;
        worker.ReleaseKeys = keys;
        worker.Connection = &connection;
        worker.TargetDirectory = programDir.path();
        worker.BatchBytes = batchBytes;
        QString outcome;
        try {
            worker.UniteFile();
        } catch (const SilentAbort &) {
            outcome = QStringLiteral("(silent)");
        } catch (const Exception &e) {
            outcome = e.message();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return outcome;
    }
};

// Chunks of one program: the rows in index order and the bytes they give.
struct Program {
    QByteArray bytes;
    Rows rows;
};

// Runs vesk-publish against the fixture's server; its exit status.
int publish(const Fixture &f, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), TestServer::password);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(VESK_PUBLISH), QStringList{QStringLiteral("--server"), f.server->server()} + args);
    p.waitForFinished(60000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A release key pair made by the publisher, and its public half as a launcher is built with it.
struct KeyPair {
    QTemporaryDir dir;
    ReleaseKey key;
    KeyPair()
    {
        QProcess p;
        p.start(QStringLiteral(VESK_PUBLISH), {QStringLiteral("--keygen"), dir.filePath(QStringLiteral("k"))});
        p.waitForFinished(10000);
        key = ReleaseKey::parse(QString::fromLatin1(fileBytes(dir.filePath(QStringLiteral("k/release.pub")))));
    }
    QString privateFile() const { return dir.filePath(QStringLiteral("k/release.key")); }
};

Program cut(const QByteArray &bytes, qsizetype chunk)
{
    Program p{bytes, {}};
    for (qsizetype at = 0, i = 0; at < bytes.size(); at += chunk, ++i)
        p.rows.append({QString::number(i), record(bytes.mid(at, chunk))});
    return p;
}

} // namespace

class TestReassembly : public QObject {
    Q_OBJECT

private slots:
    void rebuilds_data();
    void rebuilds();
    void failsAndKeepsOldProgram_data();
    void failsAndKeepsOldProgram();
    void schemaFaults_data();
    void schemaFaults();
    void connectionCutAtChunk();
    void batchSizes_data();
    void batchSizes();
    void batchedAsOneAtATime_data();
    void batchedAsOneAtATime();
    void failureInsideABatch_data();
    void failureInsideABatch();
    void stopInsideABatch();
    void connectionCutInsideABatch();
    void targetCannotBeReplaced_data();
    void targetCannotBeReplaced();
#ifdef _WIN32
    void runningProgramMovedAside();
#else
    // A file-size limit for a full disk; the modes of files and folders.
    void diskFullWhileWriting();
    void keepsTheProgramsMode_data();
    void keepsTheProgramsMode();
#endif
    void publishDuringDownloadFails();
    void sameVersionRepublishedDuringDownload_data();
    void sameVersionRepublishedDuringDownload();
    void sealRefusals_data();
    void sealRefusals();
    void stop_data();
    void stop();
    void progressWindowLayout();
    void progressWindowPaintedBeforeTheFirstAnswer_data();
    void progressWindowPaintedBeforeTheFirstAnswer();
    void secondRunGetsNewWindow();
};

void TestReassembly::rebuilds_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<int>("counts");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a = programBytes(70000, 1), b = programBytes(30000, 2), c = programBytes(1, 3);
    QTest::newRow("rows stored 2, 0, 1") << Rows{{"2", record(c)}, {"0", record(a)}, {"1", record(b)}} << 3 << (a + b + c);
    QTest::newRow("N = 0 adds nothing") << Rows{{"0", record(a)}, {"1", sizeField(0) + QByteArray("junk")}, {"2", record(b)}}
                                        << 3 << (a + b);
    QTest::newRow("stream longer than N") << Rows{{"0", record(a, 1234)}, {"1", record(b)}} << 2 << (a.left(1234) + b);
    QTest::newRow("duplicate Idcol: first row wins") << Rows{{"0", record(a)}, {"1", record(b)}, {"1", record(c)}}
                                                     << 2 << (a + b);
    QTest::newRow("Counts 1") << Rows{{"0", record(a)}, {"1", record(b)}} << 1 << a;
    QTest::newRow("rows beyond Counts ignored") << Rows{{"0", record(b)}, {"1", record(a)}, {"2", record(c)}} << 2 << (b + a);
    const Program big = cut(programBytes(3 * 1024 * 1024 + 17, 9), 256 * 1024);
    QTest::newRow("3 MiB in 256 KiB chunks") << big.rows << int(big.rows.size()) << big.bytes;
}

void TestReassembly::rebuilds()
{
    QFETCH(Rows, rows);
    QFETCH(int, counts);
    QFETCH(QByteArray, expected);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    f.store(rows, counts);
    WindowWatch watch;
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == expected);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    QVERIFY(QFileInfo(f.target()).isExecutable());
    QCOMPARE(watch.shows, 1);
    QCOMPARE(watch.caption, QStringLiteral("正在升级..."));
    QVERIFY(watch.onTop);
    QVERIFY(watch.centred);
    QVERIFY(watch.emptyAtStart);
    QCOMPARE(watch.rangeMax, counts);
    QCOMPARE(watch.highest, counts); // the bar ends full
    QVERIFY(ShowForm == nullptr);    // closed and freed
}

#ifndef _WIN32
void TestReassembly::keepsTheProgramsMode_data()
{
    QTest::addColumn<int>("before"); // -1: no program yet
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("sharedFolder"); // setgid and group-writable, as installed
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QTest::newRow("private stays private") << 0600 << 0700 << false;
    QTest::newRow("readable by all") << 0644 << 0744 << false;
    QTest::newRow("already a program") << 0755 << 0755 << false;
    QTest::newRow("group-shared") << 0660 << 0760 << false;
    QTest::newRow("no program yet") << -1 << int(0777 & ~mask) << false;
    QTest::newRow("shared folder: the group may replace it") << 0755 << 0775 << true;
    QTest::newRow("shared folder, private program") << 0600 << 0770 << true;
    QTest::newRow("shared folder, no program yet") << -1 << int((0777 & ~mask) | 070) << true;
}

void TestReassembly::keepsTheProgramsMode()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(bool, sharedFolder);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    if (sharedFolder)
        QCOMPARE(::chmod(QFile::encodeName(f.programDir.path()).constData(), 02775), 0);
    f.store({{"0", record("new")}}, 1);
    if (before < 0)
        QVERIFY(QFile::remove(f.target()));
    else
        QCOMPARE(::chmod(QFile::encodeName(f.target()).constData(), mode_t(before)), 0);
    QCOMPARE(f.unite(), QString());
    struct stat st{};
    QCOMPARE(::stat(QFile::encodeName(f.target()).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), after);
}
#endif

void TestReassembly::publishDuringDownloadFails()
{
    Fixture f;
    // Every answer waits, as over a VPN: the publish lands while chunks are still coming.
    QVERIFY(f.start(TestServer::standardSchema(), {QStringLiteral("--delay"), QStringLiteral("5")}));
    const Program before = cut(programBytes(64 * 4096, 21), 4096);
    const Program after = cut(programBytes(64 * 4096, 22), 4096);
    f.store(before.rows, int(before.rows.size()));
    SqlConnection admin(QStringLiteral("publisher"));
    admin.setTarget({f.server->server(), QStringLiteral("VeskDB")});
    admin.open(TestServer::login, TestServer::password);
    bool published = false;
    WindowWatch watch;
    watch.onValue = [&](int appended) {
        if (appended != 43 || published)
            return;
        // A new version in one transaction, as the publisher commits it.
        QSqlDatabase db = admin.database();
        QVERIFY(db.transaction());
        execSql(db, QStringLiteral("DELETE FROM CopyRight"));
        for (const Row &r : after.rows)
            execSql(db, QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"), {r.idcol, *r.value});
        execSql(db, QStringLiteral("UPDATE BVersion SET Version = 8"));
        QVERIFY(db.commit());
        published = true;
    };
    const QString error = f.unite();
    QVERIFY(published);
    QCOMPARE(watch.highest, 64); // every chunk passed its own check
    QVERIFY2(error.startsWith(QStringLiteral("The program on the server changed during the download")), qPrintable(error));
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    // The next run gets the new version whole.
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == after.bytes);
}

void TestReassembly::sameVersionRepublishedDuringDownload_data()
{
    QTest::addColumn<int>("at"); // chunks appended when the republish commits
    QTest::newRow("at the first batch") << 1;
    QTest::newRow("in a middle batch") << 32;
    QTest::newRow("at the last batch") << 63;
}

void TestReassembly::sameVersionRepublishedDuringDownload()
{
    QFETCH(int, at);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema(), {QStringLiteral("--delay"), QStringLiteral("5")}));
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first")), second = dir.filePath(QStringLiteral("second"));
    putFile(first, programBytes(64 * 4096, 31));
    putFile(second, programBytes(64 * 4096, 32));
    const QStringList same{QStringLiteral("--version"), QStringLiteral("7"), QStringLiteral("--chunk-size"),
                           QStringLiteral("4096"), QStringLiteral("--level"), QStringLiteral("1")};
    QCOMPARE(publish(f, same + QStringList{first}), 0);
    bool republished = false;
    WindowWatch watch;
    watch.onValue = [&](int appended) {
        if (appended == at && !republished) {
            // The same version and chunk count, other content: only the SHA-256 tells them apart.
            QCOMPARE(publish(f, same + QStringList{second}), 0);
            republished = true;
        }
    };
    const QString error = f.unite(64 * 1024);
    QVERIFY(republished);
    QVERIFY2(error.startsWith(QStringLiteral("The program on the server changed during the download")), qPrintable(error));
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == fileBytes(second));
}

void TestReassembly::sealRefusals_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<bool>("keyBuiltIn");
    QTest::addColumn<QString>("error"); // empty: the program is installed
    const QString notSigned = QStringLiteral("The program on the server is not signed with the site's release key.");
    const QString noMatch = QStringLiteral("The program on the server does not match the signature of the site's release key.");
    const QString otherHash = QStringLiteral("The program downloaded is not the one published: its SHA-256 differs from "
                                             "the one in BVersion.");
    QTest::newRow("signed") << "" << true << "";
    QTest::newRow("signed, rolled over to a second key") << "second key" << true << "";
    QTest::newRow("no signature") << "unsigned" << true << notSigned;
    QTest::newRow("another key's signature") << "other key" << true << noMatch;
    QTest::newRow("a chunk replaced by a valid stream") << "chunk" << true << noMatch;
    QTest::newRow("two chunks swapped") << "swap" << true << noMatch;
    QTest::newRow("an older signed program announced as newer") << "version" << true << noMatch;
    QTest::newRow("the chunk count changed") << "counts" << true << noMatch;
    QTest::newRow("another program with its own SHA-256") << "program" << true << noMatch;
    QTest::newRow("unsigned, no key built in") << "unsigned" << false << "";
    QTest::newRow("a chunk replaced, no key built in") << "chunk" << false << otherHash;
    QTest::newRow("another program with its SHA-256, no key built in") << "program" << false << "";
}

void TestReassembly::sealRefusals()
{
    QFETCH(QString, tamper);
    QFETCH(bool, keyBuiltIn);
    QFETCH(QString, error);
    static const KeyPair site, next, other;
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    QTemporaryDir dir;
    const QByteArray bytes = programBytes(4 * 4096, 41);
    putFile(dir.filePath(QStringLiteral("p")), bytes);
    QStringList args{QStringLiteral("--version"), QStringLiteral("7"), QStringLiteral("--chunk-size"), QStringLiteral("4096")};
    if (tamper != QLatin1String("unsigned"))
        args << QStringLiteral("--sign")
             << (tamper == QLatin1String("other key") ? other : tamper == QLatin1String("second key") ? next : site).privateFile();
    QCOMPARE(publish(f, args << dir.filePath(QStringLiteral("p"))), 0);
    const Program replacement = cut(programBytes(4 * 4096, 42), 4096);
    if (tamper == QLatin1String("chunk")) {
        f.exec(QStringLiteral("UPDATE CopyRight SET ExEPic = ? WHERE Idcol = '2'"), {*replacement.rows[2].value});
    } else if (tamper == QLatin1String("swap")) {
        f.exec(QStringLiteral("UPDATE CopyRight SET Idcol = 'x' WHERE Idcol = '0'"), {});
        f.exec(QStringLiteral("UPDATE CopyRight SET Idcol = '0' WHERE Idcol = '1'"), {});
        f.exec(QStringLiteral("UPDATE CopyRight SET Idcol = '1' WHERE Idcol = 'x'"), {});
    } else if (tamper == QLatin1String("version")) {
        f.exec(QStringLiteral("UPDATE BVersion SET Version = 9"), {});
    } else if (tamper == QLatin1String("counts")) {
        f.exec(QStringLiteral("UPDATE BVersion SET Counts = 3"), {});
    } else if (tamper == QLatin1String("program")) {
        f.exec(QStringLiteral("DELETE FROM CopyRight"), {});
        for (const Row &r : replacement.rows)
            f.exec(QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"), {r.idcol, *r.value});
        Sha256 hash;
        hash.add(replacement.bytes);
        f.exec(QStringLiteral("UPDATE BVersion SET Sha256 = ?"), {hash.result()});
    }
    const QList<ReleaseKey> keys = keyBuiltIn ? QList<ReleaseKey>{site.key, next.key} : QList<ReleaseKey>{};
    QCOMPARE(f.unite(kDefaultBatchBytes, keys), error.isEmpty() ? QString() : error + QStringLiteral(
                                                   " The old program is kept; nothing was installed or started."));
    if (error.isEmpty()) {
        QVERIFY(f.program() == (tamper == QLatin1String("program") ? replacement.bytes : bytes));
    } else {
        QVERIFY(f.program() == kOld);
        QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    }
}

void TestReassembly::failsAndKeepsOldProgram_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<std::optional<int>>("counts");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("fetched"); // chunks appended before the failure

    const QByteArray a = programBytes(20000, 4);
    Rows nine;
    for (int i = 0; i < 10; ++i)
        if (i != 5)
            nine.append({QString::number(i), record(a)});
    QByteArray corrupt = record(a);
    for (int i = 30; i < 60; ++i)
        corrupt[i] = char(0xFF);
    QByteArray trailer = record(a);
    trailer[trailer.size() - 2] = char(trailer[trailer.size() - 2] ^ 0x10);
    const QString range = QStringLiteral("TProgressBar property out of range");
    const QString read = QStringLiteral("Stream read error");

    QTest::newRow("Counts 0") << Rows{{"0", record(a)}} << std::optional<int>(0) << range << 0;
    QTest::newRow("no row in BVersion") << Rows{{"0", record(a)}} << std::optional<int>() << range << 0;
    QTest::newRow("negative Counts") << Rows{{"0", record(a)}} << std::optional<int>(-3) << range << 0;
    QTest::newRow("chunk 5 of 10 missing") << nine << std::optional<int>(10) << read << 5;
    QTest::newRow("NULL ExEPic") << Rows{{"0", record(a)}, {"1", std::nullopt}} << std::optional<int>(2) << read << 1;
    QTest::newRow("empty ExEPic") << Rows{{"0", QByteArray()}} << std::optional<int>(1) << read << 0;
    QTest::newRow("record of 3 bytes") << Rows{{"0", QByteArray("abc")}} << std::optional<int>(1) << read << 0;
    QTest::newRow("negative N") << Rows{{"0", sizeField(-1) + deflated(a)}} << std::optional<int>(1) << read << 0;
    QTest::newRow("stream shorter than N") << Rows{{"0", record(a, a.size() + 10)}} << std::optional<int>(1) << read << 0;
    QTest::newRow("corrupt stream") << Rows{{"0", record(a)}, {"1", corrupt}} << std::optional<int>(2) << "error" << 1;
    QTest::newRow("wrong trailer") << Rows{{"0", trailer}} << std::optional<int>(1) << "error" << 0;
    QTest::newRow("stream cut short") << Rows{{"0", record(a).left(100)}} << std::optional<int>(1) << "error" << 0;
    // Refused on the sizes the records declare, before the second one is given room.
    QTest::newRow("chunks adding up past 2 GiB")
        << Rows{{"0", record(a)}, {"1", record(a, kMaxProgramSize - a.size() + 1)}} << std::optional<int>(2)
        << "The program on the server is larger than 2 GiB, more than an upgrade installs. The old program is kept; "
           "nothing was installed or started."
        << 1;
}

void TestReassembly::failsAndKeepsOldProgram()
{
    QFETCH(Rows, rows);
    QFETCH(std::optional<int>, counts);
    QFETCH(QString, error);
    QFETCH(int, fetched);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    f.store(rows, counts);
    WindowWatch watch;
    QCOMPARE(f.unite(), error);
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    QCOMPARE(watch.shows, 1); // the window opened, and closed again
    QCOMPARE(watch.highest, fetched);
    QVERIFY(ShowForm == nullptr);
}

void TestReassembly::schemaFaults_data()
{
    QTest::addColumn<QString>("schema");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("shows");
    QTest::newRow("no Counts column")
        << "USE VeskDB\nCREATE TABLE BVersion (Version int, Cnt int);\nINSERT INTO BVersion VALUES (1, 1);\n"
           "CREATE TABLE CopyRight (Idcol varchar(10), ExEPic image);\n"
        << "Field 'Counts' not found" << 0;
    QTest::newRow("no ExEPic column")
        << "USE VeskDB\nCREATE TABLE BVersion (Version int, Counts int);\nINSERT INTO BVersion VALUES (1, 1);\n"
           "CREATE TABLE CopyRight (Idcol varchar(10), Pic image);\nINSERT INTO CopyRight VALUES ('0', NULL);\n"
        << "Field 'ExEPic' not found" << 1;
    QTest::newRow("ExEPic not binary")
        << "USE VeskDB\nCREATE TABLE BVersion (Version int, Counts int);\nINSERT INTO BVersion VALUES (1, 1);\n"
           "CREATE TABLE CopyRight (Idcol varchar(10), ExEPic varchar(100));\nINSERT INTO CopyRight VALUES ('0', 'abcd');\n"
        << "Invalid class typecast" << 1;
    QTest::newRow("no CopyRight table")
        << "USE VeskDB\nCREATE TABLE BVersion (Version int, Counts int);\nINSERT INTO BVersion VALUES (1, 1);\n"
        << "[FreeTDS][SQL Server]Invalid object name 'CopyRight'." << 1;
    QTest::newRow("no BVersion table") << "USE VeskDB\nCREATE TABLE CopyRight (Idcol varchar(10), ExEPic image);\n"
                                       << "[FreeTDS][SQL Server]Invalid object name 'BVersion'." << 0;
}

void TestReassembly::schemaFaults()
{
    QFETCH(QString, schema);
    QFETCH(QString, error);
    QFETCH(int, shows);
    Fixture f;
    QVERIFY(f.start(schema));
    WindowWatch watch;
    const QString got = f.unite();
    QVERIFY2(got.startsWith(error), qPrintable(got));
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    QCOMPARE(watch.shows, shows);
}

void TestReassembly::connectionCutAtChunk()
{
    Fixture f;
    // The request asking for chunk 5 is the second: the first batch was appended whole.
    QVERIFY(f.start(TestServer::standardSchema(), {QStringLiteral("--close-on"), QStringLiteral("Idcol='5'")}));
    const Program p = cut(programBytes(800000, 5), 100000);
    f.store(p.rows, int(p.rows.size()));
    WindowWatch watch;
    const QString error = f.unite();
    QVERIFY2(error.startsWith(QStringLiteral("The connection to the database server was lost during the download "
                                             "([FreeTDS]")),
             qPrintable(error));
    QCOMPARE(watch.highest, kFirstBatch);
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
}

void TestReassembly::batchSizes_data()
{
    QTest::addColumn<qsizetype>("recordBytes");
    QTest::addColumn<qsizetype>("batchBytes");
    QTest::addColumn<double>("rate");      // bytes a second the records arrive at; 0: not known
    QTest::addColumn<double>("roundTrip"); // seconds
    QTest::addColumn<int>("chunks");
    const qsizetype k256 = 262144, budget = kDefaultBatchBytes;
    QTest::newRow("nothing known yet") << qsizetype(0) << budget << 0.0 << 0.0 << kFirstBatch;
    QTest::newRow("256 KiB records in 4 MiB, link unknown") << k256 << qsizetype(4 << 20) << 0.0 << 0.0 << 16;
    QTest::newRow("a record larger than the budget") << qsizetype(8 << 20) << qsizetype(4 << 20) << 0.0 << 0.0 << 1;
    QTest::newRow("tiny records: capped") << qsizetype(10) << qsizetype(4 << 20) << 0.0 << 0.0 << kMaxBatch;
    QTest::newRow("an empty record seen: start again small") << qsizetype(0) << qsizetype(4 << 20) << 0.0 << 0.0 << kFirstBatch;
    QTest::newRow("no batching") << k256 << qsizetype(0) << 1e9 << 0.02 << 1;
    QTest::newRow("no batching, nothing known") << qsizetype(0) << qsizetype(0) << 0.0 << 0.0 << 1;
    // 20 round trips' worth of the link in flight, within the budget.
    QTest::newRow("loopback at 20 ms: the budget") << k256 << budget << 1e9 << 0.02 << 32;
    QTest::newRow("10 Mbit/s at 20 ms: 500 KB") << k256 << budget << 1.25e6 << 0.02 << 1;
    QTest::newRow("10 Mbit/s at 100 ms: 2.5 MB") << k256 << budget << 1.25e6 << 0.1 << 9;
    QTest::newRow("2 Mbit/s at 20 ms: one chunk") << k256 << budget << 2.5e5 << 0.02 << 1;
    QTest::newRow("a link of no measurable round trip") << k256 << budget << 1e9 << 0.0 << 1;
    QTest::newRow("an endless rate") << k256 << budget << qInf() << 0.02 << 32;
    QTest::newRow("a rate of a byte a second") << k256 << budget << 1.0 << 5.0 << 1;
    QTest::newRow("a negative round trip") << k256 << budget << 1e6 << -1.0 << 32;
}
void TestReassembly::batchSizes()
{
    QFETCH(qsizetype, recordBytes);
    QFETCH(qsizetype, batchBytes);
    QFETCH(double, rate);
    QFETCH(double, roundTrip);
    QFETCH(int, chunks);
    QCOMPARE(chunksPerBatch(recordBytes, batchBytes, LinkMeasure{rate, roundTrip}), chunks);
}

void TestReassembly::batchedAsOneAtATime_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<int>("counts");
    const QByteArray a = programBytes(70000, 1), b = programBytes(30000, 2), c = programBytes(1, 3);
    QTest::newRow("rows stored 2, 0, 1") << Rows{{"2", record(c)}, {"0", record(a)}, {"1", record(b)}} << 3;
    QTest::newRow("duplicate rows") << Rows{{"0", record(a)}, {"0", record(c)}, {"1", record(b)}, {"1", record(c)},
                                            {"2", record(c)}, {"2", record(a)}}
                                    << 3;
    QTest::newRow("Counts 1") << Rows{{"0", record(a)}, {"1", record(b)}} << 1;
    QTest::newRow("exactly the first batch") << cut(programBytes(kFirstBatch * 9000, 4), 9000).rows << kFirstBatch;
    QTest::newRow("one more than the first batch") << cut(programBytes((kFirstBatch + 1) * 9000, 5), 9000).rows
                                                   << kFirstBatch + 1;
    QTest::newRow("many batches") << cut(programBytes(40 * 9000 + 5, 6), 9000).rows << 41;
}

// The same file and the same progress, whatever the batches.
void TestReassembly::batchedAsOneAtATime()
{
    QFETCH(Rows, rows);
    QFETCH(int, counts);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    f.store(rows, counts);
    QByteArray alone;
    for (const qsizetype budget : {qsizetype(0), qsizetype(30000), kDefaultBatchBytes}) {
        putFile(f.target(), kOld);
        WindowWatch watch;
        QCOMPARE(f.unite(budget), QString());
        QCOMPARE(watch.highest, counts);
        if (budget == 0)
            alone = f.program();
        QVERIFY2(f.program() == alone, qPrintable(QStringLiteral("budget %1").arg(budget)));
        QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    }
    QVERIFY(alone != kOld);
}

void TestReassembly::failureInsideABatch_data()
{
    QTest::addColumn<std::optional<QByteArray>>("chunk6"); // nullopt: NULL; empty: no row
    QTest::addColumn<QString>("error");
    const QByteArray a = programBytes(20000, 4);
    QByteArray corrupt = record(a);
    for (int i = 30; i < 60; ++i)
        corrupt[i] = char(0xFF);
    QTest::newRow("missing row") << std::optional<QByteArray>(QByteArray()) << QStringLiteral("Stream read error");
    QTest::newRow("NULL record") << std::optional<QByteArray>() << QStringLiteral("Stream read error");
    QTest::newRow("short record") << std::optional<QByteArray>(QByteArray("ab")) << QStringLiteral("Stream read error");
    QTest::newRow("corrupt stream") << std::optional<QByteArray>(corrupt) << QStringLiteral("error");
}

// Chunk 6 of 10 lies in the second batch (chunks 4 to 9): the chunks before it were
// appended and shown, as one statement at a time would have it.
void TestReassembly::failureInsideABatch()
{
    QFETCH(std::optional<QByteArray>, chunk6);
    QFETCH(QString, error);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    Rows rows = cut(programBytes(10 * 20000, 8), 20000).rows;
    if (chunk6 && chunk6->isEmpty())
        rows.removeAt(6);
    else
        rows[6].value = chunk6;
    f.store(rows, 10);
    for (const qsizetype budget : {kDefaultBatchBytes, qsizetype(0)}) {
        WindowWatch watch;
        QCOMPARE(f.unite(budget), error);
        QCOMPARE(watch.highest, 6);
        QVERIFY(f.program() == kOld);
        QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    }
}

void TestReassembly::stopInsideABatch()
{
    Fixture f;
    // 100 KB a second: each 50 KB record takes half a second on the way.
    QVERIFY(f.start(TestServer::standardSchema(), {QStringLiteral("--rate"), QStringLiteral("100000")}));
    const Program p = cut(programBytes(10 * 50000, 9), 50000);
    f.store(p.rows, 10);
    QElapsedTimer sincePress;
    qint64 took = -1;
    {
        WindowWatch watch;
        watch.pressAt = 2; // handled before chunk 2, with chunks 2 and 3 of the first batch on the way
        watch.onValue = [&](int appended) {
            if (appended == 2)
                sincePress.start();
        };
        QCOMPARE(f.unite(), QStringLiteral("(silent)"));
        took = sincePress.elapsed();
        QCOMPARE(watch.highest, 2);
    }
    // The rest of the batch, a second at this rate, was not waited for.
    QVERIFY2(took < 400, qPrintable(QString::number(took)));
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    // The link was cut, so the connection no longer counts as open; a new one serves.
    QVERIFY(!f.connection.connected());
    f.connection.close();
    f.connection.open(TestServer::login, TestServer::password);
    UpgradeStopFlag = 0;
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == p.bytes);
}

void TestReassembly::connectionCutInsideABatch()
{
    Fixture f;
    // The line drops once the answers for chunks 4 and 5 of the second batch are out.
    QVERIFY(f.start(TestServer::standardSchema(), {QStringLiteral("--close-at"), QStringLiteral("Idcol='6'")}));
    const Program p = cut(programBytes(10 * 30000, 10), 30000);
    f.store(p.rows, 10);
    WindowWatch watch;
    const QString error = f.unite();
    QVERIFY2(error.startsWith(QStringLiteral("The connection to the database server was lost during the download "
                                             "([FreeTDS]")),
             qPrintable(error));
    QCOMPARE(watch.highest, 6);
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
}

#ifndef _WIN32
void TestReassembly::diskFullWhileWriting()
{
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    const Program p = cut(programBytes(4 * 1024 * 1024, 6), 512 * 1024);
    f.store(p.rows, int(p.rows.size()));
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString error = f.unite();
    setrlimit(RLIMIT_FSIZE, &old);
    QCOMPARE(error, QStringLiteral("Stream write error"));
    QVERIFY(f.program() == kOld);
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
}
#endif

#ifdef _WIN32
// Windows does not overwrite a program that runs, but lets it be renamed.
void TestReassembly::runningProgramMovedAside()
{
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    const Program p = cut(programBytes(300 * 1024, 9), 64 * 1024);
    f.store(p.rows, int(p.rows.size()));
    QFile::remove(f.target());
    QVERIFY(QFile::copy(QStringLiteral("Z:" VESK_TEST_SLEEPER), f.target()));
    QProcess running;
    running.start(f.target(), QStringList());
    QVERIFY(running.waitForStarted(10000));
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == p.bytes);
    // The old program stays aside while it runs; the next upgrade removes it.
    QCOMPARE(f.files().filter(QStringLiteral("DovaDu.exe.old-")).size(), 1);
    running.kill();
    QVERIFY(running.waitForFinished(10000));
    QCOMPARE(f.unite(), QString());
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
}
#endif

void TestReassembly::targetCannotBeReplaced_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("a folder named DovaDu.exe") << "folder";
    QTest::newRow("read-only file") << "read-only file";
    QTest::newRow("read-only program folder") << "read-only folder";
    QTest::newRow("a folder where the temporary file goes") << "temporary";
}

void TestReassembly::targetCannotBeReplaced()
{
    QFETCH(QString, how);
#ifdef _WIN32
    if (how == QLatin1String("read-only folder"))
        QSKIP("a folder's read-only attribute does not keep files out of it on Windows");
#else
    if (how.startsWith(QLatin1String("read-only")) && geteuid() == 0)
        QSKIP("root may write read-only files and folders");
#endif
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    f.store({{"0", record("new")}}, 1);
    QDir dir(f.programDir.path());
    if (how == QLatin1String("folder")) {
        QFile::remove(f.target());
        QVERIFY(dir.mkdir(QStringLiteral("DovaDu.exe")));
    } else if (how == QLatin1String("read-only file")) {
        QFile(f.target()).setPermissions(QFileDevice::ReadOwner);
    } else if (how == QLatin1String("read-only folder")) {
        QFile(f.programDir.path()).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    } else {
        QVERIFY(dir.mkdir(QStringLiteral("DovaDu.exe.download")));
    }
    WindowWatch watch;
    QCOMPARE(f.unite(), QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(f.target())));
    QCOMPARE(watch.shows, 0); // no window before the target is secured
    if (how != QLatin1String("folder"))
        QVERIFY(f.program() == kOld);
    QStringList files{"DovaDu.exe"};
    if (how == QLatin1String("temporary"))
        files << "DovaDu.exe.download";
    QCOMPARE(f.files(), files);

    // The cause gone, the next press of the same launcher upgrades.
    QFile(f.programDir.path()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile(f.target()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (how == QLatin1String("temporary"))
        QVERIFY(dir.rmdir(QStringLiteral("DovaDu.exe.download")));
    if (how == QLatin1String("folder"))
        QVERIFY(dir.rmdir(QStringLiteral("DovaDu.exe")));
    QCOMPARE(f.unite(), QString());
    QCOMPARE(f.program(), QByteArray("new"));
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
}

void TestReassembly::stop_data()
{
    QTest::addColumn<int>("pressAt"); // bar position at which the press is queued; 0: at show
    QTest::addColumn<bool>("closeBox");
    QTest::addColumn<bool>("stops");
    QTest::addColumn<int>("appended");
    // With 6 chunks: a press queued once chunk k has been appended is handled before chunk k.
    QTest::newRow("before the first chunk") << 0 << false << true << 0;
    QTest::newRow("during chunk 3") << 4 << false << true << 4;
    QTest::newRow("during the last chunk") << 6 << false << false << 6;
    QTest::newRow("close box during chunk 3") << 4 << true << true << 4;
}

void TestReassembly::stop()
{
    QFETCH(int, pressAt);
    QFETCH(bool, closeBox);
    QFETCH(bool, stops);
    QFETCH(int, appended);
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    const Program p = cut(programBytes(6 * 50000, 7), 50000);
    f.store(p.rows, int(p.rows.size()));
    WindowWatch watch;
    watch.pressAt = pressAt;
    watch.closeInstead = closeBox;
    QCOMPARE(f.unite(), stops ? QStringLiteral("(silent)") : QString());
    QCOMPARE(watch.highest, appended);
    QVERIFY(f.program() == (stops ? kOld : p.bytes));
    QCOMPARE(f.files(), QStringList{"DovaDu.exe"});
    QCOMPARE(UpgradeStopFlag, uint8_t(stops ? 1 : 0)); // a press after the last check is never seen
    QCOMPARE(applicationEndRequested(), stops);
}

// Over a slow link the first answer takes a while: the window must not wait for it blank.
// An offscreen window is exposed as it is shown; under a window manager the X server says
// so only after the manager has framed it, so the case runs again in a child of this test
// on a display of its own.
void TestReassembly::progressWindowPaintedBeforeTheFirstAnswer_data()
{
    QTest::addColumn<bool>("onX");
    QTest::newRow("offscreen") << false;
    QTest::newRow("X server") << true;
}

void TestReassembly::progressWindowPaintedBeforeTheFirstAnswer()
{
    QFETCH(bool, onX);
    if (onX && QGuiApplication::platformName() != QLatin1String("xcb")) {
        if (!TestDisplay::available(true))
            QSKIP("needs Xvfb, openbox and xprop (scripts/setup.sh installs them)");
        TestDisplay display; // a window manager: the map, and so the expose, wait for it
        const QString failure = display.start(true);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QProcess child;
        child.setProcessEnvironment(display.environment());
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("progressWindowPaintedBeforeTheFirstAnswer:X server")});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitCode() == 0, child.readAll().constData());
        return;
    }
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    const Program p = cut(programBytes(3 * 50000, 3), 50000);
    f.store(p.rows, int(p.rows.size()));
    WindowWatch watch;
    QCOMPARE(f.unite(), QString());
    QVERIFY(f.program() == p.bytes);
    QCOMPARE(watch.valueAtFirstPaint, 0); // no chunk had arrived yet
}

void TestReassembly::progressWindowLayout()
{
    TShowForm w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.windowTitle(), QStringLiteral("正在升级..."));
    QCOMPARE(w.size(), QSize(493, 144));
    QCOMPARE(w.palette().color(QPalette::Window), QColor(180, 165, 220));
    QVERIFY(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(w.ProgressBar1->geometry(), QRect(0, 49, 493, 43));
    QCOMPARE(w.ProgressBar1->minimum(), 0);
    QCOMPARE(w.ProgressBar1->maximum(), 100);
    // The plain bar still shows how far the download is: filled a third of the way at 2 of 1..4.
    w.setRange(1, 4);
    w.ProgressBar1->setValue(2);
    const QImage bar = w.ProgressBar1->grab().toImage();
    const QColor fill = w.ProgressBar1->palette().color(QPalette::Highlight);
    const int middle = bar.height() / 2;
    QCOMPARE(bar.pixelColor(bar.width() / 6, middle), fill);
    QVERIFY(bar.pixelColor(bar.width() * 5 / 6, middle) != fill);
    w.ProgressBar1->setValue(4);
    QCOMPARE(w.ProgressBar1->grab().toImage().pixelColor(bar.width() * 5 / 6, middle), fill);
    w.setRange(0, 100);
    QCOMPARE(w.Label1->geometry(), QRect(12, 12, 129, 25));
    QCOMPARE(w.Label1->text(), QStringLiteral("正在升级..."));
    QCOMPARE(w.Label1->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    QCOMPARE(w.Label1->font().pixelSize(), 16);
    QCOMPARE(w.font().pixelSize(), 11);
    QCOMPARE(w.BitBtn1->geometry(), QRect(368, 110, 105, 30));
    QCOMPARE(w.BitBtn1->text(), QStringLiteral("停止升级"));
    QWidget *next = w.ProgressBar1->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus)
        next = next->nextInFocusChain();
    QCOMPARE(next, w.BitBtn1);
    QCOMPARE(UpgradeStopFlag, uint8_t(0));
    w.BitBtn1->click();
    w.BitBtn1->click(); // twice is once
    QCOMPARE(UpgradeStopFlag, uint8_t(1));
    QVERIFY(w.isVisible());
    QVERIFY(w.BitBtn1->isEnabled());
    QVERIFY_THROWS_EXCEPTION(Exception, w.setRange(1, 0));
}

void TestReassembly::secondRunGetsNewWindow()
{
    Fixture f;
    QVERIFY(f.start(TestServer::standardSchema()));
    const QByteArray a = programBytes(40000, 8);
    f.store({{"0", record(a)}, {"1", std::nullopt}}, 2);
    WindowWatch watch;
    QCOMPARE(f.unite(), QStringLiteral("Stream read error"));
    f.store({{"0", record(a)}}, 1);
    UpgradeStopFlag = 1; // left over from an earlier stop: the new window clears it
    QCOMPARE(f.unite(), QString()); // the flag is cleared again when the new window shows
    QCOMPARE(watch.shows, 2);
    QVERIFY(f.program() == a);
}

QTEST_MAIN(TestReassembly)
#include "tst_reassembly.moc"
