// Starting another program, as the shell's "open" of a program file does.
#pragma once

#include <QString>
#include <QStringList>

// The words of an unquoted command-line string: split at runs of blanks and tabs.
QStringList commandLineWords(const QString &parameters);

// Starts the program detached, in the launcher's current directory, with the parameter
// string as its command line. Returns an empty text, or why it could not be started.
QString startProgram(const QString &path, const QString &parameters);
