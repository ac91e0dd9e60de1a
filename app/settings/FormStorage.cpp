#include "FormStorage.h"

#include "Dialogs.h"
#include "core/Exceptions.h"
#include "core/TextRules.h"
#include "platform/SettingsStore.h"
#include "platform/WindowSystem.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>

namespace {

// A damaged "Count" must not take the launcher's memory: no operator list is this long.
constexpr int kMostItems = 100000;

QString textOf(QWidget *control)
{
    if (auto *combo = qobject_cast<QComboBox *>(control))
        return combo->currentText();
    if (auto *edit = qobject_cast<QLineEdit *>(control))
        return edit->text();
    return control->property("text").toString();
}

void setTextOf(QWidget *control, const QString &text)
{
    if (auto *combo = qobject_cast<QComboBox *>(control))
        combo->setEditText(text);
    else if (auto *edit = qobject_cast<QLineEdit *>(control))
        edit->setText(text);
    else
        control->setProperty("text", text);
}

// "%d,%d,%d,%d" as stored: words separated by any run of blanks and commas.
QList<std::optional<int>> numbers(const QString &text)
{
    QList<std::optional<int>> out;
    for (const QString &word : text.split(QRegularExpression(QStringLiteral("[ ,]+")), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int n = word.toInt(&ok);
        out.append(ok ? std::optional<int>(n) : std::nullopt);
    }
    return out;
}

int word(const QList<std::optional<int>> &words, int i, int def)
{
    return i < words.size() && words[i] ? *words[i] : def;
}

QString four(int a, int b, int c, int d)
{
    return QStringLiteral("%1,%2,%3,%4").arg(a).arg(b).arg(c).arg(d);
}

} // namespace

TFormStorage::TFormStorage(QWidget *form) : QObject(form), form(form)
{
    setObjectName(QStringLiteral("FormStorage1"));
}

void TFormStorage::Hook(const FormEvents &events)
{
    for (const QString &entry : StoredProps) {
        const qsizetype dot = entry.indexOf(u'.');
        const QString control = trimControls(entry.left(dot));
        const QString property = dot < 0 ? QString() : trimControls(entry.mid(dot + 1));
        QWidget *w = control.isEmpty() ? nullptr : form->findChild<QWidget *>(control);
        if (w && !property.isEmpty())
            props.append({w, property, control + u'_' + property});
    }
    *events.onShow = [this, old = *events.onShow] {
        runHandler([this] { RestoreLoginSettings(); });
        if (old)
            old();
    };
    *events.onCloseQuery = [this, old = *events.onCloseQuery] {
        const bool mayClose = !old || old();
        if (mayClose)
            runHandler([this] { SaveLoginSettings(); });
        return mayClose;
    };
    *events.onDestroy = [this, old = *events.onDestroy] {
        if (!saved) {
            destroying = true;
            runHandler([this] { SaveLoginSettings(); });
            destroying = false;
        }
        if (old)
            old();
    };
}

QString TFormStorage::keyPath() const
{
    if (!IniFileName.isEmpty())
        return IniFileName;
    // The file name as the system reports the running program's path, less its extension.
    return QStringLiteral("Software\\") + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

QString TFormStorage::section() const
{
    return IniSection.isEmpty() ? QString::fromLatin1(form->metaObject()->className()) : IniSection;
}

QString TFormStorage::readSuffixed(SettingsStore &store, const QString &name) const
{
    const QSize screen = primaryScreenSize();
    const QString text = store.ReadText(section(), name + QStringLiteral("(%1x%2)").arg(screen.width()).arg(screen.height()), QString());
    return text.isEmpty() ? store.ReadText(section(), name, QString()) : text;
}

void TFormStorage::RestoreLoginSettings()
{
    saved = false;
    auto store = CurrentUserRegistry::openSettings(keyPath(), CurrentUserRegistry::Access::Read);
    if (store->ReadNumber(section(), QStringLiteral("FormVersion"), 0) >= Version) {
        if (Options.testFlag(fpPosition))
            restorePosition(*store);
        if (Options.testFlag(fpState))
            restoreState(*store);
        restored = true;
        restoreProps(*store);
        if (Options.testFlag(fpActiveControl))
            restoreFocus(*store);
    }
    restored = true;
    store->Close();
}

void TFormStorage::restorePosition(SettingsStore &store)
{
    const WindowPlacement current = windowPlacement(form);
    store.ReadNumber(section(), QStringLiteral("Flags"), current.flags); // X11 has no placement flags
    bool found = false;
    if (!readSuffixed(store, QStringLiteral("MinMaxPos")).isEmpty())
        found = true; // X11 has no minimised position; the maximised one is the window manager's
    const QString norm = readSuffixed(store, QStringLiteral("NormPos"));
    const QRect frame = current.normal;
    int left = frame.left(), top = frame.top();
    int right = left + frame.width(), bottom = top + frame.height();
    if (!norm.isEmpty()) {
        found = true;
        const auto words = numbers(norm);
        left = word(words, 0, left);
        top = word(words, 1, top);
        right = word(words, 2, right);
        bottom = word(words, 3, bottom);
    }
    const int ppi = screenPixelsPerInch(form);
    if (store.ReadNumber(section(), QStringLiteral("PixelsPerInch"), ppi) != ppi)
        found = false;
    if (!found)
        return; // first run, or another density: the window is centred as designed
    if (form->property("BorderStyle").toString() != QLatin1String("bsSizeable")) {
        right = left + frame.width(); // only the stored top-left corner counts
        bottom = top + frame.height();
    }
    if (right <= left)
        return;
    if (form->property("Position").toString() == QLatin1String("poScreenCenter"))
        form->setProperty("Position", QStringLiteral("poDesigned"));
    if (!programsPlaceWindows())
        return; // saved, but the compositor places the window
    placeWindow(form, QPoint(left, top));
    keepPlaced(QPoint(left, top));
}

void TFormStorage::keepPlaced(const QPoint &frameTopLeft)
{
    // The window manager's frame arrives some time after mapping; once it is known the
    // frame goes where it was left, so the corner does not creep by a title bar a run.
    // A move reads as done at once, and a late answer to an earlier placement can still
    // put the window back: the frame must stay in place for a while before the watch ends.
    auto *watch = new QTimer(this);
    watch->setInterval(25);
    connect(watch, &QTimer::timeout, this, [this, watch, frameTopLeft, tries = 0, inPlace = 0]() mutable {
        const QRect frame = frameRect(form);
        if (frame != form->geometry() && frame.topLeft() == frameTopLeft) { // framed, and in place
            ++inPlace;
        } else {
            inPlace = 0;
            if (form->isVisible())
                placeWindow(form, frameTopLeft);
        }
        if (++tries >= 80 || inPlace >= 8)
            watch->deleteLater();
    });
    watch->start();
}

void TFormStorage::restoreState(SettingsStore &store)
{
    switch (store.ReadNumber(section(), QStringLiteral("ShowCmd"), 0)) {
    case 2: case 6: case 7:
        // The application as a whole starts minimised; its window is restored normal.
        startMinimised(form);
        break;
    case 3:
        form->setWindowState(form->windowState() | Qt::WindowMaximized);
        break;
    default:
        break;
    }
}

void TFormStorage::restoreProps(SettingsStore &store)
{
    for (const Prop &p : props) {
        try {
            if (p.property == QLatin1String("Items")) {
                auto *combo = qobject_cast<QComboBox *>(p.control);
                if (!combo)
                    continue;
                const QString items = section() + u'.' + p.valueName;
                bool ok = false;
                int count = trimControls(store.ReadText(items, QStringLiteral("Count"), QStringLiteral("0"))).toInt(&ok);
                if (!ok || count <= 0)
                    continue;
                count = std::min(count, kMostItems);
                QStringList list;
                for (int i = 0; i < count; ++i)
                    list << store.ReadText(items, QStringLiteral("Item%1").arg(i), QString());
                const QString edit = combo->currentText();
                combo->clear();
                combo->addItems(list);
                combo->setEditText(edit);
            } else {
                setTextOf(p.control, trimControls(store.ReadText(section(), p.valueName, textOf(p.control))));
            }
        } catch (const Exception &) {
            // An entry that cannot be restored is skipped; the rest go on.
        }
    }
}

void TFormStorage::restoreFocus(SettingsStore &store)
{
    const QString name = store.ReadText(section(), QStringLiteral("ActiveControl"), QString());
    QWidget *control = name.isEmpty() ? nullptr : form->findChild<QWidget *>(name);
    // A control that can hold the focus, and can take it now: it and every parent up to
    // the window shown and enabled.
    if (control && control->focusPolicy() != Qt::NoFocus && control->isVisibleTo(form) && control->isEnabled())
        control->setFocus();
}

QString TFormStorage::focusedControl() const
{
    // The designer's control, also when the focus is on a part of it (a combo box's edit).
    for (QWidget *w = form->focusWidget(); w && w != form; w = w->parentWidget())
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
            return w->objectName();
    return QString();
}

void TFormStorage::SaveLoginSettings()
{
    if (!restored)
        return;
    auto store = CurrentUserRegistry::openSettings(keyPath(), CurrentUserRegistry::Access::Full);
    const QString s = section();
    store->WriteNumber(s, QStringLiteral("FormVersion"), Version);
    WindowPlacement p = windowPlacement(form);
    if (applicationMinimised())
        p.showCmd = 2;
    const QSize screen = primaryScreenSize();
    const QString suffix = QStringLiteral("(%1x%2)").arg(screen.width()).arg(screen.height());
    const QString minMax = four(p.minPosition.x(), p.minPosition.y(), p.maxPosition.x(), p.maxPosition.y());
    const QString norm = four(p.normal.left(), p.normal.top(), p.normal.left() + p.normal.width(),
                              p.normal.top() + p.normal.height());
    store->WriteNumber(s, QStringLiteral("Flags"), p.flags);
    store->WriteNumber(s, QStringLiteral("ShowCmd"), p.showCmd);
    store->WriteNumber(s, QStringLiteral("PixelsPerInch"), screenPixelsPerInch(form));
    store->WriteText(s, QStringLiteral("MinMaxPos") + suffix, minMax);
    store->WriteText(s, QStringLiteral("MinMaxPos"), minMax);
    store->WriteText(s, QStringLiteral("NormPos") + suffix, norm);
    store->WriteText(s, QStringLiteral("NormPos"), norm);
    if (Options.testFlag(fpActiveControl)) {
        const QString focused = focusedControl();
        if (!focused.isEmpty())
            store->WriteText(s, QStringLiteral("ActiveControl"), focused);
    }
    store->WriteFlag(s, QStringLiteral("Visible"), destroying);
    for (const Prop &prop : props) {
        if (prop.property == QLatin1String("Items")) {
            auto *combo = qobject_cast<QComboBox *>(prop.control);
            if (!combo)
                continue;
            const QString items = s + u'.' + prop.valueName;
            store->DropSection(items);
            if (combo->count() > 0) {
                store->WriteNumber(items, QStringLiteral("Count"), combo->count());
                for (int i = 0; i < combo->count(); ++i)
                    store->WriteText(items, QStringLiteral("Item%1").arg(i), combo->itemText(i));
            }
        } else {
            store->WriteText(s, prop.valueName, trimControls(textOf(prop.control)));
        }
    }
    store->Close();
    saved = true;
}
