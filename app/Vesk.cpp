// Program entry: the login window as the main window, then the message loop.
#include "LoginUnit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Owned here and destroyed after the loop, never by a deferred deletion of its own
    // while one of its handlers may still be running.
    TLoginForm form;
    form.show();
    return app.exec();
}
