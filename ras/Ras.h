// The launcher's access to the remote-access service. RasEnumEntriesA, RasDialA and
// RasHangUpA are bound when the program loads (platform/RasApi.h); RasDeleteEntry and
// RasSetEntryProperties are looked up by name on every call.
#pragma once

#include "platform/RasApi.h"

// The entry point of a remote-access function: its name + "A" in rasapi32.dll, or its
// plain name in rnaph.dll where rasapi32.dll lacks it; the library of the first lookup
// that succeeds serves the rest of the run. Never null; throws Exception with "Error
// opening rasapi32.dll", "Error opening rnaph.dll" or "Function <name> not found!".
void *GetRasProc(const char *name);

DWORD RasDeleteEntry(LPCSTR phonebook, LPCSTR entry);
DWORD RasSetEntryProperties(LPCSTR phonebook, LPCSTR entry, RASENTRYA *properties, DWORD cb, void *deviceInfo,
                            DWORD deviceInfoSize);

// The unit's end, run once at program shutdown: the library is released only when it
// is rnaph.dll.
void RasFinalization();
