#include "WindowSystem.h"

#include <QScreen>
#include <QWidget>

QFont designFont(const QStringList &families, int pixels)
{
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    return f;
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
