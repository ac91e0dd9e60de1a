#include "FontStart.h"

// Windows has its fonts at hand: nothing to begin.
FontStart::FontStart() = default;

void FontStart::wait() {}
