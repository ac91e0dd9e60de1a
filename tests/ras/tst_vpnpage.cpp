// The VPN page of the real login window, pressing its button as an operator does, against
// the real remote-access service (librasapi32.so beside the program) and a stand-in nmcli.
#include "LoginUnit.h"
#include "NmcliStandin.h"
#include "ProgramCopy.h"
#include "RecordingDialogs.h"
#include "core/Application.h"
#include "platform/RasApi.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>
#include <cstring>

namespace {

const QString kConnected = QStringLiteral("VPN连接成功");
const QString kFailed = QStringLiteral("VPN连接失败");

// Adds an entry straight through the service, as another program of the user would.
void addEntry(const char *name, const QByteArray &server)
{
    RASENTRYA e{};
    e.dwSize = sizeof e;
    std::memcpy(e.szLocalPhoneNumber, server.constData(), size_t(server.size()));
    QCOMPARE(RasSetEntryPropertiesA(nullptr, name, &e, sizeof e, nullptr, 0), DWORD(0));
}

class Page {
public:
    NmcliStandin nm;
    RecordingDialogs dialogs;
    TLoginForm form;

    Page()
    {
        form.show();
        form.PageControl_Data->setCurrentWidget(form.TabSheet2);
        setFields(QStringLiteral("vpn.example.org"), QStringLiteral("alice"), QStringLiteral("pw"));
    }
    void setFields(const QString &server, const QString &user, const QString &password)
    {
        for (auto [edit, text] : {std::pair{form.ServerIPName, server}, {form.VPNUserName, user},
                                  {form.VPNPassWord, password}}) {
            edit->clear();
            QTest::keyClicks(edit, text);
        }
    }
    void press()
    {
        nm.clearLogs();
        dialogs.boxes.clear();
        QTest::mouseClick(form.Button1, Qt::LeftButton);
    }
    QString stored(const char *key) const
    {
        QFile f(nm.phonebook());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        bool inEntry = false; // in the section [VUDAZEZ]
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith('['))
                inEntry = line == "[VUDAZEZ]";
            else if (inEntry && line.startsWith(QByteArray(key) + '='))
                return QString::fromUtf8(line.mid(int(std::strlen(key)) + 1));
        }
        return {};
    }
};

const QStringList kCreateAndDial{"RasEnumEntriesA", "RasHangUpA 0", "RasDeleteEntryA VUDAZEZ",
                                 "RasSetEntryPropertiesA VUDAZEZ", "RasDialA VUDAZEZ"};

} // namespace

class TestVpnPage : public QObject {
    Q_OBJECT

private slots:
    // First, while the loader has never been served in this process: its state lasts
    // for the run.
    void loaderFailureEndsTheHandler()
    {
        const QString lib = programDirectory() + QStringLiteral("librasapi32.so");
        const QString aside = lib + QStringLiteral(".aside");
        QVERIFY(QFile::rename(lib, aside));
        Page p;
        p.press();
        QVERIFY(QFile::rename(aside, lib));
        QCOMPARE(p.dialogs.errors(), QStringList{QStringLiteral("Error opening rasapi32.dll.")});
        QVERIFY(p.dialogs.notices().isEmpty());
        // Only the list was asked (bound at load), nothing after the failed lookup.
        QCOMPARE(p.nm.serviceCalls(), (QStringList{"RasEnumEntriesA", "RasHangUpA 0"}));
        QVERIFY(p.form.isVisible());
        // The next press finds the library and goes on.
        p.press();
        QCOMPARE(p.nm.serviceCalls(), kCreateAndDial);
        QCOMPARE(p.dialogs.notices(), QStringList{kConnected});
    }

    void missingEntryIsCreatedAndDialled()
    {
        Page p;
        QCOMPARE(p.form.RasConnHandle, 0u);
        p.press();
        QCOMPARE(p.nm.serviceCalls(), kCreateAndDial);
        QCOMPARE(p.dialogs.notices(), QStringList{kConnected});
        QVERIFY(p.dialogs.errors().isEmpty());
        QCOMPARE(p.form.RasConnHandle, 17u);
        QCOMPARE(p.stored("PhoneNumber"), QStringLiteral("vpn.example.org"));
        QCOMPARE(p.stored("Options"), QStringLiteral("14656"));
        QCOMPARE(p.stored("DeviceType"), QStringLiteral("VPN"));
        QCOMPARE(p.stored("DeviceName"), QStringLiteral("RAS VPN Line 0"));
        QCOMPARE(p.stored("FrameSize"), QStringLiteral("1"));
        QCOMPARE(p.nm.passwordFiles(), (QList<QStringList>{{"600", "vpn.secrets.password:pw"}}));
    }

    void presentEntryIsOnlyDialled()
    {
        Page p;
        p.press();
        p.setFields(QStringLiteral("other.example.org"), QStringLiteral("alice"), QStringLiteral("pw"));
        p.press();
        // A second press hangs up the first connection, then dials the stored entry.
        QCOMPARE(p.nm.serviceCalls(), (QStringList{"RasEnumEntriesA", "RasHangUpA 17", "RasDialA VUDAZEZ"}));
        QCOMPARE(p.nm.calls().first(), (QStringList{"connection", "down", "apath", "17"}));
        QCOMPARE(p.stored("PhoneNumber"), QStringLiteral("vpn.example.org"));
        const QStringList modify = p.nm.calls()[1];
        QVERIFY2(modify.join(u' ').contains(QStringLiteral("gateway=vpn.example.org,")), qPrintable(modify.join(u' ')));
        QCOMPARE(p.dialogs.notices(), QStringList{kConnected});
    }

    void entriesThatAreNotFound_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<int>("presses"); // that go through the creation
        QTest::newRow("another letter case") << QByteArrayList{"vudazez", "Vudazez"} << 1;
        QByteArrayList many;
        for (int i = 0; i < 100; ++i)
            many << "Site" + QByteArray::number(i);
        many << "VUDAZEZ"; // the 101st: the list no longer fits
        QTest::newRow("more than 100 entries, at every press") << many << 3;
    }
    void entriesThatAreNotFound()
    {
        QFETCH(QByteArrayList, entries);
        QFETCH(int, presses);
        Page p;
        for (const QByteArray &name : entries)
            addEntry(name.constData(), "old.example.org");
        for (int press = 0; press < presses; ++press) {
            const uint32_t before = p.form.RasConnHandle;
            p.press();
            QStringList expected{"RasEnumEntriesA", QStringLiteral("RasHangUpA %1").arg(before),
                                 "RasDeleteEntryA VUDAZEZ", "RasSetEntryPropertiesA VUDAZEZ"};
            if (before) // hung up once more before the dial
                expected << QStringLiteral("RasHangUpA %1").arg(before);
            QCOMPARE(p.nm.serviceCalls(), expected << "RasDialA VUDAZEZ");
            QCOMPARE(p.dialogs.notices(), QStringList{kConnected});
        }
        QCOMPARE(p.stored("PhoneNumber"), QStringLiteral("vpn.example.org"));
    }

    void failedDialKeepsItsHandle()
    {
        Page p;
        p.nm.setMode("refuse");
        p.press();
        QCOMPARE(p.dialogs.notices(), QStringList{kFailed});
        QVERIFY(p.dialogs.errors().isEmpty());
        const uint32_t failed = p.form.RasConnHandle;
        QVERIFY(failed != 0);
        // Hung up at the next press, before the new dial.
        p.nm.setMode("ok");
        p.press();
        QCOMPARE(p.nm.serviceCalls(),
                 (QStringList{"RasEnumEntriesA", QStringLiteral("RasHangUpA %1").arg(failed), "RasDialA VUDAZEZ"}));
        QCOMPARE(p.dialogs.notices(), QStringList{kConnected});
        QCOMPARE(p.form.RasConnHandle, 17u);
    }

    void withoutNetworkManager()
    {
        Page p;
        p.nm.remove();
        p.press();
        QCOMPARE(p.dialogs.notices(), QStringList{kFailed});
        QVERIFY(p.dialogs.errors().isEmpty());
    }

    void blanksTrimmed()
    {
        Page p;
        p.form.ServerIPName->setText(QStringLiteral(" \tvpn.example.org  "));
        p.form.VPNUserName->setText(QStringLiteral("  alice "));
        p.form.VPNPassWord->setText(QStringLiteral(" pass word\t"));
        p.press();
        QCOMPARE(p.stored("PhoneNumber"), QStringLiteral("vpn.example.org"));
        const QStringList add = p.nm.calls().first();
        QVERIFY2(add.join(u' ').contains(QStringLiteral("user=alice,")), qPrintable(add.join(u' ')));
        QCOMPARE(p.nm.passwordFiles(), (QList<QStringList>{{"600", "vpn.secrets.password:pass word"}}));
    }

    void fieldLengths_data()
    {
        QTest::addColumn<int>("server");
        QTest::addColumn<int>("user");
        QTest::addColumn<int>("password");
        QTest::addColumn<QString>("error");
        QTest::newRow("each at its limit") << 128 << 256 << 256 << QString();
        QTest::newRow("server 129 bytes") << 129 << 5 << 5
                                          << QStringLiteral("The VPN server address is longer than the 128 bytes the "
                                                            "remote-access service takes.");
        QTest::newRow("user 257 bytes") << 5 << 257 << 5
                                        << QStringLiteral("The VPN user name is longer than the 256 bytes the "
                                                          "remote-access service takes.");
        QTest::newRow("password 257 bytes") << 5 << 5 << 257
                                            << QStringLiteral("The VPN password is longer than the 256 bytes the "
                                                              "remote-access service takes.");
    }
    void fieldLengths()
    {
        QFETCH(int, server);
        QFETCH(int, user);
        QFETCH(int, password);
        QFETCH(QString, error);
        Page p;
        // Chinese text counts in bytes: each character here is three.
        const QString s = QString(server % 3, u'h') + QString(server / 3, u'服');
        p.form.ServerIPName->setText(s);
        p.form.VPNUserName->setText(QString(user, u'u'));
        p.form.VPNPassWord->setText(QString(password, u'p'));
        p.press();
        if (error.isEmpty()) {
            QCOMPARE(p.nm.serviceCalls(), kCreateAndDial);
            QCOMPARE(p.stored("PhoneNumber"), s);
        } else {
            QCOMPARE(p.dialogs.errors(), QStringList{error});
            QVERIFY(p.dialogs.notices().isEmpty());
            QVERIFY(p.nm.serviceCalls().isEmpty()); // refused before any call
        }
    }
};

int main(int argc, char *argv[])
{
    if (const int rc = runAsProgramCopy(argc, argv, {QStringLiteral(VESK_RASAPI32)}); rc >= 0)
        return rc;
    QApplication app(argc, argv);
    TestVpnPage t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_vpnpage.moc"
