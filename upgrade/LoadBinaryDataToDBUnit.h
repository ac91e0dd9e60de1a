// Rebuilds the main client program from what the database stores: the patches that lead
// from the program the workstation holds, or else the chunks in CopyRight.
#pragma once

#include "core/Application.h"
#include "upgrade/BatchedDownload.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "upgrade/ProgramSeal.h"

#include <QString>
#include <cstdint>
#include <memory>

class SqlConnection;

class TFileDivisionAndUnite {
public:
    // The connection to read from; set by the creator, not owned.
    SqlConnection *Connection = nullptr;
    // Used by one run of UniteFile: created at its start, released at its end.
    std::unique_ptr<TLoadBinaryDataToDB> ChunkLoader;
    // Where DovaDu.exe is rebuilt: the program directory unless the creator says otherwise.
    QString TargetDirectory = programDirectory();
    // The stored bytes one request asks for.
    qsizetype BatchBytes = kDefaultBatchBytes;
    // The keys whose signature a program must carry; none: a program is not asked for one.
    QList<ReleaseKey> ReleaseKeys = builtInReleaseKeys();
    // Patches are tried before the chunks.
    bool UsePatches = true;

    // What the last run did, for whoever measures it: the requests sent for chunks and for
    // patch parts, the patch bytes fetched, the patches applied, why the patches were not
    // used, and the version of the BVersion row that the installed program was checked against.
    int ChunkRequests = 0;
    int PatchRequests = 0;
    qint64 PatchBytes = 0;
    int PatchesApplied = 0;
    QString PatchesNotUsed;
    int32_t InstalledVersion = 0;

    // Returns only when DovaDu.exe has been replaced by the complete new program; throws
    // otherwise (SilentAbort when the operator stopped it), leaving the old one untouched,
    // except FolderNotSynced: replaced, but not confirmed on disk.
    void UniteFile();
};
