// HKEY_CURRENT_USER served by the hive file.
#include "SettingsStore.h"

#include "core/Exceptions.h"
#include "platform/RegistryHive.h"

#include <utility>

namespace {

class HiveSettingsStore : public SettingsStore {
public:
    explicit HiveSettingsStore(const QString &keyPath) : hive(RegistryHive::currentUserFile()), root(HiveData::normalize(keyPath))
    {
        snapshot = hive.read();
        if (!snapshot.hasKey(root)) {
            hive.update([&](HiveData &d) { d.createKey(root); });
            snapshot.createKey(root);
        }
    }

    QString ReadText(const QString &section, const QString &name, const QString &def) override
    {
        const std::optional<RegValue> v = snapshot.value(sectionKey(section), name);
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
        if (firstFailure.isEmpty())
            firstFailure = snapshot.hasKey(key) ? QStringLiteral("Failed to set data for '%1'").arg(name)
                                                : QStringLiteral("Failed to create key %1").arg(section);
        const RegValue value = RegValue::text(text);
        snapshot.setValue(key, name, value); // creates the section when needed
        changes.append([key, name, value](HiveData &d) { d.setValue(key, name, value); });
    }

    void DropSection(const QString &section) override
    {
        const QString key = sectionKey(section);
        if (!snapshot.hasKey(key))
            return;
        snapshot.deleteTree(key);
        changes.append([key](HiveData &d) { d.deleteTree(key); });
    }

    // One lock and one replacement of the hive for the whole save, so a launcher killed
    // in the middle leaves the previous settings or the new ones, never a mix.
    void Close() override
    {
        if (changes.isEmpty())
            return;
        const auto pending = std::exchange(changes, {});
        try {
            hive.update([&](HiveData &d) {
                for (const auto &change : pending)
                    change(d);
            });
        } catch (const Exception &) {
            throw Exception(firstFailure);
        }
    }

private:
    QString sectionKey(const QString &section) const
    {
        return section.isEmpty() ? root : root + u'\\' + section;
    }
    RegistryHive hive;
    QString root;
    HiveData snapshot;
    QList<std::function<void(HiveData &)>> changes;
    QString firstFailure; // what a failed save reports: its first write
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
