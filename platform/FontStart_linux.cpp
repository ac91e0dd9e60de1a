#include "FontStart.h"

#include <fontconfig/fontconfig.h>

// Reading the font configuration is the longest step before the window can appear and
// needs nothing of Qt: it runs beside the application's start, and is over before the
// window's first text is measured (Qt would otherwise read it a second time).
FontStart::FontStart() : reading([] { FcInit(); }) {}

void FontStart::wait()
{
    if (reading.joinable())
        reading.join();
}
