#include "Dialogs.h"

#include "core/Exceptions.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QScreen>
#include <climits>
#include <QMessageBox>
#include <algorithm>
#include <memory>

namespace {

// A zero-width space every so often in a long run without a break opportunity, so that
// a 300-character name wraps like any other text instead of running off the screen.
QString breakable(const QString &text)
{
    constexpr int kRun = 32;
    QString out;
    out.reserve(text.size() + text.size() / kRun);
    int run = 0;
    for (QChar c : text) {
        run = (c.isSpace() || c.unicode() >= 0x2E80) ? 0 : run + 1; // CJK text breaks anywhere
        if (run > kRun) {
            out += QChar(0x200B);
            run = 1;
        }
        out += c;
    }
    return out;
}

// The text as the box can show it on screen: an overlong one keeps its beginning and its
// end, with the middle left out, so that the box and its button stay on the screen.
QString fitted(const QString &text, const QFont &font, const QScreen *screen)
{
    if (!screen)
        return text;
    const QRect available = screen->availableGeometry();
    // A message box wraps its text at about half the screen, at most 500 pixels, and adds
    // its title bar, icon, margins and button around it.
    const int width = std::max(100, std::min(available.width() / 2, 500) - 120);
    const int height = std::max(60, available.height() - 200);
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString &t) {
        return metrics.boundingRect(QRect(0, 0, width, INT_MAX), Qt::TextWordWrap, breakable(t)).height() <= height;
    };
    // No box shows more characters than fit on its screen at one per pixel-square cell.
    const qsizetype most = std::min<qsizetype>(text.size(), qsizetype(width) * height / 16);
    const auto elided = [&](qsizetype keep) {
        if (keep >= text.size())
            return text;
        return text.left(keep / 2) + QChar(0x2026) + text.right(keep - keep / 2);
    };
    if (most == text.size() && fits(text))
        return text;
    qsizetype low = 0, high = most; // elided(low) fits; find the longest that does
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (fits(elided(mid)))
            low = mid;
        else
            high = mid - 1;
    }
    return elided(low);
}

class MessageBoxes : public Dialogs {
public:
    void show(Icon icon, const QString &caption, const QString &text) override
    {
        std::unique_ptr<QMessageBox> box(createMessageBox(icon, caption, text, QApplication::activeWindow()));
        box->exec();
    }
};

Dialogs *installed = nullptr;

} // namespace

QMessageBox *createMessageBox(Dialogs::Icon icon, const QString &caption, const QString &text, QWidget *parent)
{
    auto *box = new QMessageBox(icon == Dialogs::Icon::Error ? QMessageBox::Critical : QMessageBox::Information,
                                caption, QString(), QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    const QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    box->setText(breakable(fitted(text, box->font(), screen)));
    return box;
}

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
