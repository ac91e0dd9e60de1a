#include "LoadBinaryDataToDB.h"

#include "core/Exceptions.h"

#include <QtEndian>
#include <climits>
#include <new>
#include <zlib.h>

namespace {

[[noreturn]] void readError() { throw Exception(QStringLiteral("Stream read error")); }
[[noreturn]] void inflateError() { throw Exception(QStringLiteral("error")); }

// Releases the inflater on every path.
struct Inflater {
    z_stream z{};
    bool live = false;
    ~Inflater() { if (live) inflateEnd(&z); }
};

} // namespace

qint64 declaredChunkSize(const TMemoryStream &buffer)
{
    const qsizetype start = buffer.position;
    if (start < 0 || buffer.data.size() - start < 4)
        return -1;
    return qFromLittleEndian<qint32>(buffer.data.constData() + start);
}

void TLoadBinaryDataToDB::DecompressChunk(TMemoryStream &buffer)
{
    const qint64 n = declaredChunkSize(buffer);
    if (n < 0)
        readError();
    const qsizetype start = buffer.position;

    QByteArray out;
    try {
        out.resize(n);
    } catch (const std::bad_alloc &) {
        throw Exception(QStringLiteral("Out of memory"));
    }
    if (n > 0) {
        Inflater inf;
        const qsizetype inputSize = buffer.data.size() - start - 4;
        // zlib only reads the input; constData() keeps a shared buffer from being copied.
        inf.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(buffer.data.constData() + start + 4));
        inf.z.avail_in = uInt(std::min<qsizetype>(inputSize, UINT_MAX));
        inf.z.next_out = reinterpret_cast<Bytef *>(out.data());
        inf.z.avail_out = uInt(n);
        const int init = inflateInit(&inf.z);
        if (init == Z_MEM_ERROR)
            throw Exception(QStringLiteral("Out of memory"));
        if (init != Z_OK)
            inflateError();
        inf.live = true;
        int rc = inflate(&inf.z, Z_FINISH);
        if (rc == Z_MEM_ERROR)
            throw Exception(QStringLiteral("Out of memory"));
        if (rc == Z_STREAM_END && inf.z.avail_out > 0)
            readError(); // the stream ended before N bytes
        if (rc != Z_STREAM_END) {
            if (rc != Z_BUF_ERROR && rc != Z_OK)
                inflateError();
            if (inf.z.avail_out > 0)
                inflateError(); // input ran out: the stream is cut short
            // N bytes are out. A stream that ends here must still pass its trailer
            // check; one that goes on contributes only these N bytes.
            Bytef probe;
            inf.z.next_out = &probe;
            inf.z.avail_out = 1;
            rc = inflate(&inf.z, Z_FINISH);
            const bool longer = inf.z.avail_out == 0;
            const bool badTrailer = rc == Z_DATA_ERROR && inf.z.msg
                                    && qstrcmp(inf.z.msg, "incorrect data check") == 0;
            const bool endsWithoutTrailer = rc == Z_BUF_ERROR;
            // Deflate data that goes on past N is not examined, even when it is damaged.
            if (!longer && (badTrailer || endsWithoutTrailer))
                inflateError();
        }
    }
    buffer.data = std::move(out);
    buffer.position = 0;
}
