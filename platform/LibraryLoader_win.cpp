#include "LibraryLoader.h"

#include <windows.h>

LibraryHandle loadLibrary(const char *windowsName)
{
    return LoadLibraryA(windowsName);
}

void *findEntryPoint(LibraryHandle library, const char *name)
{
    return library ? reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name)) : nullptr;
}

void freeLibrary(LibraryHandle library)
{
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}
