// Qt alone: Windows takes a window's minimised state from Qt as it is shown.
#include "WindowSystem.h"

#include <QTimer>
#include <QWidget>

void askMinimisedStart(QWidget *window)
{
    // As a posted SC_MINIMIZE does: once the loop runs.
    QTimer::singleShot(0, window, [] { minimiseApplication(); });
}

SongtiFaces songtiFaces()
{
    // 宋体 is SimSun to Qt's font database here; its companion NSimSun, then the face
    // Windows itself falls back to for Chinese text and the free face drawn to its metrics.
    // No Ming face of the host's: Wine draws AR PL UMing's Latin bitmaps cut to its outlines.
    return {{QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun")},
            {QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei")}};
}
