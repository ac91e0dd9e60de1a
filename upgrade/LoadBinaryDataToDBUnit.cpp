#include "LoadBinaryDataToDBUnit.h"

#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "platform/AtomicFile.h"
#include "upgrade/PatchRoad.h"
#include "upgrade/ProgramFile.h"
#include "upgrade/ProgramSize.h"
#include "upgrade/PublishedProgram.h"
#include "upgrade/UpgradeProgress.h"

#include <QDir>
#include <QScopeGuard>
#include <vector>

namespace {

struct Rebuilt {
    std::vector<QByteArray> parts; // the whole program, part after part
    QByteArray sha256;
    qint64 length = 0;
};

} // namespace

void TFileDivisionAndUnite::UniteFile()
{
    const QString target = QDir(TargetDirectory).filePath(QStringLiteral("DovaDu.exe"));
    ProgramFile file(target);
    ChunkRequests = PatchRequests = PatchesApplied = 0;
    PatchBytes = 0;
    PatchesNotUsed.clear();
    InstalledVersion = 0;

    const Published published = readPublished(*Connection);
    const int count = published.counts;

    ChunkLoader = std::make_unique<TLoadBinaryDataToDB>();
    auto releaseLoader = qScopeGuard([this] { ChunkLoader.reset(); });
    UpgradeProgress progress;
    progress.setSteps(count);

    std::optional<Rebuilt> rebuilt;
    QByteArray old;
    if (UsePatches && !published.sha256.isNull() && readWholeFile(target, old) == 0) {
        PatchRoad road(*Connection, BatchBytes);
        road.setSteps = [&](int parts) { progress.setSteps(parts); };
        road.setDone = [&](int done) { progress.setDone(done); };
        road.stopRequested = &UpgradeProgress::stopRequested;
        auto measured = qScopeGuard([&] {
            PatchRequests = road.requests;
            PatchBytes = road.bytesFetched;
            PatchesApplied = road.patchesApplied;
            PatchesNotUsed = road.whyNot;
        });
        if (std::optional<QByteArray> program = road.rebuild(published, std::move(old))) {
            rebuilt.emplace();
            rebuilt->sha256 = road.resultSha256();
            rebuilt->length = program->size();
            rebuilt->parts.push_back(std::move(*program));
        }
    }

    if (!rebuilt) {
        // The whole program, chunk after chunk, in the same window.
        progress.setSteps(count);
        rebuilt.emplace();
        BackgroundSha256 hash;
        BatchedDownload download(*Connection, BatchBytes);
        download.statement = chunkStatement;
        download.column = QLatin1String(kChunkColumn);
        download.stopRequested = &UpgradeProgress::stopRequested;
        auto counted = qScopeGuard([&] { ChunkRequests = download.requests; });
        download.run(count, [&](int i, QByteArray &&record, bool) {
            TMemoryStream chunk;
            chunk.data = std::move(record);
            if (declaredChunkSize(chunk) > kMaxProgramSize - rebuilt->length)
                throw Exception(QStringLiteral("The program on the server is larger than 2 GiB, more than an upgrade "
                                               "installs. The old program is kept; nothing was installed or started."));
            ChunkLoader->DecompressChunk(chunk);
            hash.add(chunk.data);
            rebuilt->length += chunk.data.size();
            rebuilt->parts.push_back(std::move(chunk.data));
            progress.setDone(i + 1);
        });
        rebuilt->sha256 = hash.result();
    }

    // A publish that committed while the program came would give one made of two versions,
    // each part passing its own check: refuse it; the next login downloads the new version.
    if (readPublished(*Connection) != published)
        throw Exception(QStringLiteral("The program on the server changed during the download. The old program is "
                                       "kept; log in again to download the new version"));
    checkSeal(published, rebuilt->sha256, rebuilt->length, ReleaseKeys);
    file.write(rebuilt->parts);
    InstalledVersion = published.version.toInt();
}
