// One stored chunk record: its inflated size N, then a zlib stream inflating to N bytes.
#pragma once

#include <QByteArray>

// A growable in-memory byte stream with a read/write position.
struct TMemoryStream {
    QByteArray data;
    qsizetype position = 0;

    void clear() { data.clear(); position = 0; }
};

// The inflated size N that the record at the buffer's position declares; negative also for
// a record too short to hold one.
qint64 declaredChunkSize(const TMemoryStream &buffer);

class TLoadBinaryDataToDB {
public:
    // The buffer, positioned at a chunk record, ends up holding exactly the N inflated
    // bytes with its position at 0. Throws Exception: "Stream read error" for a record
    // shorter than its size field, a negative N or a stream that ends before N bytes;
    // "error" for a corrupt or cut stream or a wrong Adler-32 trailer; "Out of memory".
    void DecompressChunk(TMemoryStream &buffer);
};
