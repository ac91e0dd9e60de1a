// The working set; Windows keeps its peak from the process's start and cannot start it
// anew, so after a reset the peak is unknown.
#include "Memory.h"

#include <windows.h>
#include <psapi.h>

namespace {

bool peakValid = true;

} // namespace

long residentKiB()
{
    PROCESS_MEMORY_COUNTERS c{};
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? long(c.WorkingSetSize / 1024) : -1;
}

long peakKiB()
{
    PROCESS_MEMORY_COUNTERS c{};
    return peakValid && GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? long(c.PeakWorkingSetSize / 1024) : -1;
}

bool resetPeak()
{
    peakValid = false;
    return false;
}
