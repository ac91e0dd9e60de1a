// Reads a run of stored records, one statement each, several statements to a request,
// batches sized to the link as it is measured; the stop and a lost link end it.
#pragma once

#include "core/Exceptions.h"

#include <QByteArray>
#include <QString>
#include <functional>

class SqlConnection;

// The link to the server went during a download: never a reason to try another road.
class LinkLost : public Exception {
public:
    // The operator's words for it, the driver's in brackets: those alone ("Unknown
    // error", "Unexpected EOF") do not tell what happened.
    explicit LinkLost(const QString &driverText);
};

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

// How many records one request asks for: enough that the records' transfer hides the
// request's round trip (kHideRoundTrip times the bytes the link carries in one), no more,
// and never more than fit in batchBytes, judged by the size of the last stored record.
// kFirstBatch while nothing is known; at least 1, at most kMaxBatch.
inline constexpr qsizetype kDefaultBatchBytes = 8 * 1024 * 1024;
inline constexpr int kFirstBatch = 4;
inline constexpr int kMaxBatch = 256;
inline constexpr double kHideRoundTrip = 20; // a round trip then costs at most 1/20 of a batch
int chunksPerBatch(qsizetype recordBytes, qsizetype batchBytes, const LinkMeasure &link = {});

class BatchedDownload {
public:
    BatchedDownload(SqlConnection &connection, qsizetype batchBytes) : connection(connection), batchBytes(batchBytes) {}

    // The statement that reads record i, and the column of its first row that holds it.
    std::function<QString(int i)> statement;
    QString column;
    // Looked at before each record, after the window's messages were let through; true
    // ends the download: the link is cut, the application asked to end, SilentAbort thrown.
    std::function<bool()> stopRequested;

    // Calls take(i, bytes, found) for records 0 to count-1 in order; found is false when the
    // statement gave no row (a missing column is an error all the same). What take throws
    // passes out. A failure of the link throws LinkLost, any other database failure the
    // database's Exception.
    void run(int count, const std::function<void(int i, QByteArray &&bytes, bool found)> &take);

    // Requests sent so far.
    int requests = 0;

private:
    SqlConnection &connection;
    qsizetype batchBytes;
};
