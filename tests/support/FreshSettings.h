// Points HKEY_CURRENT_USER at a new, empty store while it lives, so that a window one test
// saves is not what the next test's window restores: on Linux the hive in a new folder
// (XDG_CONFIG_HOME), on Windows a new key that the process takes for HKEY_CURRENT_USER.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>

#ifdef _WIN32
#include <windows.h>

class FreshSettings {
public:
    FreshSettings() : path(L"Software\\VeskTests\\" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdWString())
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                == ERROR_SUCCESS
            && RegOverridePredefKey(HKEY_CURRENT_USER, key) == ERROR_SUCCESS)
            overridden = true;
        if (key)
            RegCloseKey(key);
        if (!overridden)
            qFatal("HKEY_CURRENT_USER could not be pointed at a fresh key");
    }
    ~FreshSettings()
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    FreshSettings(const FreshSettings &) = delete;
    FreshSettings &operator=(const FreshSettings &) = delete;

private:
    std::wstring path;
    bool overridden = false;
};
#else
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
#endif
