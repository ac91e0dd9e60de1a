// The baselines of the start benchmark: a bare Qt window of the login window's size and
// flags, started the same way; with --label, the same window showing one label in the
// login window's Ming face, which is what any text at all costs a Qt window here.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget w(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowCloseButtonHint);
    w.setFixedSize(383, 259);
    if (app.arguments().contains(QStringLiteral("--label"))) {
        QFont ming(QStringLiteral("AR PL UMing CN"));
        ming.setPixelSize(12);
        ming.setStyleStrategy(QFont::NoAntialias);
        QApplication::setFont(ming);
        auto *label = new QLabel(QStringLiteral("用户名："), &w);
        label->move(110, 82);
        label->adjustSize();
    }
    w.show();
    return app.exec();
}
