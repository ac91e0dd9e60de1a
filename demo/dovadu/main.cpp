// The demo's main client program: shows what the launcher handed it.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString joined = args.join(u' ');
    const qsizetype colon = joined.lastIndexOf(u':');
    QWidget w;
    w.setWindowTitle(QStringLiteral("DovaDu 演示主程序"));
    auto *layout = new QVBoxLayout(&w);
    auto line = [&](const QString &text) {
        auto *l = new QLabel(text);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(l);
    };
    line(QStringLiteral("Orvan企业资源管理系统内外销软件 (演示)"));
    line(QStringLiteral("操作员：%1").arg(colon >= 0 ? joined.left(colon) : joined));
    line(QStringLiteral("VPN连接句柄：%1").arg(colon >= 0 ? joined.mid(colon + 1) : QStringLiteral("?")));
    line(QStringLiteral("命令行参数：%1").arg(args.isEmpty() ? QStringLiteral("(无)") : u'[' + args.join(QStringLiteral("] [")) + u']'));
    line(QStringLiteral("工作目录：%1").arg(QDir::currentPath()));
    w.resize(420, 160);
    w.show();
    return app.exec();
}
