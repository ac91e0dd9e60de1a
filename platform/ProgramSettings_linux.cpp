#include "ProgramSettings.h"

#include "SettingsStore.h"
#include "Wine.h"

// A Windows program keeps them in the registry of its Wine prefix, a Linux one in the hive.
bool deleteProgramSettings(const QString &program, const QString &keyPath)
{
    if (isWindowsProgram(program))
        return deleteWineKeyTree(keyPath);
    return CurrentUserRegistry::deleteKeyTree(keyPath);
}
