// What the workstations get from what is stored: the chunks read and decoded as the
// launcher does, with a report of each damaged one, and --show.
#pragma once

#include "upgrade/PublishedProgram.h"

#include <QByteArray>
#include <QStringList>

class SqlConnection;

// BVersion's row as the workstations read it; readVersion fails as Damaged when the table
// holds no row.
Published readVersionRow(SqlConnection &c);
Published readVersion(SqlConnection &c);

struct Contents {
    qint64 stored = 0;
    qint64 unpacked = 0;
    QByteArray sha256;   // raw
    QStringList damaged; // "chunk i: why"
    QByteArray bytes;    // kept only when asked for
};
// Chunks 0 to counts - 1, or only every every-th of them.
Contents readContents(SqlConnection &c, int counts, bool keepBytes, int every = 1);

// What the stored seal says of the program the workstations rebuild; empty when it holds.
// Prints a line each for the hash and the signature unless quiet.
QString describeSeal(const Published &p, const QByteArray &sha256, qint64 length, bool quiet = false);

// The program published now, rebuilt as the workstations rebuild it, to make the patch from.
struct Previous {
    QByteArray bytes;
    QByteArray sha256;
    QString whyNone;  // empty: there is a previous program
    bool any = false; // something is published
};
Previous previousProgram(SqlConnection &c);

// A first look at the program published now, on every every-th chunk of it: the share of
// neu it holds (sharedShare), scaled up to the whole program; 1 when it cannot be read.
double sampledShare(SqlConnection &c, const QByteArray &neu, int every);

// --show: prints what is published; the exit status.
int show(SqlConnection &c, const QString &server, const QString &database);
