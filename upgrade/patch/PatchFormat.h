// The layout that the publisher's PatchMaker writes and applyPatch reads (PatchReader.cpp
// describes it).
#pragma once

#include "upgrade/ProgramSize.h"

#include <cstdint>

namespace patchformat {

inline constexpr char kMagic[4] = {'V', 'K', 'P', 'T'};
inline constexpr uint8_t kVersion = 1;

// The records' three numbers go to a stream each: lengths beside lengths compress better
// than records side by side.
enum Stream { kDiffLengths, kExtraLengths, kMoves, kDiff, kExtra, kStreams };

inline constexpr int kStreamHeaderSize = 24;
inline constexpr int kHeaderSize = 32 + kStreams * kStreamHeaderSize;

// A stream's LZMA2 dictionary is at most kMaxDictSize and all of them together at most
// kMaxDictTotal, so that the decoders stay within a fixed share of the workstation's
// memory whatever a patch declares.
inline constexpr uint32_t kMaxDictSize = 16u << 20;
inline constexpr uint64_t kMaxDictTotal = 40u << 20;
inline constexpr uint32_t kMinDictSize = 4096;

// Programs are under 2 GiB (upgrade/ProgramSize.h), the suffix array's reach.
using ::kMaxProgramSize;

// Diff bytes are differences of 16-bit numbers where a byte changed: a byte whose new value
// is below the old one borrows from the next one (only the next), so that an address moved
// by d reads the same wherever the move crossed a byte boundary (bytewise, +0x20 from ..F0
// gives "20 01" and from ..E0 "20 00"; here both are "20 00"). Measured against borrowing
// across up to four bytes, which the negative moves' runs of FF made larger.
struct BorrowChain {
    bool borrow = false;

    unsigned char difference(unsigned char neu, unsigned char old)
    {
        const int x = int(neu) - int(old) - int(borrow);
        borrow = x < 0 && !borrow;
        return (unsigned char)(x);
    }
    unsigned char sum(unsigned char diff, unsigned char old)
    {
        const unsigned char neu = (unsigned char)(diff + old + borrow);
        borrow = int(neu) - int(old) - int(borrow) < 0 && !borrow;
        return neu;
    }
};

} // namespace patchformat
