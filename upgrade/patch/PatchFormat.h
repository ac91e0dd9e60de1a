// The layout that the publisher's PatchMaker writes and applyPatch reads (PatchReader.cpp
// describes it).
#pragma once

#include <cstdint>

namespace patchformat {

inline constexpr char kMagic[4] = {'V', 'K', 'P', 'T'};
inline constexpr uint8_t kVersion = 1;
// Flag bits; a reader refuses any it does not know.
inline constexpr uint8_t kFlagBranchTargets = 0x01;

// The records' three numbers go to a stream each: lengths beside lengths compress better
// than records side by side.
enum Stream { kDiffLengths, kExtraLengths, kMoves, kDiff, kExtra, kStreams };

inline constexpr int kStreamHeaderSize = 24;
inline constexpr int kHeaderSize = 32 + kStreams * kStreamHeaderSize;

// A stream's LZMA2 dictionary is at most kMaxDictSize and all of them together at most
// kMaxDictTotal, so that the decoders stay within a fixed share of the workstation's
// memory whatever a patch declares.
inline constexpr uint32_t kMaxDictSize = 16u << 20;
inline constexpr uint64_t kMaxDictTotal = 20u << 20;
inline constexpr uint32_t kMinDictSize = 4096;

// Branch targets: a call or jump (E8/E9) whose 32-bit displacement has its top bits all
// equal over this many bits is stored as an absolute target, modulo 2^kBranchBits.
inline constexpr int kBranchBits = 26;

// One pass over data, turning the displacement of each qualifying E8/E9 into an absolute
// target (toAbsolute) or back. Every E8/E9 is stepped over with its four bytes, qualifying
// or not, and a qualifying one stays qualifying: so the two directions look at the same
// positions and the same bits of them, and undo each other exactly.
inline void transformBranches(unsigned char *data, int64_t size, bool toAbsolute)
{
    constexpr uint32_t mask = (uint32_t(1) << kBranchBits) - 1;
    constexpr uint32_t sign = uint32_t(1) << (kBranchBits - 1);
    for (int64_t i = 0; i + 5 <= size;) {
        if ((data[i] & 0xFE) != 0xE8) {
            ++i;
            continue;
        }
        unsigned char *p = data + i + 1;
        const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        const uint32_t high = v & ~(mask >> 1);
        i += 5;
        if (high != 0 && high != ~(mask >> 1))
            continue;
        const uint32_t at = uint32_t(i);
        uint32_t w = (toAbsolute ? v + at : v - at) & mask;
        if (w & sign)
            w |= ~mask;
        p[0] = uint8_t(w);
        p[1] = uint8_t(w >> 8);
        p[2] = uint8_t(w >> 16);
        p[3] = uint8_t(w >> 24);
    }
}

} // namespace patchformat
