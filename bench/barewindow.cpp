// The baselines of the start benchmark: a bare Qt window of the login window's size and
// flags, started the same way; with --label, the same window showing one label in the
// login window's Ming face; with --latin-label, one Latin label in DejaVu Sans, to show that
// the cost is that of any text at all, not of the CJK face.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget w(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowCloseButtonHint);
    w.setFixedSize(383, 259);
    const bool latin = app.arguments().contains(QStringLiteral("--latin-label"));
    if (latin || app.arguments().contains(QStringLiteral("--label"))) {
        QFont face(latin ? QStringLiteral("DejaVu Sans") : QStringLiteral("AR PL UMing CN"));
        face.setPixelSize(12);
        if (!latin)
            face.setStyleStrategy(QFont::NoAntialias);
        QApplication::setFont(face);
        auto *label = new QLabel(latin ? QStringLiteral("User:") : QStringLiteral("用户名："), &w);
        label->move(110, 82);
        label->adjustSize();
    }
    w.show();
    return app.exec();
}
