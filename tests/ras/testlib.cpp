// Libraries that stand in for rasapi32.dll and rnaph.dll in the loader's tests, built
// three ways: OFFERS_A (the "A" names), OFFERS_PLAIN (RasDeleteEntry only, plain name),
// and neither (no remote-access function at all). Each answers with its own code, so the
// test sees which library served.
#include <cstdint>
#include <cstring>

using DWORD = uint32_t;

extern "C" {

#if defined(OFFERS_A)
__attribute__((visibility("default"))) DWORD RasDeleteEntryA(const char *phonebook, const char *entry)
{
    return !phonebook && entry && std::strcmp(entry, "VUDAZEZ") == 0 ? 100 : 87;
}
__attribute__((visibility("default"))) DWORD RasSetEntryPropertiesA(const char *phonebook, const char *entry,
                                                                      void *properties, DWORD cb, void *device,
                                                                      DWORD deviceSize)
{
    DWORD size = 0;
    if (properties)
        std::memcpy(&size, properties, 4);
    const bool asPassed = !phonebook && entry && std::strcmp(entry, "VUDAZEZ") == 0 && size == 1768 && cb == 1768
                          && !device && deviceSize == 0;
    return asPassed ? 101 : 87;
}
#elif defined(OFFERS_PLAIN)
__attribute__((visibility("default"))) DWORD RasDeleteEntry(const char *phonebook, const char *entry)
{
    return !phonebook && entry && std::strcmp(entry, "VUDAZEZ") == 0 ? 200 : 87;
}
#else
__attribute__((visibility("default"))) DWORD Unrelated()
{
    return 0;
}
#endif
}
