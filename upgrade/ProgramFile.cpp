#include "ProgramFile.h"

#include <QDir>
#include <QFileInfo>

FolderNotSynced::FolderNotSynced(const QString &path, const QString &reason)
    : Exception(QStringLiteral("The new program is in place as %1, but the disk did not confirm it (%2)")
                    .arg(QDir::toNativeSeparators(path), reason))
{
}

// A killed run's temporary file keeps this name, so the next run takes it over.
QString ProgramFile::temporaryOf(const QString &path)
{
    return path + QStringLiteral(".download");
}

void ProgramFile::refuseUnreplaceable() const
{
    const QFileInfo existing(path);
    if (existing.exists() && (!existing.isFile() || !existing.isWritable()))
        cannotCreate();
}

void ProgramFile::cannotCreate() const
{
    throw Exception(QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(path)));
}

void ProgramFile::notWritten()
{
    throw Exception(QStringLiteral("Stream write error"));
}
