#include "BatchedDownload.h"

#include "core/Application.h"
#include "db/SqlConnection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>

LinkLost::LinkLost(const QString &driverText)
    : Exception(QStringLiteral("The connection to the database server was lost during the download (%1). The old "
                               "program is kept; log in again to download the new version")
                    .arg(driverText))
{
}

void LinkMeasure::record(bool first, double seconds, qsizetype bytes)
{
    if (bytes <= 0 || seconds <= 0)
        return;
    if (first) {
        firstSeconds = seconds;
        firstBytes = bytes;
    } else {
        const double rate = double(bytes) / seconds;
        bytesPerSecond = bytesPerSecond > 0 ? 0.7 * bytesPerSecond + 0.3 * rate : rate;
    }
    if (bytesPerSecond > 0 && firstSeconds >= 0)
        roundTrip = std::max(0.0, firstSeconds - double(firstBytes) / bytesPerSecond);
}

int chunksPerBatch(qsizetype recordBytes, qsizetype batchBytes, const LinkMeasure &link)
{
    if (batchBytes <= 0)
        return 1;
    if (recordBytes <= 0)
        return kFirstBatch; // nothing known of the chunks yet
    qsizetype budget = batchBytes;
    if (link.bytesPerSecond > 0 && std::isfinite(link.bytesPerSecond) && link.roundTrip >= 0) {
        const double hidden = kHideRoundTrip * link.bytesPerSecond * link.roundTrip;
        budget = hidden < double(batchBytes) ? qsizetype(hidden) : batchBytes;
    }
    return int(std::clamp<qsizetype>(budget / recordBytes, 1, kMaxBatch));
}

void BatchedDownload::run(int count, const std::function<void(int, QByteArray &&, bool)> &take)
{
    // Each statement and what is read of its result are those of a record asked for alone.
    SqlBatch batch(connection);
    qsizetype recordBytes = 0; // the last stored record's size, to size the next batch
    LinkMeasure link;
    QElapsedTimer clock;
    try {
        for (int i = 0; i < count; ++i) {
            QCoreApplication::processEvents();
            if (stopRequested && stopRequested()) {
                // The launcher ends: the rest of the batch is not waited for.
                connection.giveUp();
                batch.abandon();
                requestApplicationEnd();
                throw SilentAbort();
            }
            clock.restart();
            const bool first = batch.pending() == 0;
            if (first) {
                QStringList statements;
                for (int k = i, end = i + chunksPerBatch(recordBytes, batchBytes, link); k < end && k < count; ++k)
                    statements << statement(k);
                batch.open(statements);
                ++requests;
            } else {
                batch.nextResult();
            }
            const double took = double(clock.nsecsElapsed()) / 1e9;
            const bool found = !batch.eof();
            QByteArray bytes;
            if (found)
                bytes = batch.blobField(column);
            else
                batch.fieldByName(column); // a missing column is still an error
            recordBytes = bytes.size();
            link.record(first, took, recordBytes);
            take(i, std::move(bytes), found);
        }
    } catch (const SilentAbort &) {
        throw;
    } catch (const Exception &e) {
        if (!connection.broken())
            throw;
        throw LinkLost(e.message());
    }
    batch.abandon(); // the last result's further rows, if any, are not wanted
}
