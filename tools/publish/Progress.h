// Progress on one line, rewritten in place while the output is a terminal; silent otherwise.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <functional>

// Sizes as an administrator reads them; small ones in KiB or bytes, so that a small file
// never shows as "0.0 MiB".
QString mib(qint64 bytes);
QString chunksText(qint64 n);

class Progress {
public:
    Progress();
    // Rewrites the line with line() at most every 100 ms, and always for the last update,
    // which ends the line.
    void update(const std::function<QString()> &line, bool last = false);
    double seconds() const;
    bool shown() const { return terminal; }

private:
    bool terminal;
    QElapsedTimer clock;
    qint64 lastAt = -1000;
};
