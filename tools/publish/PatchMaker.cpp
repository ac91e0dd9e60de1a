// The diff is bsdiff's: a suffix array of the old program (libdivsufsort) finds, for each
// place in the new one, a long match in the old; around it the match is stretched while
// most bytes still agree, so that code which only had its addresses moved becomes runs of
// small differences. Differences, unmatched bytes and the records tying them together go
// to three streams, each compressed with LZMA2 under the settings that suit it best.
#include "PatchMaker.h"

#include "core/Exceptions.h"
#include "upgrade/patch/PatchFormat.h"

#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <divsufsort.h>
#include <lzma.h>
#include <thread>
#include <vector>
#include <zlib.h>

using namespace patchformat;

namespace {

using u8 = unsigned char;

qint64 matchLength(const u8 *a, qint64 aLength, const u8 *b, qint64 bLength)
{
    const qint64 n = std::min(aLength, bLength);
    qint64 i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The longest match of neu in old, by binary search over old's sorted suffixes.
qint64 search(const saidx_t *sa, const u8 *old, qint64 oldSize, const u8 *neu, qint64 newSize, qint64 *pos)
{
    qint64 lo = 0, hi = oldSize - 1;
    while (hi - lo >= 2) {
        const qint64 mid = lo + (hi - lo) / 2;
        const qint64 at = sa[mid];
        if (std::memcmp(old + at, neu, size_t(std::min(oldSize - at, newSize))) < 0)
            lo = mid;
        else
            hi = mid;
    }
    const qint64 x = matchLength(old + sa[lo], oldSize - sa[lo], neu, newSize);
    const qint64 y = matchLength(old + sa[hi], oldSize - sa[hi], neu, newSize);
    *pos = x > y ? sa[lo] : sa[hi];
    return std::max(x, y);
}

void putNumber(QByteArray &to, quint64 v)
{
    while (v >= 0x80) {
        to.append(char(v | 0x80));
        v >>= 7;
    }
    to.append(char(v));
}

quint64 zigzag(qint64 v) { return v >= 0 ? quint64(v) << 1 : ((quint64(-(v + 1))) << 1) | 1; }

struct Record {
    qint64 diff, extra, move;
};

struct Streams {
    qint64 start = 0;
    std::vector<Record> records;
    QByteArray diff, extra;
};

Streams diffPrograms(const u8 *old, qint64 oldSize, const u8 *neu, qint64 newSize,
                     const std::function<void(qint64)> &scanned)
{
    Streams out;
    out.diff.reserve(newSize);
    std::vector<saidx_t> sa(size_t(std::max<qint64>(oldSize, 1)));
    if (oldSize > 0 && divsufsort(old, sa.data(), saidx_t(oldSize)) != 0)
        throw Exception(QStringLiteral("The old program could not be indexed for the patch."));
    scanned(0);

    auto addRecord = [&](qint64 lastScan, qint64 lastPos, qint64 lengthF, qint64 extraFrom, qint64 extraTo, qint64 nextPos) {
        const qint64 at = out.diff.size();
        out.diff.resize(at + lengthF);
        char *d = out.diff.data() + at;
        BorrowChain chain;
        for (qint64 i = 0; i < lengthF; ++i)
            d[i] = char(chain.difference(neu[lastScan + i], old[lastPos + i]));
        out.extra.append(reinterpret_cast<const char *>(neu + extraFrom), extraTo - extraFrom);
        const qint64 move = nextPos - (lastPos + lengthF);
        if (lengthF == 0 && extraTo == extraFrom) {
            // Writes nothing: only its move counts, folded into the record before it (the
            // first record's start is where it reads, whatever came before).
            if (!out.records.empty())
                out.records.back().move += move;
            return;
        }
        if (out.records.empty())
            out.start = lastPos;
        out.records.push_back({lengthF, extraTo - extraFrom, move});
    };

    qint64 scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0, lastOffset = 0, reported = 0;
    while (scan < newSize) {
        qint64 oldScore = 0;
        qint64 scsc = scan += len;
        for (; scan < newSize; ++scan) {
            len = oldSize > 0 ? search(sa.data(), old, oldSize, neu + scan, newSize - scan, &pos) : 0;
            for (; scsc < scan + len; ++scsc)
                if (scsc + lastOffset >= 0 && scsc + lastOffset < oldSize && old[scsc + lastOffset] == neu[scsc])
                    ++oldScore;
            if ((len == oldScore && len != 0) || len > oldScore + 8)
                break;
            if (scan + lastOffset >= 0 && scan + lastOffset < oldSize && old[scan + lastOffset] == neu[scan])
                --oldScore;
        }
        if (len == oldScore && scan != newSize)
            continue;

        // Stretch the previous match forwards and this one backwards while at least half
        // the bytes agree, then split any overlap where it scores best.
        qint64 lengthF = 0;
        for (qint64 i = 0, s = 0, best = 0; lastScan + i < scan && lastPos + i < oldSize;) {
            if (old[lastPos + i] == neu[lastScan + i])
                ++s;
            ++i;
            if (s * 2 - i > best * 2 - lengthF) {
                best = s;
                lengthF = i;
            }
        }
        qint64 lengthB = 0;
        if (scan < newSize) {
            for (qint64 i = 1, s = 0, best = 0; scan >= lastScan + i && pos >= i; ++i) {
                if (old[pos - i] == neu[scan - i])
                    ++s;
                if (s * 2 - i > best * 2 - lengthB) {
                    best = s;
                    lengthB = i;
                }
            }
        }
        if (lastScan + lengthF > scan - lengthB) {
            const qint64 overlap = lastScan + lengthF - (scan - lengthB);
            qint64 s = 0, best = 0, lengthS = 0;
            for (qint64 i = 0; i < overlap; ++i) {
                if (neu[lastScan + lengthF - overlap + i] == old[lastPos + lengthF - overlap + i])
                    ++s;
                if (neu[scan - lengthB + i] == old[pos - lengthB + i])
                    --s;
                if (s > best) {
                    best = s;
                    lengthS = i + 1;
                }
            }
            lengthF += lengthS - overlap;
            lengthB -= lengthS;
        }
        const qint64 nextPos = scan < newSize ? pos - lengthB : lastPos + lengthF;
        addRecord(lastScan, lastPos, lengthF, lastScan + lengthF, scan - lengthB, nextPos);
        lastScan = scan - lengthB;
        lastPos = pos - lengthB;
        lastOffset = pos - scan;
        if (scan - reported >= (1 << 20)) {
            reported = scan;
            scanned(scan);
        }
    }
    scanned(newSize);
    return out;
}

struct Packed {
    QByteArray bytes;
    lzma_options_lzma options{};
};

// consumed, when given, counts the raw bytes compressed so far, for the progress.
Packed pack(const QByteArray &raw, uint32_t lc, uint32_t lp, uint32_t pb, uint32_t maxDict,
            std::atomic<qint64> *consumed = nullptr)
{
    Packed p;
    lzma_lzma_preset(&p.options, 9 | LZMA_PRESET_EXTREME);
    p.options.lc = lc;
    p.options.lp = lp;
    p.options.pb = pb;
    uint32_t dict = kMinDictSize;
    while (dict < maxDict && dict < quint64(raw.size()))
        dict <<= 1;
    p.options.dict_size = dict;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &p.options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK)
        throw Exception(QStringLiteral("A patch stream could not be compressed."));
    p.bytes.resize(qsizetype(lzma_stream_buffer_bound(size_t(raw.size()))) + 64);
    strm.next_out = reinterpret_cast<uint8_t *>(p.bytes.data());
    strm.avail_out = size_t(p.bytes.size());
    const auto *in = reinterpret_cast<const uint8_t *>(raw.constData());
    lzma_ret r = LZMA_OK;
    for (qsizetype at = 0; r == LZMA_OK;) {
        const qsizetype n = std::min<qsizetype>(raw.size() - at, 1 << 20);
        strm.next_in = in + at;
        strm.avail_in = size_t(n);
        at += n;
        r = lzma_code(&strm, at == raw.size() ? LZMA_FINISH : LZMA_RUN);
        while (r == LZMA_OK && (strm.avail_in > 0 || at == raw.size()))
            r = lzma_code(&strm, at == raw.size() ? LZMA_FINISH : LZMA_RUN);
        if (consumed)
            consumed->store(at);
    }
    const size_t written = strm.total_out;
    lzma_end(&strm);
    if (r != LZMA_STREAM_END)
        throw Exception(QStringLiteral("A patch stream could not be compressed."));
    p.bytes.resize(qsizetype(written));
    return p;
}

// The literal settings suit the stream: differences are bytes on their own, code and
// tables have 2-, 4- and 8-byte structure. Chosen on a sample of a long stream.
Packed packBest(const QByteArray &raw, uint32_t maxDict, std::atomic<qint64> *consumed = nullptr)
{
    static constexpr uint32_t candidates[][3] = {{3, 0, 2}, {0, 0, 0}, {1, 0, 0}, {0, 2, 2}, {4, 0, 0}, {2, 0, 0}};
    const QByteArray sample = raw.left(4 << 20);
    int best = 0;
    qsizetype bestSize = LLONG_MAX;
    for (int c = 0; c < int(std::size(candidates)); ++c) {
        const qsizetype n = pack(sample, candidates[c][0], candidates[c][1], candidates[c][2], maxDict).bytes.size();
        if (n < bestSize) {
            bestSize = n;
            best = c;
        }
    }
    return pack(raw, candidates[best][0], candidates[best][1], candidates[best][2], maxDict, consumed);
}

void putHeader(uchar *p, qint64 raw, const Packed &s)
{
    qToLittleEndian<quint64>(quint64(raw), p);
    qToLittleEndian<quint64>(quint64(s.bytes.size()), p + 8);
    p[16] = uchar(s.options.lc);
    p[17] = uchar(s.options.lp);
    p[18] = uchar(s.options.pb);
    p[19] = 0;
    qToLittleEndian<quint32>(s.options.dict_size, p + 20);
}

} // namespace

QByteArray makePatch(const QByteArray &old, const QByteArray &neu, const std::function<void(qint64, qint64)> &progress)
{
    if (old.size() > kMaxProgramSize || neu.size() > kMaxProgramSize)
        throw Exception(QStringLiteral("A program of 2 GiB or more cannot be patched."));
    const qint64 all = old.size() + 2 * neu.size();
    auto report = [&](qint64 done) {
        if (progress)
            progress(done, all);
    };
    Streams s = diffPrograms(reinterpret_cast<const u8 *>(old.constData()), old.size(),
                             reinterpret_cast<const u8 *>(neu.constData()), neu.size(),
                             [&](qint64 scanned) { report(old.size() + scanned); });

    QByteArray raw[kStreams];
    putNumber(raw[kMoves], quint64(s.start));
    for (const Record &r : s.records) {
        putNumber(raw[kDiffLengths], quint64(r.diff));
        putNumber(raw[kExtraLengths], quint64(r.extra));
        putNumber(raw[kMoves], zigzag(r.move));
    }
    raw[kDiff] = std::move(s.diff);
    raw[kExtra] = std::move(s.extra);
    // The streams are independent: the large diff on one core, the others on the second,
    // which then reports the diff's progress.
    Packed packed[kStreams];
    std::atomic<qint64> consumed = 0;
    std::atomic<bool> finished = false;
    std::exception_ptr failure;
    std::thread diffThread([&] {
        try {
            packed[kDiff] = packBest(raw[kDiff], kMaxDictSize, &consumed);
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
    });
    try {
        // Dictionaries within the reader's bound: the number streams are small.
        for (int i : {kDiffLengths, kExtraLengths, kMoves})
            packed[i] = packBest(raw[i], 2u << 20);
        packed[kExtra] = packBest(raw[kExtra], kMaxDictSize);
        while (!finished) {
            report(old.size() + neu.size() + (raw[kDiff].isEmpty() ? 0 : neu.size() * consumed / raw[kDiff].size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    } catch (...) {
        diffThread.join();
        throw;
    }
    diffThread.join();
    if (failure)
        std::rethrow_exception(failure);
    report(all);

    QByteArray patch(kHeaderSize, '\0');
    auto *p = reinterpret_cast<uchar *>(patch.data());
    std::memcpy(p, kMagic, 4);
    p[4] = kVersion;
    qToLittleEndian<quint64>(quint64(old.size()), p + 8);
    qToLittleEndian<quint64>(quint64(neu.size()), p + 16);
    qToLittleEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(old.constData()), uInt(old.size()))), p + 24);
    qToLittleEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(neu.constData()), uInt(neu.size()))), p + 28);
    for (int i = 0; i < kStreams; ++i)
        putHeader(p + 32 + i * kStreamHeaderSize, raw[i].size(), packed[i]);
    for (const Packed &x : packed)
        patch.append(x.bytes);
    return patch;
}
