#include "LibraryLoader.h"

#include "core/Application.h"

#include <QByteArray>
#include <QFile>
#include <dlfcn.h>

LibraryHandle loadLibrary(const char *windowsName)
{
    QByteArray name(windowsName);
    if (name.endsWith(".dll"))
        name.chop(4);
    const QByteArray path = QFile::encodeName(programDirectory()) + "lib" + name + ".so";
    return dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
}

void *findEntryPoint(LibraryHandle library, const char *name)
{
    return library ? dlsym(library, name) : nullptr;
}

void freeLibrary(LibraryHandle library)
{
    if (library)
        dlclose(library);
}
