#include "PatchStore.h"

#include "Failure.h"
#include "Statements.h"
#include "upgrade/BatchedDownload.h"
#include "upgrade/ProgramSeal.h"

QList<StoredPatch> storedPatches(SqlConnection &c)
{
    try {
        return readPatches(c);
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading %1: %2").arg(kPatchTable, e.message()));
    }
}

QByteArray patchBytes(SqlConnection &c, const StoredPatch &patch)
{
    BatchedDownload download(c, kDefaultBatchBytes);
    try {
        return readPatchParts(download, {patch}).first();
    } catch (const PatchPartsDamaged &) {
        throw;
    } catch (const Exception &e) {
        fail(DatabaseFailed, QStringLiteral("reading patch %1: %2").arg(patch.id).arg(e.message()));
    }
}

int lastPatchId(SqlConnection &c, const Published &published)
{
    // A BVersion from before the column, or its NULL, names no number.
    int last = 0;
    for (qsizetype i = 0; i < published.names.size(); ++i)
        if (published.names[i].compare(QLatin1String(kLastPatchIdColumn), Qt::CaseInsensitive) == 0)
            last = published.row.value(i).toInt();
    for (const QString &table : kPatchTables) {
        QSqlQuery q = run(c, QStringLiteral("numbering the patch"), QStringLiteral("SELECT MAX(PatchId) FROM %1").arg(table));
        if (q.next())
            last = std::max(last, q.value(0).toInt());
    }
    return last;
}

void storePatch(SqlConnection &c, StoredPatch &made, const QByteArray &patch, qsizetype partBytes)
{
    made.bytes = patch.size();
    made.sha256 = sha256Of(patch);
    made.parts = int((patch.size() + partBytes - 1) / partBytes);
    for (int k = 0; k < made.parts; ++k)
        run(c, QStringLiteral("storing part %1 of the patch").arg(k),
            QStringLiteral("INSERT INTO %1 (PatchId, Part, Data) VALUES (?, ?, ?)").arg(kPatchPartTable),
            {made.id, k, patch.mid(k * partBytes, partBytes)});
    run(c, QStringLiteral("storing the patch"),
        QStringLiteral("INSERT INTO %1 (PatchId, FromSha256, ToSha256, ToLength, Parts, Bytes, PatchSha256) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?)")
            .arg(kPatchTable),
        {made.id, made.from, made.to, int(made.toLength), made.parts, int(made.bytes), made.sha256});
}

QSet<int> chainEndingAt(const QList<StoredPatch> &patches, QByteArray to, int keep)
{
    QSet<int> chain;
    QSet<QByteArray> seen{to};
    while (chain.size() < keep) {
        const StoredPatch *newest = nullptr;
        for (const StoredPatch &p : patches)
            if (p.to == to && !chain.contains(p.id) && (!newest || p.id > newest->id))
                newest = &p;
        if (!newest || seen.contains(newest->from))
            break;
        chain.insert(newest->id);
        seen.insert(newest->from);
        to = newest->from;
    }
    return chain;
}

void prunePatches(SqlConnection &c, const QList<StoredPatch> &patches, const QSet<int> &kept)
{
    for (const StoredPatch &p : patches)
        if (!kept.contains(p.id)) {
            run(c, QStringLiteral("deleting an old patch"),
                QStringLiteral("DELETE FROM %1 WHERE PatchId=%2").arg(kPatchPartTable).arg(p.id));
            run(c, QStringLiteral("deleting an old patch"),
                QStringLiteral("DELETE FROM %1 WHERE PatchId=%2").arg(kPatchTable).arg(p.id));
        }
}
