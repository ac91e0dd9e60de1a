#include "Dialogs.h"

#include "core/Exceptions.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace {

class MessageBoxes : public Dialogs {
public:
    void show(Icon icon, const QString &caption, const QString &text) override
    {
        QMessageBox box(icon == Icon::Error ? QMessageBox::Critical : QMessageBox::Information, caption, text,
                        QMessageBox::Ok, QApplication::activeWindow());
        box.exec();
    }
};

Dialogs *installed = nullptr;

} // namespace

Dialogs &Dialogs::current()
{
    static MessageBoxes real;
    return installed ? *installed : real;
}

void Dialogs::install(Dialogs *dialogs)
{
    installed = dialogs;
}

QString errorBoxText(const QString &message)
{
    if (message.isEmpty())
        return message;
    // Outside ASCII every character is double-byte with a lead byte above 0x80,
    // so comparing the code point with "." gives the byte comparison's answer.
    return message.back().unicode() > u'.' ? message + u'.' : message;
}

QString applicationTitle()
{
    return applicationTitle(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

QString applicationTitle(const QString &programFileName)
{
    QString name = programFileName;
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    return name.left(1) + name.mid(1).toLower();
}

void ShowNotice(const QString &text)
{
    Dialogs::current().show(Dialogs::Icon::Information, kNoticeCaption, text);
}

void ShowException(const std::exception &e)
{
    if (dynamic_cast<const SilentAbort *>(&e))
        return;
    const auto *ours = dynamic_cast<const Exception *>(&e);
    const QString message = ours ? ours->message() : QString::fromLocal8Bit(e.what());
    Dialogs::current().show(Dialogs::Icon::Error, applicationTitle(), errorBoxText(message));
}
