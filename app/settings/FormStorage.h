// The settings keeper of a window: where it stood and in which state, which control had
// the focus, and a set of its controls' properties, kept in the registry between runs.
#pragma once

#include <QFlags>
#include <QObject>
#include <QPoint>
#include <QStringList>
#include <functional>

class QWidget;
class SettingsStore;

class TFormStorage : public QObject {
public:
    enum Option { fpState = 0x1, fpPosition = 0x2, fpActiveControl = 0x4 };
    Q_DECLARE_FLAGS(Options_, Option)

    // The window's own event handlers that the keeper puts itself in front of.
    struct FormEvents {
        std::function<void()> *onShow;
        std::function<bool()> *onCloseQuery; // true: the window may close
        std::function<void()> *onDestroy;
    };

    explicit TFormStorage(QWidget *form);

    // Configuration, as the window's design sets it.
    Options_ Options;
    bool UseRegistry = true;
    QStringList StoredProps; // "Control.Property"
    QString IniFileName;     // empty: "Software\" + the program file's name
    QString IniSection;      // empty: the window's class name
    int Version = 0;
    bool Active = true;

    // Wraps the window's handlers: the restore before its show handler, a save after a
    // close request it allows and, unless one ran, a save at its destruction. Entries of
    // StoredProps whose control the window lacks are dropped here.
    void Hook(const FormEvents &events);

    void RestoreLoginSettings();
    void SaveLoginSettings();

    bool restored = false;
    bool saved = false;
    bool destroying = false;

private:
    struct Prop {
        QWidget *control;
        QString property;
        QString valueName;
    };
    QString keyPath() const;
    QString section() const;
    QString readSuffixed(SettingsStore &store, const QString &name) const;
    void restorePosition(SettingsStore &store);
    void restoreState(SettingsStore &store);
    void restoreProps(SettingsStore &store);
    void restoreFocus(SettingsStore &store);
    void keepPlaced(const QPoint &frameTopLeft);
    QString focusedControl() const;

    QWidget *form;
    QList<Prop> props;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(TFormStorage::Options_)
