// HKEY_CURRENT_USER itself, through the Unicode registry calls: an operator name that the
// ANSI code page cannot hold is stored as typed.
#include "SettingsStore.h"

#include "core/Exceptions.h"

#include <QHash>
#include <QList>
#include <optional>
#include <windows.h>

namespace {

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

QString keyName(const QString &path)
{
    return path.split(u'\\', Qt::SkipEmptyParts).join(u'\\');
}

struct Value {
    DWORD type = REG_NONE;
    QString text; // for the string types: up to the first zero
};

using Section = QHash<QString, Value>; // by value name, case-folded

// The values of key, read at once.
Section readValues(HKEY key)
{
    Section values;
    DWORD count = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName, &longestData,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return values;
    std::wstring name(longestName + 1, L'\0');
    QByteArray data(qsizetype(longestData) + sizeof(wchar_t), '\0');
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = DWORD(name.size()), size = DWORD(data.size()), type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size)
            != ERROR_SUCCESS)
            continue;
        Value v;
        v.type = type;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            const auto *chars = reinterpret_cast<const char16_t *>(data.constData());
            qsizetype n = 0;
            while (n < qsizetype(size / 2) && chars[n] != 0)
                ++n;
            v.text = QString::fromUtf16(chars, n);
        }
        values.insert(QString::fromWCharArray(name.c_str(), int(nameLength)).toCaseFolded(), v);
    }
    return values;
}

class RegistrySettingsStore : public SettingsStore {
public:
    RegistrySettingsStore(const QString &keyPath, CurrentUserRegistry::Access access)
    {
        const REGSAM rights = access == CurrentUserRegistry::Access::Full ? KEY_READ | KEY_WRITE : KEY_READ;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, wide(keyName(keyPath)).c_str(), 0, nullptr, 0, rights, nullptr, &root,
                            nullptr)
            != ERROR_SUCCESS)
            throw Exception(QStringLiteral("Failed to create key %1").arg(keyName(keyPath)));
        snapshot.insert(QString(), readValues(root));
        DWORD subkeys = 0, longest = 0;
        RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr);
        std::wstring name(longest + 1, L'\0');
        for (DWORD i = 0; i < subkeys; ++i) {
            DWORD length = DWORD(name.size());
            if (RegEnumKeyExW(root, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                continue;
            HKEY section = nullptr;
            if (RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &section) != ERROR_SUCCESS)
                continue;
            snapshot.insert(QString::fromWCharArray(name.c_str(), int(length)).toCaseFolded(), readValues(section));
            RegCloseKey(section);
        }
    }

    ~RegistrySettingsStore() override { RegCloseKey(root); }

    QString ReadText(const QString &section, const QString &name, const QString &def) override
    {
        const auto s = snapshot.constFind(section.toCaseFolded());
        if (s == snapshot.constEnd())
            return def;
        const auto v = s->constFind(name.toCaseFolded());
        if (v == s->constEnd())
            return def;
        if (v->type != REG_SZ && v->type != REG_EXPAND_SZ)
            throw Exception(QStringLiteral("Invalid data type for '%1'").arg(name));
        return v->text;
    }

    void WriteText(const QString &section, const QString &name, const QString &text) override
    {
        snapshot[section.toCaseFolded()].insert(name.toCaseFolded(), Value{REG_SZ, text});
        changes.append({section, name, text});
    }

    void DropSection(const QString &section) override
    {
        if (snapshot.remove(section.toCaseFolded()) > 0)
            changes.append({section, std::nullopt, {}});
    }

    // Written in the order they were made; the first that fails ends the save.
    void Close() override
    {
        const QList<Change> pending = std::exchange(changes, {});
        for (const Change &c : pending) {
            const std::wstring section = wide(c.section);
            if (!c.name) {
                const LSTATUS rc = RegDeleteTreeW(root, section.c_str());
                if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                    throw Exception(QStringLiteral("Failed to delete key %1").arg(c.section));
                continue;
            }
            HKEY key = nullptr;
            if (RegCreateKeyExW(root, section.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr)
                != ERROR_SUCCESS)
                throw Exception(QStringLiteral("Failed to create key %1").arg(c.section));
            const std::wstring data = wide(c.text);
            const LSTATUS rc = RegSetValueExW(key, wide(*c.name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                                              DWORD((data.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
            if (rc != ERROR_SUCCESS)
                throw Exception(QStringLiteral("Failed to set data for '%1'").arg(*c.name));
        }
    }

private:
    struct Change {
        QString section;
        std::optional<QString> name; // none: the section is dropped
        QString text;
    };
    HKEY root = nullptr;
    QHash<QString, Section> snapshot; // by section name, case-folded; "" is the key itself
    QList<Change> changes;
};

} // namespace

namespace CurrentUserRegistry {

std::unique_ptr<SettingsStore> openSettings(const QString &keyPath, Access access)
{
    return std::make_unique<RegistrySettingsStore>(keyPath, access);
}

bool deleteKeyTree(const QString &keyPath)
{
    const std::wstring path = wide(keyName(keyPath));
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS;
}

} // namespace CurrentUserRegistry
