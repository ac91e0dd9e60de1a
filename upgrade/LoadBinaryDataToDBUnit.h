// Rebuilds the main client program from the chunks stored in CopyRight.
#pragma once

#include "core/Application.h"
#include "upgrade/LoadBinaryDataToDB.h"

#include <QString>
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

    // Returns only when DovaDu.exe has been replaced by the complete new program; throws
    // otherwise (SilentAbort when the operator stopped it), leaving the old one untouched.
    void UniteFile();
};
