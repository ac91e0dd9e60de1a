#include "UpgradeProgress.h"

#include "upgrade/ShowFormUnit.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QProgressBar>
#include <QThread>
#include <QWindow>

namespace {
// The longest the window is waited for before the download starts regardless (a window
// manager may keep it from the screen).
constexpr int kExposeWait = 1000;
} // namespace

UpgradeProgress::UpgradeProgress()
{
    ShowForm = new TShowForm;
    window = ShowForm;
    window->inUse = true;
    window->show();
}

UpgradeProgress::~UpgradeProgress()
{
    if (window) {
        window->inUse = false;
        window->close();
    }
}

void UpgradeProgress::setSteps(int steps)
{
    if (!window)
        return;
    window->setRange(1, steps);
    window->ProgressBar1->reset();
    if (painted)
        return;
    painted = true;
    // Painted before the first request: over a slow link its answer takes a while, and the
    // window system says a new window is visible only some time after it was shown.
    const auto exposed = [this] { return window && window->windowHandle() && window->windowHandle()->isExposed(); };
    for (QDeadlineTimer deadline(kExposeWait); !exposed() && !stopRequested() && !deadline.hasExpired();) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    if (QWidget *active = QApplication::activeWindow())
        active->repaint();
}

void UpgradeProgress::setDone(int done)
{
    if (window)
        window->ProgressBar1->setValue(done);
}

bool UpgradeProgress::stopRequested()
{
    return UpgradeStopFlag == 1;
}
