// Chunk records as the publisher writes them, and damaged ones, for the tests.
#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QtEndian>
#include <zlib.h>

namespace chunks {

inline QByteArray deflated(const QByteArray &data, int level = 6)
{
    uLongf bound = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(bound), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef *>(out.data()), &bound, reinterpret_cast<const Bytef *>(data.constData()),
              uLong(data.size()), level);
    out.resize(qsizetype(bound));
    return out;
}

inline QByteArray sizeField(qint32 n)
{
    QByteArray b(4, Qt::Uninitialized);
    qToLittleEndian<qint32>(n, b.data());
    return b;
}

// The record of data, declaring n bytes (the data's own size unless given).
inline QByteArray record(const QByteArray &data, qint64 n = -1)
{
    return sizeField(qint32(n < 0 ? data.size() : n)) + deflated(data);
}

// Bytes that compress somewhat, like a program does.
inline QByteArray programBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator g(seed);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = (i % 7 < 3) ? char(g.generate() & 0xFF) : char('A' + (i / 64) % 26);
    return b;
}

// The next release of a program as a relink makes it: references changed all through the
// file, a stretch of new code in the middle.
inline QByteArray nextRelease(const QByteArray &previous, quint32 seed)
{
    QByteArray next = previous;
    QRandomGenerator g(seed);
    for (qsizetype at = qsizetype(g.bounded(4096)); at + 4 <= next.size(); at += 3000 + qsizetype(g.bounded(2000)))
        next[at] = char(next[at] + 1 + int(g.bounded(3)));
    QByteArray fresh(6000, Qt::Uninitialized);
    for (char &c : fresh)
        c = char(g.generate());
    next.insert(next.size() / 2, fresh);
    return next;
}

} // namespace chunks
