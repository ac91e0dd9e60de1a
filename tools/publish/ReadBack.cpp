#include "ReadBack.h"

#include "Failure.h"
#include "PatchEstimate.h"
#include "PatchStore.h"
#include "Progress.h"
#include "Statements.h"
#include "Tables.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "upgrade/ProgramSeal.h"

#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <zlib.h>

namespace {

// What is wrong with a record the launcher's decoder refused: its size in front, then
// a zlib stream of that many bytes.
QString damageOf(const QByteArray &record)
{
    if (record.size() < 4)
        return QStringLiteral("too short: %1 bytes, less than the 4-byte size in front").arg(record.size());
    const qint32 size = qFromLittleEndian<qint32>(record.constData());
    if (size < 0)
        return QStringLiteral("corrupt stream: the size in front is %1").arg(size);
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return QStringLiteral("corrupt stream");
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(record.constData() + 4));
    z.avail_in = uInt(record.size() - 4);
    QByteArray scratch(64 * 1024, Qt::Uninitialized);
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef *>(scratch.data());
        z.avail_out = uInt(scratch.size());
        rc = inflate(&z, Z_NO_FLUSH);
    } while (rc == Z_OK);
    const QString zlibSaid = QString::fromLatin1(z.msg ? z.msg : "");
    const qint64 out = qint64(z.total_out);
    const bool inputLeft = z.avail_in > 0;
    inflateEnd(&z);
    if (rc == Z_STREAM_END && out != size)
        return QStringLiteral("corrupt stream: it unpacks to %1 bytes, not the %2 its size says").arg(out).arg(size);
    if (rc == Z_BUF_ERROR && !inputLeft)
        return QStringLiteral("cut stream: its data ends after %1 of the %2 bytes it unpacks to").arg(out).arg(size);
    return zlibSaid.isEmpty() ? QStringLiteral("corrupt stream")
                              : QStringLiteral("corrupt stream: zlib finds \"%1\"").arg(zlibSaid);
}

void listPatches(SqlConnection &c, const Published &p, qint64 fullBytes)
{
    if (!tableExists(c, QLatin1String(kPatchTable))) {
        std::printf("patches:        none (no table %s: workstations download the whole program)\n", kPatchTable);
        return;
    }
    const QList<StoredPatch> patches = storedPatches(c);
    if (patches.isEmpty()) {
        std::printf("patches:        none stored: workstations download the whole program\n");
        return;
    }
    std::printf("patches:        %lld stored (from, to: the first 16 hex digits of each program's SHA-256)\n",
                qlonglong(patches.size()));
    for (const StoredPatch &patch : patches) {
        const int steps = int(patchChain(patches, patch.from, p.sha256).size());
        bool intact = true;
        try {
            patchBytes(c, patch);
        } catch (const PatchPartsDamaged &) {
            intact = false;
        }
        std::printf("  patch %d: from %s to %s, %lld bytes in %d part%s, %.1f %% of the full download; %s\n", patch.id,
                    patch.from.toHex().left(16).constData(), patch.to.toHex().left(16).constData(),
                    qlonglong(patch.bytes), patch.parts, patch.parts == 1 ? "" : "s",
                    fullBytes > 0 ? 100.0 * double(patch.bytes) / double(fullBytes) : 0.0,
                    !intact      ? "DAMAGED: workstations fall back to the whole program"
                    : steps == 0 ? "leads nowhere published now (unused)"
                    : steps == 1 ? "makes the published program"
                                 : qPrintable(QStringLiteral("leads to the published program in %1 steps").arg(steps)));
    }
}

} // namespace

Published readVersionRow(SqlConnection &c)
{
    try {
        return readPublished(c);
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading BVersion: ") + e.message());
    }
}

Published readVersion(SqlConnection &c)
{
    const Published p = readVersionRow(c);
    if (p.row.isEmpty())
        fail(Damaged, QStringLiteral("reading BVersion: it holds no row, so nothing is published"));
    return p;
}

Contents readContents(SqlConnection &c, int counts, bool keepBytes, int every)
{
    Contents out;
    Sha256 hash;
    TLoadBinaryDataToDB loader;
    Progress progress;
    for (int i = 0; i < counts; i += every) {
        QSqlQuery q = run(c, QStringLiteral("reading chunk %1").arg(i), chunkStatement(i));
        TMemoryStream chunk;
        if (!q.next()) {
            out.damaged << QStringLiteral("chunk %1: no row in CopyRight").arg(i);
            continue;
        }
        const QVariant record = q.value(QLatin1String(kChunkColumn));
        chunk.data = record.toByteArray();
        out.stored += chunk.data.size();
        try {
            loader.DecompressChunk(chunk);
        } catch (const Exception &e) {
            out.damaged << QStringLiteral("chunk %1: %2 (a workstation stops with \"%3\")")
                               .arg(i)
                               .arg(record.isNull() ? QStringLiteral("NULL in CopyRight.ExEPic") : damageOf(chunk.data),
                                    e.message());
            continue;
        }
        out.unpacked += chunk.data.size();
        hash.add(chunk.data);
        if (keepBytes)
            out.bytes += chunk.data;
        progress.update(
            [&] {
                return QStringLiteral("reading chunk %1 of %2, %3, %4/s")
                    .arg(i + 1)
                    .arg(counts)
                    .arg(mib(out.stored), mib(qint64(double(out.stored) / progress.seconds())));
            },
            i + every >= counts);
    }
    out.sha256 = hash.result();
    return out;
}

QString describeSeal(const Published &p, const QByteArray &sha256, qint64 length, bool quiet)
{
    const auto printf = [quiet](const char *format, auto... args) {
        if (!quiet)
            std::printf(format, args...);
    };
    const SealVerdict v = judgeSeal(p, sha256, length);
    QString wrong;
    switch (v.hash) {
    case SealVerdict::NoHash:
        printf("stored sha-256: none (a publisher before the column; workstations check only each chunk)\n");
        break;
    case SealVerdict::HashMatches:
        printf("stored sha-256: the same, so workstations install what they rebuild\n");
        break;
    case SealVerdict::HashDiffers:
        printf("stored sha-256: %s, NOT the program's: workstations refuse it\n", p.sha256.toHex().constData());
        wrong = QStringLiteral("the SHA-256 stored in BVersion is not the program's");
        break;
    }
    switch (v.signature) {
    case SealVerdict::NoSignature:
        printf("signature:      none: launchers built with a release key refuse this program\n");
        return wrong;
    case SealVerdict::NotASignature:
        printf("signature:      %lld bytes that are not a signature: launchers with a release key refuse it\n",
               qlonglong(p.signature.size()));
        return wrong.isEmpty() ? QStringLiteral("the stored signature is damaged") : wrong;
    case SealVerdict::Holds:
    case SealVerdict::DoesNotHold:
        break;
    }
    const bool holds = v.signature == SealVerdict::Holds;
    const QList<ReleaseKey> ours = builtInReleaseKeys();
    const bool known = std::any_of(ours.begin(), ours.end(), [&](const ReleaseKey &k) { return k.raw == v.signer.raw; });
    printf("signature:      by key %s (%s), %s\n", qPrintable(v.signer.fingerprint()),
           ours.isEmpty() ? "this publisher was built without release keys"
           : known        ? "a release key of this build"
                          : "NOT a release key of this build",
           holds ? "holds for this program, version and chunk count" : "does NOT hold for this program");
    if (!holds && wrong.isEmpty())
        wrong = QStringLiteral("the signature does not hold for the program, its version or its chunk count");
    return wrong;
}

Previous previousProgram(SqlConnection &c)
{
    Previous prev;
    if (!tableExists(c, QLatin1String(kVersionTable)) || !tableExists(c, QLatin1String(kChunkTable))) {
        prev.whyNone = QStringLiteral("nothing is published yet");
        return prev;
    }
    const Published now = readVersionRow(c);
    if (now.row.isEmpty()) {
        prev.whyNone = QStringLiteral("nothing is published yet");
        return prev;
    }
    prev.any = true;
    if (now.counts < 1) {
        prev.whyNone = QStringLiteral("the published program has no chunks");
        return prev;
    }
    const Contents got = readContents(c, now.counts, true);
    if (!got.damaged.isEmpty()) {
        prev.whyNone = QStringLiteral("the published program cannot be rebuilt (%1)").arg(got.damaged.first());
        return prev;
    }
    if (!now.sha256.isNull() && now.sha256 != got.sha256) {
        prev.whyNone = QStringLiteral("the published program is not the one its SHA-256 in BVersion names");
        return prev;
    }
    prev.bytes = got.bytes;
    prev.sha256 = got.sha256;
    return prev;
}

double sampledShare(SqlConnection &c, const QByteArray &neu, int every)
{
    if (!tableExists(c, QLatin1String(kVersionTable)) || !tableExists(c, QLatin1String(kChunkTable)))
        return 1;
    const Published now = readVersionRow(c);
    if (now.row.isEmpty() || now.counts < 1)
        return 1;
    const Contents got = readContents(c, now.counts, true, every);
    if (!got.damaged.isEmpty())
        return 1; // the whole read-back says what is wrong
    const int read = (now.counts + every - 1) / every;
    return std::min(1.0, sharedShare(got.bytes, neu) * double(now.counts) / double(read));
}

int show(SqlConnection &c, const QString &server, const QString &database)
{
    const Published p = readVersion(c);
    std::printf("server:         %s, database %s\n", qPrintable(server), qPrintable(database));
    std::printf("version:        %d\n", p.version.toInt());
    std::printf("chunks:         %d\n", p.counts);
    if (p.counts < 1) {
        std::printf("nothing to rebuild: a workstation fails with \"TProgressBar property out of range\"\n");
        return Damaged;
    }
    const Contents got = readContents(c, p.counts, false);
    std::printf("stored size:    %lld bytes (%s)\n", qlonglong(got.stored), qPrintable(mib(got.stored)));
    if (!got.damaged.isEmpty()) {
        std::printf("damaged:        %lld of %s; a workstation's upgrade fails at the first\n",
                    qlonglong(got.damaged.size()), qPrintable(chunksText(p.counts)));
        for (const QString &d : got.damaged)
            std::printf("  %s\n", qPrintable(d));
        return Damaged;
    }
    std::printf("unpacked size:  %lld bytes (%s)\n", qlonglong(got.unpacked), qPrintable(mib(got.unpacked)));
    std::printf("sha-256:        %s\n", got.sha256.toHex().constData());
    std::printf("every chunk's record checked: %d good\n", p.counts);
    const bool sealed = describeSeal(p, got.sha256, got.unpacked).isEmpty();
    listPatches(c, p, got.stored);
    return sealed ? Ok : Damaged;
}
