#include "SettingsStore.h"

int SettingsStore::ReadNumber(const QString &section, const QString &name, int def)
{
    bool ok = false;
    const int n = ReadText(section, name, QString()).toInt(&ok);
    return ok ? n : def;
}

void SettingsStore::WriteNumber(const QString &section, const QString &name, int number)
{
    WriteText(section, name, QString::number(number));
}

void SettingsStore::WriteFlag(const QString &section, const QString &name, bool flag)
{
    WriteText(section, name, flag ? QStringLiteral("1") : QStringLiteral("0"));
}
