#include "Publish.h"

#include "Failure.h"
#include "PatchEstimate.h"
#include "PatchMaker.h"
#include "PatchStore.h"
#include "Progress.h"
#include "ReadBack.h"
#include "ReleaseSigning.h"
#include "Statements.h"
#include "Tables.h"
#include "Verify.h"
#include "upgrade/ProgramSeal.h"

#include <QSqlError>
#include <cstdio>
#include <optional>

namespace {

// A patch is stored only when a workstation fetches at most this share of the full
// download with it: below that, the rows and the publisher's time buy little.
constexpr double kPatchWorthIt = 0.5;
constexpr int kFirstLookEvery = 16;

QByteArray makePatchShowingProgress(const QByteArray &old, const QByteArray &neu)
{
    Progress progress;
    const QByteArray patch = makePatch(old, neu, [&](qint64 done, qint64 all) {
        progress.update([&] {
            return QStringLiteral("making the patch from the published program: %1 %").arg(all > 0 ? int(100 * done / all) : 0, 3);
        });
    });
    progress.update([&] { return QStringLiteral("making the patch from the published program: done in %1 s").arg(progress.seconds(), 0, 'f', 1); },
                    true);
    return patch;
}

// BVersion's row: the columns the publish fills, with their values.
void setVersion(SqlConnection &c, const QStringList &columns, const QVariantList &values)
{
    run(c, QStringLiteral("setting the version"), QStringLiteral("DELETE FROM BVersion"));
    run(c, QStringLiteral("setting the version"),
        QStringLiteral("INSERT INTO BVersion (%1) VALUES (%2)")
            .arg(columns.join(QStringLiteral(", ")), QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", "))),
        values);
}

} // namespace

void publish(SqlConnection &c, const ProgramFile &program, const PublishOptions &o)
{
    const QString version = QLatin1String(kVersionTable);
    const bool patching = o.keepPatches > 0;
    if (o.createTables)
        createMissingTables(c, {version, QLatin1String(kChunkTable)});
    if (o.createTables || patching)
        createMissingTables(c, kPatchTables);
    // The program's SHA-256 beside its version, so that no two publishes leave the same row
    // and a workstation can check what it rebuilt; the release key's signature over it; and
    // the patches' numbering, which must outlive the patches. A missing BVersion fails in
    // the transaction.
    addMissingColumn(c, version, QStringLiteral("Sha256"));
    if (o.signer)
        addMissingColumn(c, version, QStringLiteral("Signature"));
    const bool patchTables = tableExists(c, QLatin1String(kPatchTable)) && tableExists(c, QLatin1String(kPatchPartTable));
    if (patchTables)
        addMissingColumn(c, version, QLatin1String(kLastPatchIdColumn));
    const QByteArray sha256 = sha256Of(program.bytes);

    // The chunks are compressed on the other cores while the program published now is read
    // back and the patch from it made.
    ChunkEncoder encoder(program.bytes, o.chunkBytes, o.level);
    Previous previous;
    QByteArray patch;
    if (patching) {
        // A first look on a sixteenth of the program published now, so that a publish that
        // would store no patch reads little of it and never makes the patch.
        const double share = sampledShare(c, program.bytes, kFirstLookEvery);
        if (share < kWorthDiffing) {
            previous.any = true;
            previous.whyNone = QStringLiteral("the program published now holds only %1 % of this one, too little for "
                                              "a patch to pay")
                                   .arg(100.0 * share, 0, 'f', 1);
        } else {
            previous = previousProgram(c);
            if (previous.whyNone.isEmpty() && previous.sha256 == sha256)
                previous.whyNone = QStringLiteral("the program published now is this one");
            if (previous.whyNone.isEmpty())
                patch = makePatchShowingProgress(previous.bytes, program.bytes);
        }
    }

    QSqlDatabase db = c.database();
    if (!db.transaction())
        fail(DatabaseFailed, QStringLiteral("starting the transaction: ") + databaseErrorText(db.lastError()));
    const int all = int(std::max<qsizetype>(1, (program.bytes.size() + o.chunkBytes - 1) / o.chunkBytes));
    int counts = 0;
    qint64 stored = 0;
    QString patchNote;
    std::optional<StoredPatch> madePatch;
    int keptPatches = 0;
    try {
        run(c, QStringLiteral("deleting the old chunks"), QStringLiteral("DELETE FROM CopyRight"));
        Progress progress;
        qsizetype at = 0;
        for (; counts < encoder.count(); ++counts) {
            const QByteArray record = encoder.record(counts);
            run(c, QStringLiteral("storing chunk %1").arg(counts),
                QStringLiteral("INSERT INTO CopyRight (Idcol, ExEPic) VALUES (?, ?)"), {QString::number(counts), record});
            at = std::min<qsizetype>(at + o.chunkBytes, program.bytes.size());
            stored += record.size();
            progress.update(
                [&] {
                    return QStringLiteral("sending chunk %1 of %2, %3 of %4, %5/s")
                        .arg(counts + 1)
                        .arg(all)
                        .arg(mib(at), mib(program.bytes.size()), mib(qint64(double(at) / progress.seconds())));
                },
                counts + 1 == encoder.count());
        }
        if (!patch.isEmpty() && double(patch.size()) > kPatchWorthIt * double(stored)) {
            patchNote = QStringLiteral("no patch stored: it would be %1 % of the full download")
                            .arg(100.0 * double(patch.size()) / double(stored), 0, 'f', 1);
            patch.clear();
        } else if (patch.isEmpty() && patching && previous.any) {
            patchNote = QStringLiteral("no patch stored: %1").arg(previous.whyNone);
        }

        QStringList columns{QStringLiteral("Version"), QStringLiteral("Counts"), QStringLiteral("Sha256")};
        QVariantList values{o.version, counts, sha256};
        if (o.signer) {
            columns << QStringLiteral("Signature");
            values << o.signer->sign(signedStatement(o.version, counts, program.bytes.size(), sha256));
        }
        if (patchTables) {
            int last = lastPatchId(c, readVersionRow(c));
            QList<StoredPatch> patches = storedPatches(c);
            if (!patch.isEmpty()) {
                StoredPatch made;
                made.id = ++last;
                made.from = previous.sha256;
                made.to = sha256;
                made.toLength = program.bytes.size();
                storePatch(c, made, patch, o.patchPartBytes);
                patches << made;
                madePatch = made;
            }
            // Only the patches that lead to this program are of use to anyone.
            const QSet<int> kept = chainEndingAt(patches, sha256, o.keepPatches);
            prunePatches(c, patches, kept);
            keptPatches = int(kept.size());
            columns << QLatin1String(kLastPatchIdColumn);
            values << last;
        }
        setVersion(c, columns, values);
        if (!db.commit())
            fail(DatabaseFailed, QStringLiteral("committing: ") + databaseErrorText(db.lastError()));
    } catch (...) {
        db.rollback();
        throw;
    }
    std::printf("published %s as version %d: %lld bytes in %s, %lld bytes stored, sha-256 %s\n", qPrintable(program.name),
                o.version, qlonglong(program.bytes.size()), qPrintable(chunksText(counts)), qlonglong(stored),
                sha256.toHex().constData());
    if (o.signer)
        std::printf("signed with the release key %s\n", qPrintable(o.signer->publicKey().fingerprint()));
    if (madePatch)
        std::printf("stored a patch from the program published before: %lld bytes in %d part%s, %.1f %% of the full "
                    "download; %d patch%s kept\n",
                    qlonglong(madePatch->bytes), madePatch->parts, madePatch->parts == 1 ? "" : "s",
                    100.0 * double(madePatch->bytes) / double(stored), keptPatches, keptPatches == 1 ? "" : "es");
    else if (!patchNote.isEmpty())
        std::printf("%s\n", qPrintable(patchNote));
    if (o.verify)
        verifyPublished(c, program.bytes, o.version, counts, previous.bytes, madePatch);
}
