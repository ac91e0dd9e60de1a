// HKEY_CURRENT_USER as a test reads and writes it behind the launcher's back: the hive file
// on Linux, the registry itself on Windows.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <optional>
#include <utility>

struct StoredValue {
    enum Type : uint32_t { Sz = 1, ExpandSz = 2, Dword = 4 }; // the registry's numbers
    uint32_t type = Sz;
    QString text;
    uint32_t number = 0;
    static StoredValue string(const QString &s, uint32_t type = Sz) { return {type, s, 0}; }
    static StoredValue dword(uint32_t v) { return {Dword, QString(), v}; }
};

namespace StoredSettings {

bool hasKey(const QString &path);
// The key's values, by name, in the order they were first set.
QList<std::pair<QString, StoredValue>> values(const QString &path);
// A string value's text; none when missing.
std::optional<QString> text(const QString &path, const QString &name);
// Creates the key when needed and sets the values.
void store(const QString &path, const QList<std::pair<QString, StoredValue>> &values);

} // namespace StoredSettings
