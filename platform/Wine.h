// How the Linux build opens a Windows program: through Wine, in the operator's Wine prefix,
// where that program's registry also lives.
#pragma once

#include <QString>
#include <QStringList>

// The words of an unquoted command-line string: split at runs of blanks and tabs.
QStringList commandLineWords(const QString &parameters);

// The file is a Windows program: "MZ", and the PE signature where its header points.
bool isWindowsProgram(const QString &path);

// The Wine loader: $WINE when set (as Wine's own tools take it), else wine or wine64 on
// the PATH, else Debian's /usr/lib/wine/wine64; empty when there is none.
QString wineLoader();

// Deletes a key below HKEY_CURRENT_USER, with everything below it, in the registry of the
// operator's Wine prefix ($WINEPREFIX, else ~/.wine), through Wine's own reg tool: Wine
// keeps that registry in memory while it runs. A prefix that does not exist yet has no
// key: nothing is done. False when there was no key to delete, or Wine is missing.
bool deleteWineKeyTree(const QString &keyPath);
