// The client side of bench_link.sh: one reassembly against a stand-in reached over a
// bandwidth-limited link, in the network namespace the script runs it in.
//   bench_link_client SERVER DIR           prints "seconds S requests N peak_mib M login_s L"
//   bench_link_client SERVER DIR --stop T  presses the stop button T seconds in and prints
//                                          "stop_to_end S appended N"
//   bench_link_client SERVER DIR --full    the whole program, even where a patch would do
// A reassembly also prints "patch_bytes B patches P" after its figures.
#include "core/Exceptions.h"
#include "Memory.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/ShowFormUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool full = argc == 4 && QByteArray(argv[3]) == "--full";
    if (argc != 3 && argc != 5 && !full) {
        std::fprintf(stderr, "usage: bench_link_client SERVER DIR [--stop SECONDS | --full]\n");
        return 2;
    }
    const double stopAt = argc == 5 ? QByteArray(argv[4]).toDouble() : -1;
    SqlConnection connection(QStringLiteral("bench"));
    QElapsedTimer clock;
    clock.start();
    try {
        connection.setTarget({QString::fromLocal8Bit(argv[1]), QStringLiteral("VeskDB")});
        connection.open(qEnvironmentVariable("VESK_BENCH_LOGIN"), qEnvironmentVariable("VESK_BENCH_PASSWORD"));
    } catch (const Exception &e) {
        std::fprintf(stderr, "bench_link_client: %s\n", qPrintable(e.message()));
        return 1;
    }
    const double login = double(clock.nsecsElapsed()) / 1e9;
    // The press is the operator's at that moment: the window sees it only between chunks,
    // when the loop runs, so the wait counts from the moment of the press.
    int appended = 0;
    if (stopAt >= 0)
        QTimer::singleShot(int(stopAt * 1000), [&] {
            if (ShowForm) {
                appended = ShowForm->ProgressBar1->value();
                ShowForm->BitBtn1->click();
            }
        });
    TFileDivisionAndUnite unite;
    unite.Connection = &connection;
    unite.TargetDirectory = QString::fromLocal8Bit(argv[2]);
    unite.UsePatches = !full;
    clock.restart();
    QString outcome;
    try {
        unite.UniteFile();
    } catch (const SilentAbort &) {
        outcome = QStringLiteral("stopped");
    } catch (const Exception &e) {
        outcome = e.message();
    }
    const double took = double(clock.nsecsElapsed()) / 1e9;
    if (stopAt >= 0) {
        if (outcome != QLatin1String("stopped")) {
            std::fprintf(stderr, "bench_link_client: not stopped: %s\n", qPrintable(outcome));
            return 1;
        }
        std::printf("stop_to_end %.3f appended %d\n", took - stopAt, appended);
        return 0;
    }
    if (!outcome.isEmpty()) {
        std::fprintf(stderr, "bench_link_client: %s\n", qPrintable(outcome));
        return 1;
    }
    std::printf("seconds %.3f requests %d peak_mib %.1f login_s %.3f patch_bytes %lld patches %d\n", took,
                unite.ChunkRequests + unite.PatchRequests, double(peakKiB()) / 1024.0, login,
                qlonglong(unite.PatchBytes), unite.PatchesApplied);
    return 0;
}
