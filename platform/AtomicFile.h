// Writing a whole file so that a crash leaves either the old or the new content.
#pragma once

#include <QByteArray>
#include <QString>

// Writes a temporary file in the same folder, flushes it to disk and renames it over
// path. Returns 0 or the errno of the step that failed; nothing is left behind then.
int writeFileAtomically(const QString &path, const QByteArray &content);

// Reads a whole file: 0 and the content, or the errno.
int readWholeFile(const QString &path, QByteArray &content);
