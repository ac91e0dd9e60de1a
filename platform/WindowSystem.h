// What the windows ask of the window system beyond Qt's own defaults.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QStringList>

class QWidget;

// The faces that stand for the design font 宋体 on this system, the first it has taken,
// drawn from their own bitmaps at the design's sizes; then those that can take their place.
struct SongtiFaces {
    QStringList bitmapped;
    QStringList fallbacks;
};
SongtiFaces songtiFaces();

// The design font at a pixel height: families in their order, those the machine has first.
QFont designFont(const QStringList &families, int pixels);
// The same from faces each of which covers the whole text: the first the machine has,
// alone (all of them when it has none).
QFont designFace(const QStringList &alternatives, int pixels);

// Moves the window's outer frame to the centre of its screen's available area.
void centreOnScreen(QWidget *window);

// Where a window stands and in which state, as a placement record of the Windows window
// system has it: show state 0 hidden, 1 normal, 2 minimised, 3 maximised; the normal
// rectangle is the outer frame, right = left + width, in device-independent pixels; X11
// has no minimised position, so it is -1,-1.
struct WindowPlacement {
    int flags = 0;
    int showCmd = 1;
    QPoint minPosition{-1, -1};
    QPoint maxPosition;
    QRect normal;
};

// The outer frame as the window system has it (the widget's frameGeometry() can lag).
QRect frameRect(const QWidget *window);

WindowPlacement windowPlacement(const QWidget *window);

// Puts the window's outer frame with its top-left corner at frameTopLeft, as far as the
// frame is known: before the window manager has framed the window, call it again once it has.
void placeWindow(QWidget *window, const QPoint &frameTopLeft);

// Whether this window system lets a program place its windows (Wayland does not).
bool programsPlaceWindows();

// The screen's effective density: logical dots per inch times the device pixel ratio,
// so that a change of the desktop's scaling counts as another density. Without a window:
// the primary screen's.
int screenPixelsPerInch(const QWidget *window);

// The primary screen's size in device-independent pixels.
QSize primaryScreenSize();

// Minimises every shown top-level window: the nearest thing to minimising the application.
void minimiseApplication();
// Asks, before window is first shown, that it start minimised (the window system's
// initial state where it has one; otherwise Qt's minimise once the loop runs).
void startMinimised(QWidget *window);
// What startMinimised asks of this window system (a file of its own for each).
void askMinimisedStart(QWidget *window);
// The window is minimised, or about to start so: a move or a resize now would have the
// window manager show it. restoredFromMinimised() ends the second.
bool keepsGeometry(const QWidget *window);
void restoredFromMinimised(QWidget *window);
bool applicationMinimised();
