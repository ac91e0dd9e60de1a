// Starting another program, as the shell's "open" of a program file does.
#pragma once

#include <QString>

// Starts the program with the parameter string as its command line, in the launcher's
// current directory, and does not wait for it. Returns an empty text, or why it could not
// be started.
QString startProgram(const QString &path, const QString &parameters);
