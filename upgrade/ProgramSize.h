// The largest main client program either road of an upgrade installs, and the publisher
// publishes: under 2 GiB, the reach of a chunk's size field and of the patches' suffix array.
#pragma once

#include <cstdint>

inline constexpr int64_t kMaxProgramSize = (int64_t(1) << 31) - 2;
