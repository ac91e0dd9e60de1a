// The baseline of the start benchmark: a bare Qt window of the login window's size and
// flags, started the same way.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget w(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowCloseButtonHint);
    w.setFixedSize(383, 259);
    w.show();
    return app.exec();
}
