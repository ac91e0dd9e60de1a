// HKEY_CURRENT_USER served by the hive file.
#include "SettingsStore.h"

#include "core/Exceptions.h"
#include "platform/RegistryHive.h"

namespace {

class HiveSettingsStore : public SettingsStore {
public:
    HiveSettingsStore(const QString &keyPath) : hive(RegistryHive::currentUserFile()), root(HiveData::normalize(keyPath))
    {
        if (!hive.read().hasKey(root))
            hive.update([&](HiveData &d) { d.createKey(root); });
    }

    QString ReadText(const QString &section, const QString &name, const QString &def) override
    {
        const std::optional<RegValue> v = hive.read().value(sectionKey(section), name);
        if (!v)
            return def;
        if (v->type != RegValue::Sz && v->type != RegValue::ExpandSz)
            throw Exception(QStringLiteral("Invalid data type for '%1'").arg(name));
        const qsizetype zero = v->data.indexOf('\0');
        return QString::fromUtf8(zero < 0 ? v->data : v->data.left(zero));
    }

    void WriteText(const QString &section, const QString &name, const QString &text) override
    {
        const QString key = sectionKey(section);
        bool keyWasThere = true;
        try {
            hive.update([&](HiveData &d) {
                keyWasThere = d.hasKey(key);
                d.setValue(key, name, RegValue::text(text)); // creates the section when needed
            });
        } catch (const Exception &) {
            if (!keyWasThere)
                throw Exception(QStringLiteral("Failed to create key %1").arg(section));
            throw Exception(QStringLiteral("Failed to set data for '%1'").arg(name));
        }
    }

    void DropSection(const QString &section) override
    {
        const QString key = sectionKey(section);
        if (hive.read().hasKey(key))
            hive.update([&](HiveData &d) { d.deleteTree(key); });
    }

private:
    QString sectionKey(const QString &section) const
    {
        return section.isEmpty() ? root : root + u'\\' + section;
    }
    RegistryHive hive;
    QString root;
};

} // namespace

namespace CurrentUserRegistry {

std::unique_ptr<SettingsStore> openSettings(const QString &keyPath, Access)
{
    return std::make_unique<HiveSettingsStore>(keyPath);
}

bool deleteKeyTree(const QString &keyPath)
{
    RegistryHive hive(RegistryHive::currentUserFile());
    if (!hive.read().hasKey(keyPath))
        return false;
    bool existed = false;
    hive.update([&](HiveData &d) { existed = d.deleteTree(keyPath); });
    return existed;
}

} // namespace CurrentUserRegistry
