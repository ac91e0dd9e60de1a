#include "PatchEstimate.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

static_assert(kEstimateWindow == 16, "the hash reads the window as two 64-bit words");

// Each position hashed on its own, not rolled from the last, so that the loop over old
// carries no dependency from one byte to the next.
quint64 windowHash(const uchar *p)
{
    quint64 a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    return (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL);
}

} // namespace

double sharedShare(const QByteArray &old, const QByteArray &neu)
{
    if (neu.size() < kEstimateWindow)
        return neu.isEmpty() || old.contains(neu) ? 1.0 : 0.0;
    if (old.size() < kEstimateWindow)
        return 0.0;
    const auto *o = reinterpret_cast<const uchar *>(old.constData());
    const auto *n = reinterpret_cast<const uchar *>(neu.constData());

    // The sampled windows of neu, one entry for each distinct window with the number of
    // samples it stands for, sorted by hash; and a bitmap of their hashes that lets nearly
    // every window of old pass without a search.
    const qsizetype positions = neu.size() - kEstimateWindow + 1;
    const qsizetype samples = std::min<qsizetype>(kEstimateSamples, positions);
    struct Window {
        quint64 hash;
        qsizetype at;
        qsizetype count;
    };
    std::vector<Window> windows;
    windows.reserve(size_t(samples));
    for (qsizetype i = 0; i < samples; ++i) {
        const qsizetype at = positions * i / samples;
        windows.push_back({windowHash(n + at), at, 1});
    }
    const auto byHash = [](const Window &a, const Window &b) { return a.hash < b.hash; };
    std::sort(windows.begin(), windows.end(), byHash);
    std::vector<Window> distinct;
    for (const Window &w : windows)
        if (!distinct.empty() && distinct.back().hash == w.hash && std::memcmp(n + distinct.back().at, n + w.at, kEstimateWindow) == 0)
            ++distinct.back().count;
        else
            distinct.push_back(w);
    constexpr int kBitmapBits = 21;
    std::vector<quint64> bitmap((size_t(1) << kBitmapBits) / 64);
    const auto slot = [](quint64 h) { return size_t(h >> (64 - kBitmapBits)); };
    for (const Window &w : distinct)
        bitmap[slot(w.hash) / 64] |= quint64(1) << (slot(w.hash) % 64);

    qsizetype hits = 0;
    for (qsizetype at = 0; at + kEstimateWindow <= old.size(); ++at) {
        const quint64 h = windowHash(o + at);
        if (!(bitmap[slot(h) / 64] >> (slot(h) % 64) & 1))
            continue;
        const auto range = std::equal_range(distinct.begin(), distinct.end(), Window{h, 0, 0}, byHash);
        for (auto it = range.first; it != range.second; ++it)
            if (it->count > 0 && std::memcmp(o + at, n + it->at, kEstimateWindow) == 0) {
                hits += it->count;
                it->count = 0; // found: counted once
            }
    }
    return double(hits) / double(samples);
}
