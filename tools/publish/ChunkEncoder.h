// The chunk records of a program, compressed on every core ahead of the statements that
// store them: the chunks are independent, and the tightest encoder is slow.
#pragma once

#include <QByteArray>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ChunkEncoder {
public:
    // kTightest: libdeflate at its highest level, the tightest zlib-format encoder measured
    // (zlib's level 9 gives 3.4 % more bytes); 0 to 9: zlib at that level.
    static constexpr int kTightest = -1;
    ChunkEncoder(const QByteArray &program, qsizetype chunkSize, int level);
    ~ChunkEncoder();
    ChunkEncoder(const ChunkEncoder &) = delete;
    ChunkEncoder &operator=(const ChunkEncoder &) = delete;

    int count() const { return int(records.size()); }
    // Chunk i's record (its size as 32-bit little-endian, then its zlib stream), waiting for
    // it if needed. Throws Exception when it could not be compressed.
    QByteArray record(int i);

private:
    void work();
    const QByteArray &program;
    qsizetype chunkSize;
    int level;
    std::vector<QByteArray> records;
    std::vector<char> done;
    int next = 0;
    bool failed = false;
    bool stopping = false;
    std::mutex lock;
    std::condition_variable ready;
    std::vector<std::thread> workers;
};

// One chunk's record, as the launcher's decoder reads it.
QByteArray encodeChunk(const char *data, qsizetype size, int level);
