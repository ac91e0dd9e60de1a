#include "Ras.h"

#include "core/Exceptions.h"
#include "platform/LibraryLoader.h"

#include <QString>

namespace {

LibraryHandle library = nullptr; // the library that serves the lookups
bool resolved = false;
bool fallback = false; // rnaph.dll serves, under the plain names

struct Finalization {
    ~Finalization() { RasFinalization(); }
} atShutdown;

[[noreturn]] void notFound(const char *name)
{
    throw Exception(QStringLiteral("Function %1 not found!").arg(QString::fromLatin1(name)));
}

} // namespace

void *GetRasProc(const char *name)
{
    const QByteArray ansi = QByteArray(name) + 'A';
    if (resolved) {
        if (void *p = findEntryPoint(library, fallback ? name : ansi.constData()))
            return p;
        notFound(name);
    }
    library = loadLibrary("rasapi32.dll");
    if (!library)
        throw Exception(QStringLiteral("Error opening rasapi32.dll"));
    if (void *p = findEntryPoint(library, ansi.constData())) {
        resolved = true;
        return p;
    }
    library = loadLibrary("rnaph.dll");
    if (!library)
        throw Exception(QStringLiteral("Error opening rnaph.dll"));
    if (void *p = findEntryPoint(library, name)) {
        resolved = true;
        fallback = true;
        return p;
    }
    notFound(name);
}

DWORD RasDeleteEntry(LPCSTR phonebook, LPCSTR entry)
{
    using Fn = DWORD (*)(LPCSTR, LPCSTR);
    return reinterpret_cast<Fn>(GetRasProc("RasDeleteEntry"))(phonebook, entry);
}

DWORD RasSetEntryProperties(LPCSTR phonebook, LPCSTR entry, RASENTRYA *properties, DWORD cb, void *deviceInfo,
                            DWORD deviceInfoSize)
{
    using Fn = DWORD (*)(LPCSTR, LPCSTR, RASENTRYA *, DWORD, void *, DWORD);
    return reinterpret_cast<Fn>(GetRasProc("RasSetEntryProperties"))(phonebook, entry, properties, cb, deviceInfo,
                                                                     deviceInfoSize);
}

void RasFinalization()
{
    if (resolved && fallback) {
        freeLibrary(library);
        library = nullptr;
        resolved = fallback = false;
    }
}
