// Opening a library by its Windows file name and looking up entry points: on Windows
// LoadLibraryA, GetProcAddress and FreeLibrary; on Linux "x.dll" is "libx.so" beside the
// launcher, through dlopen and dlsym.
#pragma once

using LibraryHandle = void *;

// nullptr when it cannot be opened.
LibraryHandle loadLibrary(const char *windowsName);
// nullptr when the library lacks the name.
void *findEntryPoint(LibraryHandle library, const char *name);
void freeLibrary(LibraryHandle library);
