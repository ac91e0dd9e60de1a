// Chunk records: any bytes give the N inflated bytes or an Exception, nothing else.
#include "core/Exceptions.h"
#include "upgrade/LoadBinaryDataToDB.h"

#include <QtEndian>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A record may declare up to 2 GiB, which the reader then reserves; past 16 MiB that
    // measures the machine's memory, not the decoder.
    if (size >= 4 && qFromLittleEndian<qint32>(data) > 16 * 1024 * 1024)
        return 0;
    TMemoryStream chunk;
    chunk.data = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    const qint32 n = size >= 4 ? qFromLittleEndian<qint32>(data) : -1;
    try {
        TLoadBinaryDataToDB().DecompressChunk(chunk);
    } catch (const Exception &) {
        return 0;
    }
    if (chunk.data.size() != n || chunk.position != 0)
        std::abort(); // a decoded chunk holds exactly N bytes
    return 0;
}
