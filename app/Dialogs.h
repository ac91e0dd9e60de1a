// Every message box of the launcher goes through here, so tests can read the texts
// without a modal box blocking them.
#pragma once

#include <QString>
#include <exception>

class QMessageBox;
class QWidget;

class Dialogs {
public:
    enum class Icon { Information, Error };
    virtual ~Dialogs() = default;
    virtual void show(Icon icon, const QString &caption, const QString &text) = 0;

    static Dialogs &current();
    // nullptr puts the real message boxes back.
    static void install(Dialogs *dialogs);
};

// The real box: the text shown as typed, never as markup, and wrapped inside the screen
// even where it has no blank to break at.
QMessageBox *createMessageBox(Dialogs::Icon icon, const QString &caption, const QString &text, QWidget *parent);

inline const QString kNoticeCaption = QStringLiteral("【企业资源管理软件】 提示");

// The program file's name cut at its first ".", all but its first character in lower case.
QString applicationTitle();
QString applicationTitle(const QString &programFileName);

// Modal information box with the fixed caption and one OK button.
void ShowNotice(const QString &text);

// The message as the error box shows it: a "." is added after a last character that
// compares greater than "." byte by byte in the ANSI code page (letters, digits,
// every double-byte character), not after ".", a space or other low punctuation.
QString errorBoxText(const QString &message);

// How a failure that leaves an event handler is shown; the silent abort is not.
void ShowException(const std::exception &e);

// Runs an event handler, showing what escapes it in the error box.
template <class Handler>
void runHandler(Handler &&handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        ShowException(e);
    }
}
