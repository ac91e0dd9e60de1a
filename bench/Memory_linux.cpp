#include "Memory.h"

#include <QFile>
#include <QList>

namespace {

// A field of /proc/self/status in KiB ("VmHWM:", "VmRSS:"); -1 when it cannot be read.
long statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

long residentKiB()
{
    return statusKiB("VmRSS:");
}

long peakKiB()
{
    return statusKiB("VmHWM:");
}

bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}
