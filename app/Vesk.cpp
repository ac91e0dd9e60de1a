// Program entry: the login window as the main window, then the message loop.
#include "LoginUnit.h"
#include "platform/FontStart.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    FontStart fonts;
    QApplication app(argc, argv);
    fonts.wait();
    // The application's face is the window's, as the system dialogs are drawn in 宋体 where
    // the window was designed: the message boxes take it, and the line edits, which lay their
    // text out once in the application's face before taking the window's, load no second one.
    QApplication::setFont(songti(12));
    // Owned here and destroyed after the loop, never by a deferred deletion of its own
    // while one of its handlers may still be running.
    TLoginForm form;
    form.show();
    return app.exec();
}
