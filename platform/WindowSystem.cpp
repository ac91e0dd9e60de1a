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
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

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

void startMinimised(QWidget *window)
{
    window->setProperty(kStartsMinimised, QDateTime::currentMSecsSinceEpoch() + 2000);
    // On X11 the window manager learns it from the window's WM_HINTS when it takes the
    // window in: Qt's own minimise of a window created before it is shown is not passed on
    // then (openbox kept the window normal), and once mapped openbox may ignore it while it
    // is still taking the window in. Qt then learns the state from the window manager.
    auto *x11 = QGuiApplication::platformName() == QLatin1String("xcb")
                    ? qApp->nativeInterface<QNativeInterface::QX11Application>()
                    : nullptr;
    if (xcb_connection_t *c = x11 ? x11->connection() : nullptr) {
        const auto id = xcb_window_t(window->winId());
        uint32_t hints[9] = {};
        if (xcb_get_property_reply_t *r = xcb_get_property_reply(
                c, xcb_get_property(c, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, 9), nullptr)) {
            std::memcpy(hints, xcb_get_property_value(r), size_t(std::clamp(xcb_get_property_value_length(r), 0, 36)));
            std::free(r);
        }
        constexpr uint32_t kStateHint = 1u << 1, kIconicState = 3;
        hints[0] |= kStateHint;
        hints[2] = kIconicState;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
        xcb_flush(c);
        return;
    }
    QTimer::singleShot(0, window, [] { minimiseApplication(); });
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
