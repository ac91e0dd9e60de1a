#include "Verify.h"

#include "Failure.h"
#include "PatchStore.h"
#include "ReadBack.h"
#include "upgrade/patch/PatchReader.h"

#include <cstdio>

void verifyPublished(SqlConnection &c, const QByteArray &program, int version, int counts, const QByteArray &previous,
                     const std::optional<StoredPatch> &madePatch)
{
    const Published p = readVersion(c);
    if (p.version.toInt() != version || p.counts != counts)
        fail(Damaged, QStringLiteral("verifying: BVersion announces version %1 in %2 chunks, not %3 in %4")
                          .arg(p.version.toInt()).arg(p.counts).arg(version).arg(counts));
    const Contents got = readContents(c, counts, true);
    if (!got.damaged.isEmpty())
        fail(Damaged, QStringLiteral("verifying: ") + got.damaged.join(QStringLiteral("; ")));
    if (got.bytes != program)
        fail(Damaged, QStringLiteral("verifying: the stored chunks do not give back the file (%1 bytes stored, %2 "
                                     "in the file)")
                          .arg(got.bytes.size())
                          .arg(program.size()));
    const QString seal = describeSeal(p, got.sha256, got.unpacked, true);
    if (!seal.isEmpty())
        fail(Damaged, QStringLiteral("verifying: ") + seal);
    std::printf("verified: the stored chunks give back the file byte for byte\n");
    if (!madePatch)
        return;
    QByteArray made;
    try {
        made = applyPatch(previous, patchBytes(c, *madePatch), madePatch->toLength);
    } catch (const PatchError &e) {
        fail(Damaged, QStringLiteral("verifying: the stored patch cannot be applied: ") + e.message());
    } catch (const PatchPartsDamaged &e) {
        fail(Damaged, QStringLiteral("verifying: the stored patch: ") + e.message());
    }
    if (made != program)
        fail(Damaged, QStringLiteral("verifying: the stored patch does not give back the file"));
    std::printf("verified: the stored patch turns the program published before into the file byte for byte\n");
}
