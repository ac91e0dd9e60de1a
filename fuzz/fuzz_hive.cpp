// The hive's text: parsed or refused with an Exception; what parses writes back to text
// that parses to the same hive.
#include "core/Exceptions.h"
#include "platform/RegistryHive.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HiveData hive;
    try {
        hive = HiveData::parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const Exception &) {
        return 0;
    }
    const QByteArray text = hive.serialize();
    try {
        if (HiveData::parse(text).serialize() != text)
            std::abort();
    } catch (const Exception &) {
        std::abort(); // the hive's own output must always parse
    }
    return 0;
}
