// The upgrade's short road: the program the workstation holds, turned into the published
// one by the stored patches that lead from it there.
#pragma once

#include "upgrade/PublishedProgram.h"

#include <QByteArray>
#include <functional>
#include <optional>

class SqlConnection;

class PatchRoad {
public:
    PatchRoad(SqlConnection &connection, qsizetype batchBytes) : connection(connection), batchBytes(batchBytes) {}

    // Told how many parts the bar counts, once a chain is found, and each part's arrival.
    std::function<void(int parts)> setSteps;
    std::function<void(int done)> setDone;
    std::function<bool()> stopRequested;

    // The published program made from old, checked against the SHA-256 each patch names
    // and published's own; nullopt when the patches cannot make it (no chain, a damaged or
    // missing part, the tables absent or gone, too little memory), the reason in whyNot.
    // Throws SilentAbort for a stop and LinkLost for a lost link, which no other road would mend.
    // old is taken over, so that no more than two programs are held at once.
    std::optional<QByteArray> rebuild(const Published &published, QByteArray old);

    // The SHA-256 of what rebuild returned.
    const QByteArray &resultSha256() const { return resultSha; }

    QString whyNot;
    int requests = 0;
    qint64 bytesFetched = 0;
    int patchesApplied = 0;

private:
    QByteArray apply(const QByteArray &old, const QByteArray &patch, qint64 length);
    SqlConnection &connection;
    qsizetype batchBytes;
    QByteArray resultSha; // of what apply made last
};
