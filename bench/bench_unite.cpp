// Reassembly of a 64 MiB program in 256 KiB chunks from the stand-in on loopback,
// against its parts measured alone in the same run: fetch, inflate, write.
#include "ChunkRecords.h"
#include "Files.h"
#include "TestServer.h"
#include "db/SqlConnection.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr qsizetype kProgram = 64 * 1024 * 1024;
constexpr qsizetype kChunk = 256 * 1024;
constexpr int kRounds = 7;

long statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
    return -1;
}

void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The best of the rounds: what the work costs when the machine lets it run.
double best(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

double seconds(const std::function<void()> &work)
{
    QElapsedTimer t;
    t.start();
    work();
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestServer server(TestServer::standardSchema());
    if (!server.ok()) {
        fprintf(stderr, "bench: the stand-in did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    // Not kept in memory, so that the peak below is the reassembly's own.
    putFile(dir.filePath(QStringLiteral("program.bin")), chunks::programBytes(kProgram, 42));
    QProcess publish;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VESK_PUBLISH_PASSWORD"), TestServer::password);
    publish.setProcessEnvironment(env);
    publish.start(QStringLiteral(VESK_PUBLISH),
                  {QStringLiteral("--server"), server.server(), QStringLiteral("--version"), QStringLiteral("2"),
                   QStringLiteral("--chunk-size"), QString::number(kChunk), QStringLiteral("--level"),
                   QStringLiteral("6"), dir.filePath(QStringLiteral("program.bin"))});
    if (!publish.waitForFinished(600000) || publish.exitCode() != 0) {
        fprintf(stderr, "bench: publishing failed: %s\n", publish.readAllStandardError().constData());
        return 1;
    }
    const int count = int((kProgram + kChunk - 1) / kChunk);

    SqlConnection connection(QStringLiteral("bench"));
    connection.setTarget({server.server(), QStringLiteral("VeskDB")});
    connection.open(TestServer::login, TestServer::password);

    auto runUnite = [&] {
        TFileDivisionAndUnite worker;
        worker.Connection = &connection;
        worker.TargetDirectory = dir.path();
        worker.UniteFile();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    // A first, untimed reassembly measures the peak memory: nothing else is held yet.
    const long baseKiB = statusKiB("VmRSS:");
    resetPeak();
    runUnite();
    const long peakKiB = statusKiB("VmHWM:");
    const bool identical = fileBytes(dir.filePath(QStringLiteral("DovaDu.exe"))) == chunks::programBytes(kProgram, 42);

    std::vector<QByteArray> records(static_cast<size_t>(count));
    std::vector<QByteArray> inflated(static_cast<size_t>(count));
    auto fetchAll = [&] {
        SqlQuery q(connection);
        q.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
        q.open();
        for (int i = 0; i < count; ++i) {
            q.close();
            q.SQL = QStringList{QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(i)};
            q.open();
            records[size_t(i)] = q.blobField(QStringLiteral("ExEPic"));
        }
    };
    // Like the reassembly, it ends up holding the whole program in new memory; the
    // previous round's copy is released only afterwards.
    auto inflateAll = [&] {
        TLoadBinaryDataToDB loader;
        std::vector<QByteArray> program;
        program.reserve(size_t(count));
        for (int i = 0; i < count; ++i) {
            TMemoryStream chunk;
            chunk.data = records[size_t(i)];
            loader.DecompressChunk(chunk);
            program.push_back(std::move(chunk.data));
        }
        inflated.swap(program);
    };
    auto writeAll = [&] {
        QSaveFile out(dir.filePath(QStringLiteral("written.bin")));
        out.open(QIODevice::WriteOnly);
        for (const QByteArray &part : inflated)
            out.write(part);
        out.commit(); // flushed to disk and renamed, as the reassembly does
    };
    fetchAll(); // warms the server's cache for every pass alike
    // Rounds interleave the passes so that the machine's ups and downs hit all of them.
    std::vector<double> unite, fetch, inflate, write;
    for (int r = 0; r < kRounds; ++r) {
        unite.push_back(seconds(runUnite));
        fetch.push_back(seconds(fetchAll));
        inflate.push_back(seconds(inflateAll));
        write.push_back(seconds(writeAll));
    }

    const double mib = double(kProgram) / (1024.0 * 1024.0);
    const double u = best(unite), fe = best(fetch), in = best(inflate), wr = best(write);
    auto line = [&](const char *what, double s) { printf("%-22s %8.3f s %9.1f MiB/s\n", what, s, mib / s); };
    printf("program %.0f MiB in %d chunks of %lld KiB, best of %d interleaved rounds\n", mib, count,
           qlonglong(kChunk / 1024), kRounds);
    line("reassembly (UniteFile)", u);
    line("fetch only", fe);
    line("inflate only", in);
    line("write only", wr);
    const double ratio = u / (fe + in + wr);
    printf("ratio reassembly / (fetch + inflate + write) = %.3f (target <= 1.15)\n", ratio);
    const double limitMiB = mib + 2.0 * double(kChunk) / (1024.0 * 1024.0) + 64.0;
    printf("peak memory during the reassembly: %.1f MiB resident, %.1f MiB above the %.1f MiB before it"
           " (target <= %.1f MiB)\n",
           double(peakKiB) / 1024.0, double(peakKiB - baseKiB) / 1024.0, double(baseKiB) / 1024.0, limitMiB);
    printf("rebuilt program byte-identical: %s\n", identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
