#include "PublishedProgram.h"

#include "BatchedDownload.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"

#include <QSet>

Published readPublished(SqlConnection &connection)
{
    SqlQuery query(connection);
    query.SQL = QStringList{QLatin1String(kPublishedStatement)};
    query.open();
    Published p;
    p.counts = query.fieldByName(QStringLiteral("Counts")).toInt();
    const auto optional = [&](const QString &name) {
        return query.hasField(name) ? query.fieldByName(name) : QVariant();
    };
    p.version = optional(QStringLiteral("Version"));
    p.sha256 = optional(QStringLiteral("Sha256")).toByteArray();
    p.signature = optional(QStringLiteral("Signature")).toByteArray();
    if (!query.eof())
        for (const QString &name : query.fieldNames()) {
            p.names << name;
            p.row << query.fieldByName(name);
        }
    return p;
}

SealVerdict judgeSeal(const Published &published, const QByteArray &sha256, qint64 length)
{
    SealVerdict v;
    if (!published.sha256.isNull())
        v.hash = published.sha256 == sha256 ? SealVerdict::HashMatches : SealVerdict::HashDiffers;
    if (published.signature.isNull())
        return v;
    const StoredSignature stored = StoredSignature::parse(published.signature);
    if (stored.key.raw.isEmpty()) {
        v.signature = SealVerdict::NotASignature;
        return v;
    }
    v.signer = stored.key;
    const QByteArray statement = signedStatement(published.version.toInt(), published.counts, length, sha256);
    v.signature = stored.holdsFor(statement) ? SealVerdict::Holds : SealVerdict::DoesNotHold;
    return v;
}

namespace {
[[noreturn]] void refuse(const QString &why)
{
    throw Exception(why + QStringLiteral(" The old program is kept; nothing was installed or started."));
}
} // namespace

void checkSeal(const Published &published, const QByteArray &sha256, qint64 length, const QList<ReleaseKey> &keys)
{
    const SealVerdict v = judgeSeal(published, sha256, length);
    if (keys.isEmpty()) {
        if (v.hash == SealVerdict::HashDiffers)
            refuse(QStringLiteral("The program downloaded is not the one published: its SHA-256 differs from the one "
                                  "in BVersion."));
        return;
    }
    if (published.signature.isEmpty())
        refuse(QStringLiteral("The program on the server is not signed with the site's release key."));
    const bool ours = std::any_of(keys.begin(), keys.end(), [&](const ReleaseKey &k) { return k.raw == v.signer.raw; });
    if (v.signature != SealVerdict::Holds || !ours)
        refuse(QStringLiteral("The program on the server does not match the signature of the site's release key."));
}

QList<StoredPatch> readPatches(SqlConnection &connection)
{
    SqlQuery query(connection);
    query.SQL = QStringList{QStringLiteral("SELECT PatchId, FromSha256, ToSha256, ToLength, Parts, Bytes, PatchSha256 "
                                           "FROM %1").arg(QLatin1String(kPatchTable))};
    query.open();
    QList<StoredPatch> out;
    for (; !query.eof(); query.next()) {
        StoredPatch p;
        p.id = query.fieldByName(QStringLiteral("PatchId")).toInt();
        p.from = query.fieldByName(QStringLiteral("FromSha256")).toByteArray();
        p.to = query.fieldByName(QStringLiteral("ToSha256")).toByteArray();
        p.toLength = query.fieldByName(QStringLiteral("ToLength")).toLongLong();
        p.parts = query.fieldByName(QStringLiteral("Parts")).toInt();
        p.bytes = query.fieldByName(QStringLiteral("Bytes")).toLongLong();
        p.sha256 = query.fieldByName(QStringLiteral("PatchSha256")).toByteArray();
        // A row that cannot describe a usable patch is passed over, never followed.
        if (p.from.size() == 32 && p.to.size() == 32 && p.sha256.size() == 32 && p.parts > 0 && p.toLength >= 0
            && p.bytes > 0)
            out << p;
    }
    return out;
}

QList<StoredPatch> patchChain(const QList<StoredPatch> &patches, const QByteArray &from, const QByteArray &to)
{
    // Breadth first, so the shortest chain wins; a program is never visited twice, so a
    // loop among the rows cannot keep it going.
    struct Step {
        QByteArray program;
        QList<StoredPatch> chain;
    };
    QList<Step> frontier{{from, {}}};
    QSet<QByteArray> seen{from};
    while (!frontier.isEmpty()) {
        const Step step = frontier.takeFirst();
        if (step.program == to)
            return step.chain;
        if (step.chain.size() >= patches.size())
            continue;
        for (const StoredPatch &p : patches)
            if (p.from == step.program && !seen.contains(p.to)) {
                seen.insert(p.to);
                frontier.append({p.to, step.chain + QList<StoredPatch>{p}});
            }
    }
    return {};
}

QString patchPartStatement(int id, int part)
{
    return QStringLiteral(" SELECT %1 FROM %2 WHERE PatchId=%3 AND Part=%4")
        .arg(QLatin1String(kPatchPartColumn), QLatin1String(kPatchPartTable))
        .arg(id)
        .arg(part);
}

QString chunkStatement(int index)
{
    return QStringLiteral(" SELECT  * FROM CopyRight where Idcol='%1'").arg(index);
}

QList<QByteArray> readPatchParts(BatchedDownload &download, const QList<StoredPatch> &chain,
                                 const std::function<void(int n, qsizetype bytes)> &partRead)
{
    QList<std::pair<int, int>> parts; // patch in chain, part
    for (int p = 0; p < chain.size(); ++p)
        for (int k = 0; k < chain[p].parts; ++k)
            parts.append({p, k});
    QList<QByteArray> bytes(chain.size());
    download.statement = [&](int i) { return patchPartStatement(chain[parts[i].first].id, parts[i].second); };
    download.column = QLatin1String(kPatchPartColumn);
    download.run(int(parts.size()), [&](int i, QByteArray &&part, bool found) {
        const StoredPatch &p = chain[parts[i].first];
        if (!found)
            throw PatchPartsDamaged(QStringLiteral("part %1 of patch %2 is missing").arg(parts[i].second).arg(p.id));
        QByteArray &whole = bytes[parts[i].first];
        if (whole.size() + part.size() > p.bytes)
            throw PatchPartsDamaged(QStringLiteral("patch %1 is longer than stored").arg(p.id));
        whole += part;
        if (partRead)
            partRead(i + 1, part.size());
    });
    for (int p = 0; p < chain.size(); ++p)
        if (bytes[p].size() != chain[p].bytes || sha256Of(bytes[p]) != chain[p].sha256)
            throw PatchPartsDamaged(QStringLiteral("patch %1 is damaged").arg(chain[p].id));
    return bytes;
}
