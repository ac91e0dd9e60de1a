// Text rules shared by every subsystem.
#pragma once

#include <QString>

// Removes the characters with codes 0 to 32 from both ends, and nothing else.
QString trimControls(const QString &text);
