#include "Progress.h"

#include "Terminal.h"

#include <algorithm>
#include <cstdio>

QString mib(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QString::number(double(bytes) / 1024.0, 'f', 1) + QStringLiteral(" KiB");
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

QString chunksText(qint64 n)
{
    return n == 1 ? QStringLiteral("1 chunk") : QStringLiteral("%1 chunks").arg(n);
}

Progress::Progress() : terminal(outputIsTerminal())
{
    clock.start();
}

void Progress::update(const std::function<QString()> &line, bool last)
{
    if (!terminal || (!last && clock.elapsed() - lastAt < 100))
        return;
    lastAt = clock.elapsed();
    std::printf("\r%s   %s", qPrintable(line()), last ? "\n" : "");
    std::fflush(stdout);
}

double Progress::seconds() const
{
    return std::max(1e-3, double(clock.nsecsElapsed()) / 1e9);
}
