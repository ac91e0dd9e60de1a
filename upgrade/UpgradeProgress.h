// The progress window for the length of one reassembly, whichever road it takes.
#pragma once

#include <QPointer>

class TShowForm;

class UpgradeProgress {
public:
    // Creates and shows the window and waits, briefly, until it is painted.
    UpgradeProgress();
    // Closes the window on every path.
    ~UpgradeProgress();
    UpgradeProgress(const UpgradeProgress &) = delete;
    UpgradeProgress &operator=(const UpgradeProgress &) = delete;

    // The bar counts steps from 1 to steps, starting empty again; below 1 fails with
    // "TProgressBar property out of range".
    void setSteps(int steps);
    void setDone(int done);
    // The operator asked to stop.
    static bool stopRequested();

private:
    QPointer<TShowForm> window;
    bool painted = false;
};
