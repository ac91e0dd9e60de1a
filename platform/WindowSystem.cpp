#include "WindowSystem.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QFont designFont(const QStringList &families, int pixels)
{
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    return f;
}

WindowPlacement windowPlacement(const QWidget *window)
{
    WindowPlacement p;
    const Qt::WindowStates state = window->windowState();
    p.showCmd = state.testFlag(Qt::WindowMinimized) ? 2 : state.testFlag(Qt::WindowMaximized) ? 3 : 1;
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    p.maxPosition = QPoint(-(client.left() - frame.left()), -(frame.bottom() - client.bottom()));
    p.normal = QRect(frame.topLeft(), frame.size());
    return p;
}

void placeWindow(QWidget *window, const QPoint &frameTopLeft)
{
    window->move(frameTopLeft);
}

void keepFramePosition(QWidget *window, const QPoint &frameTopLeft)
{
    if (window->frameGeometry().topLeft() != frameTopLeft)
        window->move(frameTopLeft);
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
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}
