// Whether others than its owner may read a file that holds a secret.
#pragma once

#include <QString>

// The file's mode as octal text when its group or others may read or use it; empty when
// only its owner may. On Windows a file has no such mode: its folder's permissions decide
// (a user's profile is private), and nothing is found here.
QString modeOthersMayRead(const QString &file);
