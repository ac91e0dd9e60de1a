// Program entry: the login window as the main window, then the message loop.
#include "LoginUnit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    auto *form = new TLoginForm; // frees itself when closed
    form->show();
    return app.exec();
}
