// Writing a whole file so that a crash leaves either the old or the new content.
#pragma once

#include <QByteArray>
#include <QString>

// Writes a temporary file in the same folder, flushes it to disk, renames it over path
// and syncs the folder, so that the new content is what a power cut leaves behind once
// this returns. Returns 0 or the errno of the step that failed; nothing is left behind then,
// and path keeps its old content, unless only the folder's sync after the rename failed.
// The file keeps the mode of the one it replaces (a new one gets 0644) unless mode is given.
int writeFileAtomically(const QString &path, const QByteArray &content, int mode = -1);

// Flushes a folder's entries (a rename in it) to disk. Returns 0 or the errno.
int syncDirectory(const QString &dir);

// Renames from over to and syncs their folder. Returns 0 or the errno (of the sync, when
// the rename is done).
int replaceFile(const QString &from, const QString &to);

// Reads a whole file: 0 and the content, or the errno.
int readWholeFile(const QString &path, QByteArray &content);

// Reads at most the first most bytes of a file (all of it when most < 0): 0 and the
// content, or the errno.
int readFileStart(const QString &path, QByteArray &content, qsizetype most);
