// The stored patches: read back, numbered, stored in parts and pruned to those that lead
// to the program published now.
#pragma once

#include "upgrade/PublishedProgram.h"

#include <QSet>

class SqlConnection;

// The patch tables, and the column of BVersion that keeps their numbering.
inline const QStringList kPatchTables{QLatin1String(kPatchTable), QLatin1String(kPatchPartTable)};
inline constexpr const char kLastPatchIdColumn[] = "LastPatchId";

QList<StoredPatch> storedPatches(SqlConnection &c);

// The bytes of one stored patch, as a launcher reads them: part after part. Throws
// PatchPartsDamaged; a failed read is DatabaseFailed.
QByteArray patchBytes(SqlConnection &c, const StoredPatch &patch);

// The highest patch number ever used: of the rows in either patch table (a row the
// launcher would pass over included) and published's LastPatchId, which outlives them. The
// next patch takes the number above it, so that a pruned number never comes back.
int lastPatchId(SqlConnection &c, const Published &published);

// Stores patch (whose row made describes it; parts counted here) in parts of partBytes.
void storePatch(SqlConnection &c, StoredPatch &made, const QByteArray &patch, qsizetype partBytes);

// The patches a workstation may follow to the program to: the newest patch that makes
// it, the newest that makes that one's start, and so on, at most keep of them.
QSet<int> chainEndingAt(const QList<StoredPatch> &patches, QByteArray to, int keep);

// Deletes every patch whose number kept lacks.
void prunePatches(SqlConnection &c, const QList<StoredPatch> &patches, const QSet<int> &kept);
