// A patch, version 1 (all integers little-endian):
//
//   0   "VKPT", version (1 byte), 3 bytes zero (for later versions' flags)
//   8   old program's length (8), new program's length (8), their CRC-32s (4 and 4)
//   32  five stream headers of 24 bytes: diff lengths, extra lengths, moves, diff, extra:
//       raw length (8), packed length (8), LZMA2 lc, lp, pb (1 byte each), 1 byte zero,
//       dictionary size (4)
//   152 the five streams' packed bytes, in the same order, and nothing after them.
//
// Each stream is raw LZMA2 ending in its end marker. The moves stream starts with the old
// position the first record reads from. Then each record takes one LEB128 number from
// each of the first three streams: a diff length, an extra length, and the move of the
// old position after the diff bytes (zigzag: even forward, odd back). A record adds diff
// length bytes of the diff stream bytewise to as many bytes of old from the old position,
// then copies extra length bytes of the extra stream; every record writes at least one
// byte, and the three number streams end with the last record.
//
// The CRC-32s tell a patch made for another program, and a damaged one, from a good one
// before the result is used; the caller still checks the result's SHA-256.
#include "PatchReader.h"

#include "PatchFormat.h"

#include <QtEndian>
#include <cstring>
#include <lzma.h>
#include <memory>
#include <vector>
#include <zlib.h>

using namespace patchformat;

namespace {

constexpr qint64 kCancelStep = 4 << 20;

[[noreturn]] void fail(const char *why)
{
    throw PatchError(QStringLiteral("The patch cannot be applied: %1.").arg(QLatin1String(why)));
}

struct StreamHeader {
    quint64 raw = 0;
    quint64 packed = 0;
    lzma_options_lzma options{};
};

// Exactly the declared raw bytes of one stream, read in the pieces the caller asks for.
class StreamReader {
public:
    StreamReader(const StreamHeader &h, const uint8_t *packed)
    {
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma *>(&h.options)},
                                  {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_raw_decoder(&strm, filters) != LZMA_OK)
            fail("a stream's settings are out of range");
        strm.next_in = packed;
        strm.avail_in = size_t(h.packed);
        left = h.raw;
    }
    ~StreamReader() { lzma_end(&strm); }
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    void read(uint8_t *to, quint64 n)
    {
        if (n > left)
            fail("a record runs past its stream");
        left -= n;
        strm.next_out = to;
        strm.avail_out = size_t(n);
        while (strm.avail_out > 0) {
            if (ended)
                fail("a stream ends early");
            const size_t before = strm.avail_out + strm.avail_in;
            const lzma_ret r = lzma_code(&strm, LZMA_RUN);
            if (r == LZMA_STREAM_END)
                ended = true;
            else if (r != LZMA_OK)
                fail("a stream is damaged");
            else if (strm.avail_out + strm.avail_in == before)
                fail("a stream ends early");
        }
    }

    // The stream gave all it declared: its end marker must come next, and then its end.
    void finish()
    {
        if (left != 0)
            fail("a stream holds more than its records use");
        if (!ended) {
            uint8_t spare;
            strm.next_out = &spare;
            strm.avail_out = 1;
            if (lzma_code(&strm, LZMA_FINISH) != LZMA_STREAM_END || strm.avail_out != 1)
                fail("a stream holds more than it declares");
        }
        if (strm.avail_in != 0)
            fail("a stream holds more than it declares");
    }

    quint64 remaining() const { return left; }

private:
    lzma_stream strm = LZMA_STREAM_INIT;
    quint64 left = 0;
    bool ended = false;
};

// A stream's numbers, decoded a piece at a time.
class NumberReader {
public:
    explicit NumberReader(StreamReader &s) : stream(s) {}

    quint64 number()
    {
        quint64 v = 0;
        for (int shift = 0;; shift += 7) {
            if (pos == filled)
                refill();
            const uint8_t b = buf[pos++];
            if (shift == 63 && b > 1)
                fail("a record's number is too large");
            v |= quint64(b & 0x7F) << shift;
            if (!(b & 0x80))
                return v;
        }
    }

    bool atEnd() const { return pos == filled && stream.remaining() == 0; }

private:
    void refill()
    {
        const quint64 n = std::min<quint64>(sizeof buf, stream.remaining());
        if (n == 0)
            fail("a stream of numbers ends inside a record");
        stream.read(buf, n);
        pos = 0;
        filled = size_t(n);
    }

    StreamReader &stream;
    uint8_t buf[64 * 1024];
    size_t pos = 0;
    size_t filled = 0;
};

StreamHeader readStreamHeader(const uchar *p)
{
    StreamHeader h;
    h.raw = qFromLittleEndian<quint64>(p);
    h.packed = qFromLittleEndian<quint64>(p + 8);
    const uint32_t lc = p[16], lp = p[17], pb = p[18];
    const uint32_t dict = qFromLittleEndian<quint32>(p + 20);
    if (p[19] != 0 || lc > LZMA_LCLP_MAX || lp > LZMA_LCLP_MAX || lc + lp > LZMA_LCLP_MAX || pb > LZMA_PB_MAX
        || dict < kMinDictSize || dict > kMaxDictSize)
        fail("a stream's settings are out of range");
    lzma_lzma_preset(&h.options, 0);
    h.options.lc = lc;
    h.options.lp = lp;
    h.options.pb = pb;
    h.options.dict_size = dict;
    return h;
}

quint32 crc(const void *data, quint64 size)
{
    uLong c = crc32(0, nullptr, 0);
    for (auto *p = static_cast<const Bytef *>(data); size > 0;) {
        const uInt n = uInt(std::min<quint64>(size, 1u << 30));
        c = crc32(c, p, n);
        p += n;
        size -= n;
    }
    return quint32(c);
}

void checkCancel(const std::atomic<bool> *cancel)
{
    if (cancel && cancel->load(std::memory_order_relaxed))
        throw PatchCancelled(QStringLiteral("The patch's application was stopped."));
}

} // namespace

QByteArray applyPatch(const QByteArray &old, const QByteArray &patch, qint64 resultLength,
                      const std::atomic<bool> *cancel)
{
    const auto *p = reinterpret_cast<const uchar *>(patch.constData());
    const quint64 size = quint64(patch.size());
    if (size < quint64(kHeaderSize) || std::memcmp(p, kMagic, 4) != 0)
        fail("it is not a patch");
    if (p[4] != kVersion)
        fail("it is of a version this launcher does not read");
    if (p[5] || p[6] || p[7])
        fail("it asks for a form this launcher does not read");
    const quint64 oldLength = qFromLittleEndian<quint64>(p + 8);
    const quint64 newLength = qFromLittleEndian<quint64>(p + 16);
    if (oldLength != quint64(old.size()) || crc(old.constData(), oldLength) != qFromLittleEndian<quint32>(p + 24))
        fail("it starts from another program");
    if (resultLength < 0 || newLength != quint64(resultLength))
        fail("it makes a program of another length than announced");
    if (oldLength > quint64(kMaxProgramSize) || newLength > quint64(kMaxProgramSize))
        fail("it is for programs larger than patches are made for");

    StreamHeader h[kStreams];
    quint64 at = kHeaderSize, dictionaries = 0;
    for (int s = 0; s < kStreams; ++s) {
        h[s] = readStreamHeader(p + 32 + s * kStreamHeaderSize);
        dictionaries += h[s].options.dict_size;
        if (h[s].packed > size - at)
            fail("it is cut short");
        at += h[s].packed;
    }
    if (at != size)
        fail("it has bytes after its end");
    if (dictionaries > kMaxDictTotal)
        fail("its streams ask for too much memory");
    // Every record writes a byte and takes a byte of each number stream: longer number
    // streams could only spin.
    for (int s = kDiffLengths; s <= kMoves; ++s)
        if (h[s].raw > 10 * (newLength + 1))
            fail("its streams do not add up to the program");
    if (h[kDiff].raw > newLength || h[kExtra].raw != newLength - h[kDiff].raw)
        fail("its streams do not add up to the program");

    std::vector<std::unique_ptr<StreamReader>> streams;
    quint64 from = kHeaderSize;
    for (int s = 0; s < kStreams; from += h[s].packed, ++s)
        streams.push_back(std::make_unique<StreamReader>(h[s], p + from));
    StreamReader &diff = *streams[kDiff], &extra = *streams[kExtra];
    auto diffLengths = std::make_unique<NumberReader>(*streams[kDiffLengths]);
    auto extraLengths = std::make_unique<NumberReader>(*streams[kExtraLengths]);
    auto moves = std::make_unique<NumberReader>(*streams[kMoves]);

    const auto *source = reinterpret_cast<const uint8_t *>(old.constData());
    QByteArray result(resultLength, Qt::Uninitialized);
    auto *out = reinterpret_cast<uint8_t *>(result.data());
    quint64 newPos = 0, oldPos = moves->number();
    qint64 sinceCheck = 0;
    if (oldPos > oldLength)
        fail("it starts outside the old program");
    checkCancel(cancel);
    while (newPos < newLength) {
        const quint64 diffLength = diffLengths->number();
        const quint64 extraLength = extraLengths->number();
        const quint64 move = moves->number();
        if (diffLength == 0 && extraLength == 0)
            fail("a record writes nothing");
        if (diffLength > newLength - newPos || extraLength > newLength - newPos - diffLength)
            fail("a record runs past the program's end");
        if (diffLength > oldLength - oldPos)
            fail("a record reads past the old program's end");
        BorrowChain chain;
        // The diff is decoded in place, then the old bytes added to it, in pieces so that a
        // stop is seen within a few MiB.
        for (quint64 done = 0; done < diffLength;) {
            const quint64 n = std::min<quint64>(diffLength - done, kCancelStep);
            uint8_t *d = out + newPos + done;
            diff.read(d, n);
            const uint8_t *o = source + oldPos + done;
            for (quint64 i = 0; i < n; ++i)
                d[i] = chain.sum(d[i], o[i]);
            done += n;
            if ((sinceCheck += qint64(n)) >= kCancelStep) {
                sinceCheck = 0;
                checkCancel(cancel);
            }
        }
        newPos += diffLength;
        oldPos += diffLength;
        for (quint64 done = 0; done < extraLength;) {
            const quint64 n = std::min<quint64>(extraLength - done, kCancelStep);
            extra.read(out + newPos + done, n);
            done += n;
            if ((sinceCheck += qint64(n)) >= kCancelStep) {
                sinceCheck = 0;
                checkCancel(cancel);
            }
        }
        newPos += extraLength;
        // Zigzag, so that a short move back takes as few bytes as a short move forward.
        const quint64 back = move & 1, steps = move >> 1;
        if (back ? steps + back > oldPos : steps > oldLength - oldPos)
            fail("a record moves outside the old program");
        oldPos = back ? oldPos - steps - 1 : oldPos + steps;
    }
    if (!diffLengths->atEnd() || !extraLengths->atEnd() || !moves->atEnd())
        fail("a stream of numbers holds more than its records");
    for (const auto &stream : streams)
        stream->finish();
    if (crc(out, newLength) != qFromLittleEndian<quint32>(p + 28))
        fail("it is damaged: its result is not the program it was made for");
    checkCancel(cancel);
    return result;
}
