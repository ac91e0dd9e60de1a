// The minimised start on X11, which Qt does not pass on for a window created early.
#include "WindowSystem.h"

#include <QGuiApplication>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

void askMinimisedStart(QWidget *window)
{
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

SongtiFaces songtiFaces()
{
    // Where 宋体 is missing, a Ming face of the same 12-pixel cell (AR PL UMing), whose
    // glyphs fit the designed boxes; the other CJK fonts as a last resort.
    return {{QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN")},
            {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK")}};
}
