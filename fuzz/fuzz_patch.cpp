// The patch reader: any old program and any patch give a result of exactly the announced
// length or a PatchError, nothing else. Input: the old program's length (4 bytes, little
// endian), the old program, then the patch.
#include "upgrade/patch/PatchReader.h"

#include <QtEndian>
#include <cstdint>
#include <cstdlib>
#include <zlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const quint32 oldLength = qFromLittleEndian<quint32>(data);
    if (oldLength > size - 4)
        return 0;
    const QByteArray old(reinterpret_cast<const char *>(data + 4), qsizetype(oldLength));
    QByteArray patch(reinterpret_cast<const char *>(data + 4 + oldLength), qsizetype(size - 4 - oldLength));
    // The old program's CRC-32 is set right, as a forger would, so that a changed old
    // program reaches the decoding instead of stopping at the first check.
    if (patch.size() >= 32)
        qToLittleEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(old.constData()), uInt(old.size()))),
                                 patch.data() + 24);
    // The announced length comes from the patch itself, as the publisher's record would
    // say it; past 16 MiB that measures the machine's memory, not the reader.
    qint64 length = patch.size() >= 24 ? qFromLittleEndian<qint64>(patch.constData() + 16) : 0;
    if (length < 0 || length > 16 * 1024 * 1024)
        length = 16 * 1024 * 1024;
    QByteArray result;
    try {
        result = applyPatch(old, patch, length);
    } catch (const PatchError &) {
        return 0;
    }
    if (result.size() != length)
        std::abort();
    return 0;
}
