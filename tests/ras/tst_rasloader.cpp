// The loader's two-library lookup: each scenario runs in a process of its own, from a
// folder holding the chosen stand-ins under the names the loader opens.
#include <QDir>
#include <QProcess>
#include <QtTest>

namespace {

// What a folder holds under "librasapi32.so" and "librnaph.so": a test library or nothing.
enum Lib { None, OffersA, OffersPlain, OffersNothing };

QString libraryFile(Lib lib)
{
    switch (lib) {
    case OffersA:
        return QStringLiteral(VESK_TESTRAS_A);
    case OffersPlain:
        return QStringLiteral(VESK_TESTRAS_PLAIN);
    case OffersNothing:
        return QStringLiteral(VESK_TESTRAS_NONE);
    case None:
        break;
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(Lib)

class TestRasLoader : public QObject {
    Q_OBJECT

private slots:
    void scenarios_data()
    {
        QTest::addColumn<Lib>("rasapi32");
        QTest::addColumn<Lib>("rnaph");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("rasapi32 serves the A names, rnaph never opened")
            << OffersA << OffersPlain
            << QStringList{"delete", "set", "loaded", "rnaph", "loaded", "rasapi32"}
            << QStringList{"100", "101", "not loaded", "loaded"};
        QTest::newRow("a name rasapi32 lacks, after it served: plain name, no fallback")
            << OffersA << OffersPlain << QStringList{"delete", "proc", "RasDial", "loaded", "rnaph"}
            << QStringList{"100", "! Function RasDial not found!", "not loaded"};
        QTest::newRow("rnaph serves the plain names for the rest of the run")
            << OffersNothing << OffersPlain << QStringList{"delete", "delete", "set", "delete"}
            << QStringList{"200", "200", "! Function RasSetEntryProperties not found!", "200"};
        QTest::newRow("no rasapi32: rnaph not tried")
            << None << OffersPlain << QStringList{"delete", "loaded", "rnaph", "set"}
            << QStringList{"! Error opening rasapi32.dll", "not loaded", "! Error opening rasapi32.dll"};
        QTest::newRow("no rasapi32 and no rnaph") << None << None << QStringList{"delete"}
                                                  << QStringList{"! Error opening rasapi32.dll"};
        QTest::newRow("rasapi32 lacks the A name, no rnaph")
            << OffersNothing << None << QStringList{"delete", "set"}
            << QStringList{"! Error opening rnaph.dll", "! Error opening rnaph.dll"};
        QTest::newRow("neither offers it: plain name in the message")
            << OffersNothing << OffersNothing << QStringList{"set", "delete"}
            << QStringList{"! Function RasSetEntryProperties not found!", "! Function RasDeleteEntry not found!"};
        QTest::newRow("a failed first lookup starts again next time")
            << None << None
            << QStringList{"delete", "install", "spare-a.so", "librasapi32.so", "delete", "set"}
            << QStringList{"! Error opening rasapi32.dll", "installed", "100", "101"};
        QTest::newRow("a failed fallback starts again at rasapi32")
            << OffersNothing << None
            << QStringList{"delete", "install", "spare-plain.so", "librnaph.so", "delete", "set"}
            << QStringList{"! Error opening rnaph.dll", "installed", "200", "! Function RasSetEntryProperties not found!"};
        QTest::newRow("shutdown releases rnaph")
            << OffersNothing << OffersPlain << QStringList{"delete", "loaded", "rnaph", "finalize", "loaded", "rnaph"}
            << QStringList{"200", "loaded", "finalized", "not loaded"};
        QTest::newRow("shutdown keeps rasapi32")
            << OffersA << None << QStringList{"delete", "finalize", "loaded", "rasapi32"}
            << QStringList{"100", "finalized", "loaded"};
        QTest::newRow("shutdown with nothing resolved")
            << OffersNothing << None << QStringList{"delete", "finalize", "loaded", "rasapi32"}
            << QStringList{"! Error opening rnaph.dll", "finalized", "loaded"};
    }
    void scenarios()
    {
        QFETCH(Lib, rasapi32);
        QFETCH(Lib, rnaph);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString child = dir.filePath(QStringLiteral("loader-child"));
        QVERIFY(QFile::copy(QStringLiteral(VESK_RASLOADER_CHILD), child));
        if (rasapi32 != None)
            QVERIFY(QFile::copy(libraryFile(rasapi32), dir.filePath(QStringLiteral("librasapi32.so"))));
        if (rnaph != None)
            QVERIFY(QFile::copy(libraryFile(rnaph), dir.filePath(QStringLiteral("librnaph.so"))));
        QVERIFY(QFile::copy(libraryFile(OffersA), dir.filePath(QStringLiteral("spare-a.so"))));
        QVERIFY(QFile::copy(libraryFile(OffersPlain), dir.filePath(QStringLiteral("spare-plain.so"))));
        QProcess p;
        p.start(child, calls);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts), expected);
    }
};

QTEST_GUILESS_MAIN(TestRasLoader)
#include "tst_rasloader.moc"
