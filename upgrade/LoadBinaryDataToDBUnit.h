// Rebuilds the main client program from the chunks stored in CopyRight.
#pragma once

#include "core/Application.h"
#include "upgrade/LoadBinaryDataToDB.h"
#include "upgrade/ProgramSeal.h"

#include <QString>
#include <memory>

class SqlConnection;

// What the download has measured of the link so far.
struct LinkMeasure {
    double bytesPerSecond = 0; // the rate at which records arrive; 0: not known yet
    double roundTrip = 0;      // seconds a request waits for its first answer, less that answer's transfer

    // A record of bytes took seconds to arrive; first: it was a request's first answer, so
    // its time holds the round trip. The rate comes from the answers after the first.
    void record(bool first, double seconds, qsizetype bytes);

    // The last request's first answer, for the round trip.
    double firstSeconds = -1;
    qsizetype firstBytes = 0;
};

// How many chunks one request asks for: enough that the records' transfer hides the
// request's round trip (kHideRoundTrip times the bytes the link carries in one), no more,
// and never more than fit in batchBytes, judged by the size of the last stored record.
// kFirstBatch while nothing is known; at least 1, at most kMaxBatch.
inline constexpr qsizetype kDefaultBatchBytes = 8 * 1024 * 1024;
inline constexpr int kFirstBatch = 4;
inline constexpr int kMaxBatch = 256;
inline constexpr double kHideRoundTrip = 20; // a round trip then costs at most 1/20 of a batch
int chunksPerBatch(qsizetype recordBytes, qsizetype batchBytes, const LinkMeasure &link = {});

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
    // The requests the last run sent for chunks, for whoever measures it.
    int ChunkRequests = 0;
    // The keys whose signature a program must carry; none: a program is not asked for one.
    QList<ReleaseKey> ReleaseKeys = builtInReleaseKeys();

    // Returns only when DovaDu.exe has been replaced by the complete new program; throws
    // otherwise (SilentAbort when the operator stopped it), leaving the old one untouched.
    void UniteFile();
};
