// The process's memory as the system counts it, for the benchmarks' peak figures
// (Memory_linux.cpp, Memory_win.cpp).
#pragma once

// What the process holds now, in KiB; -1 when it cannot be read.
long residentKiB();
// The most it held since the last resetPeak() (or its start), in KiB; -1 when unknown.
long peakKiB();
// Starts the peak anew; false where the system cannot, and peakKiB() then says -1.
bool resetPeak();
