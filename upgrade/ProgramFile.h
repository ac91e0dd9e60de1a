// Where DovaDu.exe is rebuilt: written beside the old program and moved over it only when
// complete, so that a failure, a stop or a kill never costs the working program.
#pragma once

#include "core/Exceptions.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

// The new program replaced the old one, but the disk did not confirm the folder's entry
// for it: a power cut may still bring the old one back. The upgrade stands; Version.txt
// must not name the new version until a later upgrade is confirmed.
class FolderNotSynced : public Exception {
public:
    // reason: the system's word for the failed sync.
    FolderNotSynced(const QString &path, const QString &reason);
};

class ProgramFile {
public:
    // Takes the folder's lock (one upgrade at a time) and opens the temporary file; throws
    // "Cannot create file <path>" when either cannot be had, holding neither then.
    explicit ProgramFile(const QString &path);
    ~ProgramFile();
    ProgramFile(const ProgramFile &) = delete;
    ProgramFile &operator=(const ProgramFile &) = delete;

    // Writes the parts one after the other and moves the whole over the old program.
    // Throws "Stream write error", leaving the old program, when it was not replaced, and
    // FolderNotSynced when it was but the folder could not be synced after.
    void write(const std::vector<QByteArray> &parts);

private:
    // What both systems' files share (ProgramFile.cpp).
    static QString temporaryOf(const QString &path);
    void refuseUnreplaceable() const;
    [[noreturn]] void cannotCreate() const;
    [[noreturn]] static void notWritten();

    // The folder's lock and the temporary file, each releasing itself (per system).
    struct Held;
    QString path;
    QString temporary;
    std::unique_ptr<Held> held;
};
