// Version.txt: the version of the main client program on this workstation, and the
// command line with which that program is started.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The first line of the file's bytes: up to the first CR or Ctrl-Z, or the end.
QByteArray firstLine(const QByteArray &content);

// The line as a version: 0 when it is blank; otherwise an integer as StrToInt reads it
// (leading spaces, then a signed decimal or a $/x/0x hexadecimal pattern of up to 8
// digits). Throws "'%s' is not a valid integer value".
int32_t versionFromLine(const QByteArray &line);

// The message of an I/O error by its code: "File not found", "Disk full", "I/O error %d"...
QString ioErrorText(int errnoCode);

// 0 when dir + "Version.txt" does not exist. Throws on unreadable files and bad lines.
int32_t readVersionFile(const QString &dir);
// Decimal text and CR LF; replaced atomically. Throws the I/O error.
void writeVersionFile(const QString &dir, int32_t version);

// operator name (trimmed of codes 0 to 32) + ":" + the handle as a signed decimal.
QString mainProgramParameters(const QString &operatorName, uint32_t rasConnHandle);
