#include "WindowSystem.h"

#include <algorithm>

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

QFont designFont(const QStringList &families, int pixels)
{
    // A family the machine lacks is not merely skipped: Qt sorts every installed font to
    // find it a substitute, once for each size and script. Ask for the installed ones
    // first; the others stay named, after them.
    const QStringList installed = QFontDatabase::families();
    QStringList ordered = families;
    std::stable_partition(ordered.begin(), ordered.end(), [&](const QString &family) {
        return installed.contains(family, Qt::CaseInsensitive);
    });
    QFont f;
    f.setFamilies(ordered);
    f.setPixelSize(pixels);
    return f;
}

QFont designFace(const QStringList &alternatives, int pixels)
{
    // Any family after the first makes Qt sort every installed font for fallbacks at the
    // first text, once for each size and script; with one family that waits for a
    // character the face lacks, which a face covering the whole text never has.
    const QStringList installed = QFontDatabase::families();
    const auto found = std::find_if(alternatives.begin(), alternatives.end(), [&](const QString &family) {
        return installed.contains(family, Qt::CaseInsensitive);
    });
    return found == alternatives.end() ? designFont(alternatives, pixels) : designFont({*found}, pixels);
}

QRect frameRect(const QWidget *window)
{
    // QWidget's own frame geometry can miss margins the window manager reported without
    // moving the window; the platform window has them. After a close they read 0, and
    // then the widget's last frame is the better answer.
    const QWindow *handle = window->windowHandle();
    const QMargins margins = handle ? handle->frameMargins() : QMargins();
    return margins.isNull() ? window->frameGeometry() : window->geometry().marginsAdded(margins);
}

WindowPlacement windowPlacement(const QWidget *window)
{
    WindowPlacement p;
    const Qt::WindowStates state = window->windowState();
    p.showCmd = state.testFlag(Qt::WindowMinimized) ? 2 : state.testFlag(Qt::WindowMaximized) ? 3 : 1;
    const QRect frame = frameRect(window);
    const QRect client = window->geometry();
    p.maxPosition = QPoint(-(client.left() - frame.left()), -(frame.bottom() - client.bottom()));
    p.normal = QRect(frame.topLeft(), frame.size());
    return p;
}

// QWidget::move() places the frame by the widget's own idea of its margins, which can
// still be none after the window manager has framed the window: then it puts the client
// area where the frame should go, and a second move to the same point changes nothing.
// Moving by how far the frame really is from its place holds either way.
void placeWindow(QWidget *window, const QPoint &frameTopLeft)
{
    const QPoint by = frameTopLeft - frameRect(window).topLeft();
    if (!by.isNull() && !keepsGeometry(window))
        window->move(window->pos() + by);
}

bool programsPlaceWindows()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

int screenPixelsPerInch(const QWidget *window)
{
    const QScreen *screen = window && window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio()) : 96;
}

QSize primaryScreenSize()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->size() : QSize();
}

void minimiseApplication()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            w->setWindowState(w->windowState() | Qt::WindowMinimized);
}

namespace {
const char kStartsMinimised[] = "vesk-starts-minimised-until";
}

void startMinimised(QWidget *window)
{
    window->setProperty(kStartsMinimised, QDateTime::currentMSecsSinceEpoch() + 2000);
    askMinimisedStart(window);
}

bool keepsGeometry(const QWidget *window)
{
    if (window->isMinimized())
        return true;
    // Asked to start minimised, the window manager may not have said so yet.
    const QVariant until = window->property(kStartsMinimised);
    return until.isValid() && QDateTime::currentMSecsSinceEpoch() < until.toLongLong();
}

void restoredFromMinimised(QWidget *window)
{
    window->setProperty(kStartsMinimised, QVariant());
}

bool applicationMinimised()
{
    bool any = false;
    for (const QWidget *w : QApplication::topLevelWidgets()) {
        if (!w->isVisible())
            continue;
        if (!w->isMinimized())
            return false;
        any = true;
    }
    return any;
}

void centreOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen();
    if (!screen)
        return;
    QRect frame = frameRect(window);
    frame.moveCenter(screen->availableGeometry().center());
    placeWindow(window, frame.topLeft());
}
