// What the windows ask of the window system beyond Qt's own defaults.
#pragma once

#include <QFont>
#include <QStringList>

class QWidget;

// The design font: the first of families that the machine has, at a pixel height.
QFont designFont(const QStringList &families, int pixels);

// Moves the window's outer frame to the centre of its screen's available area.
void centreOnScreen(QWidget *window);
