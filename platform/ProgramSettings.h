// The settings another program keeps below HKEY_CURRENT_USER.
#pragma once

#include <QString>

// Deletes the program's key with everything below it, in the registry that program reads.
// False when there was no such key.
bool deleteProgramSettings(const QString &program, const QString &keyPath);
