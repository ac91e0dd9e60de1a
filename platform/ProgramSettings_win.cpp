#include "ProgramSettings.h"

#include "SettingsStore.h"

bool deleteProgramSettings(const QString &, const QString &keyPath)
{
    return CurrentUserRegistry::deleteKeyTree(keyPath);
}
