// A quick look, before the patch is made, at how much of the new program the old one holds.
#pragma once

#include <QByteArray>

// The share, 0 to 1, of kEstimateSamples positions spread evenly over neu whose next
// kEstimateWindow bytes occur somewhere in old. One pass over old, a hash at each byte.
inline constexpr int kEstimateSamples = 16384;
inline constexpr int kEstimateWindow = 16;
double sharedShare(const QByteArray &old, const QByteArray &neu);

// Below this share, a patch cannot come to half of the full download: what the old
// program lacks is carried in the patch nearly as compressed as in the chunks.
inline constexpr double kWorthDiffing = 0.25;
