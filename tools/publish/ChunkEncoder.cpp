#include "ChunkEncoder.h"

#include "core/Exceptions.h"

#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <libdeflate.h>
#include <zlib.h>

QByteArray encodeChunk(const char *data, qsizetype size, int level)
{
    QByteArray record;
    if (level == ChunkEncoder::kTightest) {
        libdeflate_compressor *c = libdeflate_alloc_compressor(12);
        if (!c)
            return {};
        record.resize(4 + qsizetype(libdeflate_zlib_compress_bound(c, size_t(size))));
        const size_t n = libdeflate_zlib_compress(c, data, size_t(size), record.data() + 4, size_t(record.size() - 4));
        libdeflate_free_compressor(c);
        if (n == 0)
            return {};
        record.resize(4 + qsizetype(n));
    } else {
        uLongf bound = compressBound(uLong(size));
        record.resize(4 + qsizetype(bound));
        if (compress2(reinterpret_cast<Bytef *>(record.data() + 4), &bound, reinterpret_cast<const Bytef *>(data),
                      uLong(size), level) != Z_OK)
            return {};
        record.resize(4 + qsizetype(bound));
    }
    qToLittleEndian<qint32>(qint32(size), record.data());
    return record;
}

ChunkEncoder::ChunkEncoder(const QByteArray &program, qsizetype chunkSize, int level)
    : program(program), chunkSize(chunkSize), level(level)
{
    // An empty program still gets one chunk, of size 0.
    const qsizetype chunks = std::max<qsizetype>(1, (program.size() + chunkSize - 1) / chunkSize);
    records.resize(size_t(chunks));
    done.assign(size_t(chunks), 0);
    const int threads = std::clamp(QThread::idealThreadCount(), 1, int(chunks));
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([this] { work(); });
}

ChunkEncoder::~ChunkEncoder()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    for (std::thread &t : workers)
        t.join();
}

void ChunkEncoder::work()
{
    for (;;) {
        int i;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (stopping || next >= count())
                return;
            i = next++;
        }
        const qsizetype at = qsizetype(i) * chunkSize;
        QByteArray r = encodeChunk(program.constData() + at, std::min(chunkSize, program.size() - at), level);
        {
            std::lock_guard<std::mutex> hold(lock);
            failed = failed || r.isEmpty();
            records[size_t(i)] = std::move(r);
            done[size_t(i)] = 1;
        }
        ready.notify_all();
    }
}

QByteArray ChunkEncoder::record(int i)
{
    std::unique_lock<std::mutex> hold(lock);
    ready.wait(hold, [&] { return done[size_t(i)] != 0; });
    if (records[size_t(i)].isEmpty())
        throw Exception(QStringLiteral("compressing the program failed"));
    return std::exchange(records[size_t(i)], QByteArray());
}
