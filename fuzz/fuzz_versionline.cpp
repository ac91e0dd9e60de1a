// Version.txt's first line: a number or the conversion error, for any bytes.
#include "core/Exceptions.h"
#include "upgrade/VersionFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray line = firstLine(content);
    if (line.contains('\r') || line.contains('\x1A') || !content.startsWith(line))
        std::abort();
    try {
        const int32_t v = versionFromLine(line);
        // What the launcher writes, it reads back as the same number.
        if (versionFromLine(firstLine(QByteArray::number(v) + "\r\n")) != v)
            std::abort();
    } catch (const Exception &) {
    }
    return 0;
}
