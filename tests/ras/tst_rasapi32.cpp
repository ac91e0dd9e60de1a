// The remote-access service librasapi32.so through its exported functions. Records are
// filled byte by byte at the platform's offsets, never through the library's own structs,
// so a shifted field fails here.
#include "NmcliStandin.h"
#include "platform/RasApi.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

namespace {

void put32(QByteArray &r, int at, quint32 v)
{
    std::memcpy(r.data() + at, &v, 4);
}
quint32 get32(const QByteArray &r, int at)
{
    quint32 v;
    std::memcpy(&v, r.constData() + at, 4);
    return v;
}
void putText(QByteArray &r, int at, const QByteArray &text)
{
    std::memcpy(r.data() + at, text.constData(), size_t(text.size()));
}

QByteArray entryRecord(const QByteArray &server, quint32 options = 0x3940)
{
    QByteArray r(1768, '\0');
    put32(r, 0, 1768);
    put32(r, 4, options);
    putText(r, 27, server);
    put32(r, 180, 1);
    putText(r, 972, "VPN");
    putText(r, 989, "RAS VPN Line 0");
    return r;
}

QByteArray dialRecord(const QByteArray &entry, const QByteArray &user, const QByteArray &password)
{
    QByteArray r(1052, '\0');
    put32(r, 0, 1052);
    putText(r, 4, entry);
    putText(r, 519, user);
    putText(r, 776, password);
    return r;
}

DWORD setEntry(const char *name, QByteArray record, DWORD cb = 1768)
{
    return RasSetEntryPropertiesA(nullptr, name, reinterpret_cast<RASENTRYA *>(record.data()), cb, nullptr, 0);
}

DWORD dial(QByteArray record, HRASCONN &handle)
{
    return RasDialA(nullptr, nullptr, reinterpret_cast<RASDIALPARAMSA *>(record.data()), 0, nullptr, &handle);
}

struct Listing {
    DWORD result, size, count;
    QStringList names;
};
Listing list(DWORD bufferSize = 26400, quint32 firstSize = 264)
{
    QByteArray buffer(int(bufferSize), '\0');
    if (bufferSize >= 4)
        put32(buffer, 0, firstSize);
    Listing l{0, bufferSize, 0, {}};
    l.result = RasEnumEntriesA(nullptr, nullptr, bufferSize ? reinterpret_cast<RASENTRYNAMEA *>(buffer.data()) : nullptr,
                               &l.size, &l.count);
    if (l.result == 0)
        for (DWORD i = 0; i < l.count; ++i)
            l.names << QString::fromLatin1(buffer.constData() + 264 * i + 4);
    return l;
}

QByteArray fileText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestRasApi : public QObject {
    Q_OBJECT
    std::optional<NmcliStandin> nm;

private slots:
    void init() { nm.emplace(); }
    void cleanup() { nm.reset(); }

    void entryFieldsReadFromTheirOffsets()
    {
        QCOMPARE(setEntry("VUDAZEZ", entryRecord("vpn.example.org")), DWORD(0));
        const QByteArray book = fileText(nm->phonebook());
        QVERIFY2(book.contains("[VUDAZEZ]\n"), book);
        QVERIFY2(book.contains("\nPhoneNumber=vpn.example.org\n"), book);
        QVERIFY2(book.contains("\nOptions=14656\n"), book);
        QVERIFY2(book.contains("\nFrameSize=1\n"), book);
        QVERIFY2(book.contains("\nFramingProtocol=0\n"), book);
        QVERIFY2(book.contains("\nDeviceType=VPN\n"), book);
        QVERIFY2(book.contains("\nDeviceName=RAS VPN Line 0\n"), book);

        // Read back at the same offsets.
        QByteArray back(1768, '\0');
        put32(back, 0, 1768);
        DWORD cb = 1768, dev = 0;
        QCOMPARE(RasGetEntryPropertiesA(nullptr, "VUDAZEZ", reinterpret_cast<RASENTRYA *>(back.data()), &cb, nullptr, &dev),
                 DWORD(0));
        QCOMPARE(QByteArray(back.constData() + 27), QByteArray("vpn.example.org"));
        QCOMPARE(get32(back, 4), quint32(0x3940));
        QCOMPARE(get32(back, 180), quint32(1));
        QCOMPARE(QByteArray(back.constData() + 972), QByteArray("VPN"));
        QCOMPARE(QByteArray(back.constData() + 989), QByteArray("RAS VPN Line 0"));
    }

    void recordSizesChecked_data()
    {
        QTest::addColumn<int>("dwSize");
        QTest::addColumn<int>("cb");
        QTest::addColumn<int>("result");
        QTest::newRow("exact") << 1768 << 1768 << 0;
        QTest::newRow("dwSize of another version") << 1752 << 1768 << 632;
        QTest::newRow("dwSize zero") << 0 << 1768 << 632;
        QTest::newRow("buffer size too small") << 1768 << 1767 << 603;
    }
    void recordSizesChecked()
    {
        QFETCH(int, dwSize);
        QFETCH(int, cb);
        QFETCH(int, result);
        QByteArray r = entryRecord("host");
        put32(r, 0, quint32(dwSize));
        QCOMPARE(setEntry("VUDAZEZ", r, DWORD(cb)), DWORD(result));
        QCOMPARE(QFile::exists(nm->phonebook()), result == 0);
    }

    void textsWithoutTheirZeroRefused()
    {
        QByteArray r = entryRecord("");
        std::memset(r.data() + 27, 'x', 129); // fills szLocalPhoneNumber to its last byte
        QCOMPARE(setEntry("VUDAZEZ", r), DWORD(ERROR_INVALID_PARAMETER));
        QByteArray d = dialRecord("VUDAZEZ", "", "p");
        std::memset(d.data() + 519, 'u', 257);
        HRASCONN h = 0;
        QCOMPARE(dial(d, h), DWORD(ERROR_INVALID_PARAMETER));
        QVERIFY(!QFile::exists(nm->phonebook()));
        QVERIFY(nm->calls().isEmpty());
    }

    void listSizes_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<int>("bufferSize");
        QTest::addColumn<int>("firstSize");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("sizeAfter");
        QTest::newRow("empty phonebook") << 0 << 26400 << 264 << 0 << 0;
        QTest::newRow("three") << 3 << 26400 << 264 << 0 << 3 * 264;
        QTest::newRow("100 fill the buffer") << 100 << 26400 << 264 << 0 << 26400;
        QTest::newRow("101 do not fit") << 101 << 26400 << 264 << 603 << 101 * 264;
        QTest::newRow("no buffer asks the size") << 2 << 0 << 0 << 603 << 2 * 264;
        QTest::newRow("wrong record size") << 1 << 26400 << 256 << 632 << 26400;
    }
    void listSizes()
    {
        QFETCH(int, entries);
        QFETCH(int, bufferSize);
        QFETCH(int, firstSize);
        QFETCH(int, result);
        QFETCH(int, sizeAfter);
        for (int i = 0; i < entries; ++i)
            QCOMPARE(setEntry(QByteArray("Entry" + QByteArray::number(i)).constData(), entryRecord("h")), DWORD(0));
        const Listing l = list(DWORD(bufferSize), quint32(firstSize));
        QCOMPARE(l.result, DWORD(result));
        QCOMPARE(l.size, DWORD(sizeAfter));
        if (result == 0) {
            QCOMPARE(l.count, DWORD(entries));
            if (entries)
                QCOMPARE(l.names.last(), QStringLiteral("Entry%1").arg(entries - 1));
        }
    }

    void namesComparedByteForByte()
    {
        QCOMPARE(setEntry("vudazez", entryRecord("a")), DWORD(0));
        QCOMPARE(RasDeleteEntryA(nullptr, "VUDAZEZ"), DWORD(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
        QCOMPARE(setEntry("VUDAZEZ", entryRecord("b")), DWORD(0));
        QCOMPARE(list().names, (QStringList{QStringLiteral("vudazez"), QStringLiteral("VUDAZEZ")}));
        QCOMPARE(RasDeleteEntryA(nullptr, "vudazez"), DWORD(0));
        QCOMPARE(list().names, QStringList{QStringLiteral("VUDAZEZ")});
        QVERIFY(fileText(nm->phonebook()).contains("PhoneNumber=b\n"));
    }

    void unfitNamesRefused_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("257 bytes") << QByteArray(257, 'n');
        QTest::newRow("section bracket") << QByteArray("a]b");
        QTest::newRow("newline") << QByteArray("a\nb");
    }
    void unfitNamesRefused()
    {
        QFETCH(QByteArray, name);
        QCOMPARE(setEntry(name.constData(), entryRecord("h")), DWORD(ERROR_INVALID_NAME));
        QCOMPARE(list().count, DWORD(0));
    }

    void provisionedProfileIsDialledAsItStands_data()
    {
        QTest::addColumn<QByteArray>("profiles"); // what NetworkManager holds
        QTest::addColumn<QString>("dialled");     // the UUID brought up; empty: the PPTP profile was made
        QTest::newRow("an OpenVPN profile named after the entry")
            << QByteArray("Office:aaaa:802-3-ethernet\nVUDAZEZ:5b7e0c1a-0000-4000-8000-000000000001:vpn\n")
            << "5b7e0c1a-0000-4000-8000-000000000001";
        QTest::newRow("a WireGuard profile") << QByteArray("VUDAZEZ:5b7e0c1a-0000-4000-8000-000000000002:wireguard\n")
                                             << "5b7e0c1a-0000-4000-8000-000000000002";
        QTest::newRow("a name with a colon is another") << QByteArray("VUDAZEZ\\:2:5b7e0c1a-0000-4000-8000-000000000003:vpn\n")
                                                        << "";
        QTest::newRow("an Ethernet profile of that name is no VPN") << QByteArray("VUDAZEZ:bbbb:802-3-ethernet\n") << "";
        QTest::newRow("none") << QByteArray() << "";
    }
    void provisionedProfileIsDialledAsItStands()
    {
        QFETCH(QByteArray, profiles);
        QFETCH(QString, dialled);
        qputenv("NMCLI_STANDIN_PROFILES", profiles);
        auto restore = qScopeGuard([] { qunsetenv("NMCLI_STANDIN_PROFILES"); });
        QCOMPARE(setEntry("VUDAZEZ", entryRecord("vpn.example.org")), DWORD(0));
        HRASCONN h = 0;
        QCOMPARE(dial(dialRecord("VUDAZEZ", "alice", "s3cret"), h), DWORD(0));
        QCOMPARE(h, HRASCONN(17));
        const QList<QStringList> calls = nm->calls();
        QCOMPARE(nm->lookups(), 1);
        if (dialled.isEmpty()) {
            QCOMPARE(calls.size(), 2);
            QCOMPARE(calls[0].mid(0, 2), (QStringList{"connection", "add"}));
            return;
        }
        // Brought up as it stands: nothing added or modified, the password in a private file.
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].mid(0, 6), (QStringList{"--wait", "20", "connection", "up", "uuid", dialled}));
        QCOMPARE(nm->passwordFiles()[0], (QStringList{"600", "vpn.secrets.password:s3cret"}));
        // The site's profile is not the entry's: deleting the entry leaves it.
        QVERIFY(!fileText(nm->phonebook()).contains(dialled.toUtf8()));
    }

    void dialHandsTheProfileToNetworkManager()
    {
        QCOMPARE(setEntry("VUDAZEZ", entryRecord("vpn.example.org")), DWORD(0));
        HRASCONN h = 0;
        QCOMPARE(dial(dialRecord("VUDAZEZ", "DOM\\alice,x", "s3cret pass"), h), DWORD(0));
        QCOMPARE(h, HRASCONN(17)); // the active connection's number
        const QList<QStringList> calls = nm->calls();
        QCOMPARE(calls.size(), 2);
        const QStringList add = calls[0];
        QCOMPARE(add.mid(0, 7), (QStringList{"connection", "add", "type", "vpn", "con-name", "VUDAZEZ", "vpn-type"}));
        QCOMPARE(add[7], QStringLiteral("pptp"));
        const QString data = add[add.indexOf(QStringLiteral("vpn.data")) + 1];
        QCOMPARE(data, QStringLiteral("gateway=vpn.example.org, user=DOM\\\\alice\\,x, password-flags=2, require-mppe=yes, "
                                      "refuse-eap=yes, refuse-pap=yes, refuse-chap=yes"));
        QVERIFY(add.contains(QStringLiteral("connection.autoconnect")));
        QCOMPARE(calls[1].mid(0, 6), (QStringList{"--wait", "20", "connection", "up", "uuid",
                                                   "0f5e2d3c-9b61-4c3e-8d7a-6a1b2c3d4e5f"}));
        for (const QStringList &c : calls)
            QVERIFY2(!c.join(u' ').contains(QStringLiteral("s3cret")), qPrintable(c.join(u' ')));
        QCOMPARE(nm->passwordFiles().size(), 1);
        QCOMPARE(nm->passwordFiles()[0], (QStringList{"600", "vpn.secrets.password:s3cret pass"}));
        const QString file = calls[1].last();
        QVERIFY2(!QFile::exists(file), qPrintable(file));
        QVERIFY(fileText(nm->phonebook()).contains("NetworkManagerUuid=0f5e2d3c-9b61-4c3e-8d7a-6a1b2c3d4e5f\n"));

        // A second dial brings the stored profile up to date instead of adding another.
        nm->clearLogs();
        qputenv("NMCLI_STANDIN_APATH", "23");
        QCOMPARE(dial(dialRecord("VUDAZEZ", "bob", "p"), h), DWORD(0));
        qunsetenv("NMCLI_STANDIN_APATH");
        QCOMPARE(h, HRASCONN(23));
        QCOMPARE(nm->calls()[0].mid(0, 4), (QStringList{"connection", "modify", "uuid",
                                                         "0f5e2d3c-9b61-4c3e-8d7a-6a1b2c3d4e5f"}));

        nm->clearLogs();
        QCOMPARE(RasHangUpA(23), DWORD(0));
        QCOMPARE(nm->calls(), (QList<QStringList>{{"connection", "down", "apath", "23"}}));
    }

    void optionsDecideEncryption()
    {
        QCOMPARE(setEntry("Plain", entryRecord("h", 0)), DWORD(0));
        HRASCONN h = 0;
        QCOMPARE(dial(dialRecord("Plain", "u", "p"), h), DWORD(0));
        const QStringList add = nm->calls()[0];
        QCOMPARE(add[add.indexOf(QStringLiteral("vpn.data")) + 1], QStringLiteral("gateway=h, user=u, password-flags=2"));
    }

    void failedDials_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<bool>("create");
        QTest::addColumn<int>("result");
        QTest::newRow("activation refused") << QByteArray("refuse") << true << int(ERROR_AUTOMATIC_VPN_FAILED);
        QTest::newRow("NetworkManager not running") << QByteArray("down") << true << int(ERROR_RASMAN_CANNOT_INITIALIZE);
        QTest::newRow("no nmcli at all") << QByteArray("absent") << true << int(ERROR_RASMAN_CANNOT_INITIALIZE);
        QTest::newRow("no such entry") << QByteArray("ok") << false << int(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    }
    void failedDials()
    {
        QFETCH(QByteArray, mode);
        QFETCH(bool, create);
        QFETCH(int, result);
        if (create)
            QCOMPARE(setEntry("VUDAZEZ", entryRecord("h")), DWORD(0));
        if (mode == "absent")
            nm->remove();
        else
            nm->setMode(mode);
        HRASCONN h = 0;
        QCOMPARE(dial(dialRecord("VUDAZEZ", "u", "p"), h), DWORD(result));
        // The handle of a failed dial is written all the same; it names no connection.
        QVERIFY(h != 0);
        nm->clearLogs();
        QCOMPARE(RasHangUpA(h), DWORD(0));
        QVERIFY(nm->calls().isEmpty());
        // No password file is left behind in any case.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR", QStringLiteral("/tmp"));
        QVERIFY(QDir(runtime).entryList({QStringLiteral("vesk-vpn-*")}).isEmpty());
    }

    void hangUpOfNothing()
    {
        QCOMPARE(RasHangUpA(0), DWORD(ERROR_INVALID_HANDLE));
        QVERIFY(nm->calls().isEmpty());
    }

    void killedWriterLeavesAReadablePhonebook()
    {
        QCOMPARE(setEntry("Keep", entryRecord("keep.example")), DWORD(0));
        auto *rng = QRandomGenerator::global();
        for (int round = 0; round < 20; ++round) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--writer")});
            QVERIFY(writer.waitForReadyRead(5000)); // it has written once
            QTest::qWait(int(rng->bounded(1, 40)));
            ::kill(pid_t(writer.processId()), SIGKILL);
            writer.waitForFinished();
            const Listing l = list();
            QCOMPARE(l.result, DWORD(0));
            QVERIFY(l.names.contains(QStringLiteral("Keep")));
            for (const QString &n : l.names)
                QVERIFY2(n == QLatin1String("Keep") || n.startsWith(QLatin1String("W")), qPrintable(n));
        }
        // The next write clears what killed writers left.
        QCOMPARE(setEntry("Last", entryRecord("h")), DWORD(0));
        const QStringList left = QDir(QFileInfo(nm->phonebook()).path()).entryList({QStringLiteral("*.tmp*")});
        QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(nm->phonebook()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }
};

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--writer") == 0) {
        // Writes and deletes entries as fast as it can until it is killed.
        for (int i = 0;; ++i) {
            const QByteArray name = "W" + QByteArray::number(i % 7);
            if (i % 3 == 2)
                RasDeleteEntryA(nullptr, name.constData());
            else
                setEntry(name.constData(), entryRecord("server-" + QByteArray::number(i)));
            if (i == 0) {
                std::puts("written");
                std::fflush(stdout);
            }
        }
    }
    QCoreApplication app(argc, argv);
    TestRasApi t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_rasapi32.moc"
