// Every message box of the launcher goes through here, so tests can read the texts
// without a modal box blocking them.
#pragma once

#include <QString>
#include <exception>

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

inline const QString kNoticeCaption = QStringLiteral("【企业资源管理软件】 提示");

// The program file's name cut at its first ".", all but its first character in lower case.
QString applicationTitle();
QString applicationTitle(const QString &programFileName);

// Modal information box with the fixed caption and one OK button.
void ShowNotice(const QString &text);

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
