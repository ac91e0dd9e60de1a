// Points the registry hive at a new, empty folder while it lives, so that a window one
// test saves is not what the next test's window restores.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

class FreshSettings {
public:
    FreshSettings() : previous(qgetenv("XDG_CONFIG_HOME")) { qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path())); }
    ~FreshSettings() { qputenv("XDG_CONFIG_HOME", previous); }
    FreshSettings(const FreshSettings &) = delete;
    FreshSettings &operator=(const FreshSettings &) = delete;
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};
