// The process's memory as the kernel counts it, for the benchmarks' peak figures.
#pragma once

#include <QFile>
#include <QList>

// A field of /proc/self/status in KiB ("VmHWM:", "VmRSS:"); -1 when it cannot be read.
inline long statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
    return -1;
}
