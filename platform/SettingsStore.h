// The registry seen as sections of named text values, as the stored settings use it.
#pragma once

#include <QString>
#include <memory>

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored text, or def when the section or the value is missing. A value that is
    // not a string fails with "Invalid data type for '%s'".
    virtual QString ReadText(const QString &section, const QString &name, const QString &def) = 0;
    // Creates the section when needed. Fails with "Failed to create key %s" or
    // "Failed to set data for '%s'".
    virtual void WriteText(const QString &section, const QString &name, const QString &text) = 0;
    // Deletes the section with everything below it; nothing happens when it is missing.
    virtual void DropSection(const QString &section) = 0;
    // Ends the store's use. The writes of a save reach the registry here, all at once;
    // a failure names the first section or value that could not be written.
    virtual void Close() = 0;

    // The stored text as an integer; def when missing or not an integer.
    int ReadNumber(const QString &section, const QString &name, int def);
    void WriteNumber(const QString &section, const QString &name, int number);
    void WriteFlag(const QString &section, const QString &name, bool flag);
};

// HKEY_CURRENT_USER, as far as the launcher needs it.
namespace CurrentUserRegistry {

enum class Access { Read, Full };

// The store on keyPath (for instance "Software\Vesk"), creating the key when missing.
// Reads see the registry as it was at the opening, and the store's own writes.
std::unique_ptr<SettingsStore> openSettings(const QString &keyPath, Access access);

// Deletes a key with everything below it; false when there was no such key.
bool deleteKeyTree(const QString &keyPath);

} // namespace CurrentUserRegistry
