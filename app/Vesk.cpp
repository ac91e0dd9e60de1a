// Program entry: the login window as the main window, then the message loop.
#include "LoginUnit.h"

#include <QApplication>

#include <fontconfig/fontconfig.h>
#include <thread>

int main(int argc, char *argv[])
{
    // Reading the font configuration is the longest step before the window can appear and
    // needs nothing of Qt: it runs beside the application's start, and is over before the
    // window's first text is measured (Qt would otherwise read it a second time).
    std::thread fontConfiguration([] { FcInit(); });
    QApplication app(argc, argv);
    fontConfiguration.join();
    // Owned here and destroyed after the loop, never by a deferred deletion of its own
    // while one of its handlers may still be running.
    TLoginForm form;
    form.show();
    return app.exec();
}
