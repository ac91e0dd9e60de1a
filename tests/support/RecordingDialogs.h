// Records the message boxes a test triggers instead of showing them.
#pragma once

#include "Dialogs.h"

#include <QList>
#include <functional>

class RecordingDialogs : public Dialogs {
public:
    struct Box {
        Icon icon;
        QString caption;
        QString text;
    };
    QList<Box> boxes;
    std::function<void(const Box &)> onShow; // runs as the box would show

    RecordingDialogs() { Dialogs::install(this); }
    ~RecordingDialogs() override { Dialogs::install(nullptr); }
    void show(Icon icon, const QString &caption, const QString &text) override
    {
        boxes.append({icon, caption, text});
        if (onShow)
            onShow(boxes.last());
    }

    QStringList notices() const
    {
        QStringList out;
        for (const Box &b : boxes)
            if (b.icon == Icon::Information)
                out << b.text;
        return out;
    }
    QStringList errors() const
    {
        QStringList out;
        for (const Box &b : boxes)
            if (b.icon == Icon::Error)
                out << b.text;
        return out;
    }
};
