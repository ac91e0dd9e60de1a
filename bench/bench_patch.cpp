// The patch codec on one pair of programs, one step a process so that each step's peak
// memory is its own (bench_patch.sh runs them):
//   bench_patch make OLD NEW PATCH     makes the patch; prints its bytes and the time
//   bench_patch apply OLD PATCH NEW    applies it, hashes the result, compares it with NEW
//   bench_patch zstd OLD NEW           zstd 19 with OLD as its reference prefix
//   bench_patch zlib NEW               the full download's bytes at zlib 9
//   bench_patch share OLD NEW          the publisher's first look: how much of NEW OLD holds
#include "Memory.h"
#include "tools/publish/PatchEstimate.h"
#include "tools/publish/PatchMaker.h"
#include "upgrade/patch/PatchReader.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <zlib.h>
#include <zstd.h>

namespace {

QByteArray readAll(const char *path)
{
    QFile f(QString::fromLocal8Bit(path));
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return f.readAll();
}

int make(const char *oldPath, const char *newPath, const char *patchPath)
{
    const QByteArray old = readAll(oldPath), neu = readAll(newPath);
    QElapsedTimer t;
    t.start();
    int calls = 0;
    qint64 last = 0, gap = 0;
    const QByteArray patch = makePatch(old, neu, [&](qint64, qint64) {
        ++calls;
        gap = std::max(gap, t.elapsed() - last);
        last = t.elapsed();
    });
    const qint64 ms = t.elapsed();
    gap = std::max(gap, ms - last);
    QFile f(QString::fromLocal8Bit(patchPath));
    if (!f.open(QIODevice::WriteOnly) || f.write(patch) != patch.size())
        return 2;
    std::printf("patch_bytes=%lld make_ms=%lld progress_calls=%d longest_silence_ms=%lld make_peak_kib=%ld\n",
                qint64(patch.size()), ms, calls, gap, peakKiB());
    return 0;
}

int apply(const char *oldPath, const char *patchPath, const char *newPath)
{
    const QByteArray expected = QCryptographicHash::hash(readAll(newPath), QCryptographicHash::Sha256);
    const long before = residentKiB();
    const QByteArray old = readAll(oldPath), patch = readAll(patchPath);
    const qint64 length = QFileInfo(QString::fromLocal8Bit(newPath)).size();
    QElapsedTimer t;
    t.start();
    const QByteArray result = applyPatch(old, patch, length);
    const QByteArray sum = QCryptographicHash::hash(result, QCryptographicHash::Sha256);
    const qint64 ms = t.elapsed();
    // The peak counts from the process's size before the program was read, as the
    // launcher's own memory is not the patch road's.
    std::printf("apply_ms=%lld apply_peak_kib=%ld identical=%d\n", ms, peakKiB() - before,
                int(sum == expected));
    return sum == expected ? 0 : 1;
}

int zstdReference(const char *oldPath, const char *newPath)
{
    const QByteArray old = readAll(oldPath), neu = readAll(newPath);
    int windowLog = 10;
    while ((qint64(1) << windowLog) < old.size() + neu.size() && windowLog < 31)
        ++windowLog;
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_refPrefix(c, old.constData(), size_t(old.size()));
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(neu.size()))), Qt::Uninitialized);
    QElapsedTimer t;
    t.start();
    const size_t n = ZSTD_compress2(c, out.data(), size_t(out.size()), neu.constData(), size_t(neu.size()));
    const qint64 ms = t.elapsed();
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n))
        return 2;
    // Checked back, so that the figure is of a patch that works.
    ZSTD_DCtx *d = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, windowLog);
    ZSTD_DCtx_refPrefix(d, old.constData(), size_t(old.size()));
    QByteArray back(neu.size(), Qt::Uninitialized);
    t.restart();
    const size_t m = ZSTD_decompressDCtx(d, back.data(), size_t(back.size()), out.constData(), n);
    const qint64 applyMs = t.elapsed();
    ZSTD_freeDCtx(d);
    std::printf("zstd_bytes=%zu zstd_make_ms=%lld zstd_apply_ms=%lld identical=%d\n", n, ms, applyMs,
                int(!ZSTD_isError(m) && m == size_t(neu.size()) && back == neu));
    return 0;
}

int zlibFull(const char *newPath)
{
    const QByteArray neu = readAll(newPath);
    uLongf bound = compressBound(uLong(neu.size()));
    QByteArray out(qsizetype(bound), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &bound, reinterpret_cast<const Bytef *>(neu.constData()),
                  uLong(neu.size()), 9) != Z_OK)
        return 2;
    std::printf("zlib9_bytes=%lu\n", bound);
    return 0;
}

int share(const char *oldPath, const char *newPath)
{
    const QByteArray old = readAll(oldPath), neu = readAll(newPath);
    QElapsedTimer t;
    t.start();
    const double s = sharedShare(old, neu);
    std::printf("share_permille=%d share_ms=%lld diffed=%d\n", int(s * 1000 + 0.5), t.elapsed(), int(s >= kWorthDiffing));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "make" && argc == 5)
            return make(argv[2], argv[3], argv[4]);
        if (mode == "apply" && argc == 5)
            return apply(argv[2], argv[3], argv[4]);
        if (mode == "zstd" && argc == 4)
            return zstdReference(argv[2], argv[3]);
        if (mode == "zlib" && argc == 3)
            return zlibFull(argv[2]);
        if (mode == "share" && argc == 4)
            return share(argv[2], argv[3]);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_patch: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: bench_patch make OLD NEW PATCH | apply OLD PATCH NEW | zstd OLD NEW | zlib NEW | share OLD NEW\n");
    return 2;
}
