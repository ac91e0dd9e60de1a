#include "StoredSettings.h"

#include "platform/RegistryHive.h"

#include <QtEndian>

namespace {

HiveData hive()
{
    return RegistryHive(RegistryHive::currentUserFile()).read();
}

StoredValue fromHive(const RegValue &v)
{
    if (v.type == RegValue::Dword && v.data.size() == 4)
        return StoredValue::dword(qFromLittleEndian<quint32>(v.data.constData()));
    return StoredValue::string(QString::fromUtf8(v.data), v.type);
}

} // namespace

namespace StoredSettings {

bool hasKey(const QString &path)
{
    return hive().hasKey(path);
}

QList<std::pair<QString, StoredValue>> values(const QString &path)
{
    QList<std::pair<QString, StoredValue>> out;
    const HiveData d = hive();
    if (const HiveData::Key *k = d.key(path))
        for (const auto &[name, value] : k->values)
            out.append({name, fromHive(value)});
    return out;
}

std::optional<QString> text(const QString &path, const QString &name)
{
    const auto v = hive().value(path, name);
    return v ? std::optional<QString>(QString::fromUtf8(v->data)) : std::nullopt;
}

void store(const QString &path, const QList<std::pair<QString, StoredValue>> &values)
{
    RegistryHive(RegistryHive::currentUserFile()).update([&](HiveData &d) {
        d.createKey(path);
        for (const auto &[name, value] : values)
            d.setValue(path, name, value.type == StoredValue::Dword ? RegValue::dword(value.number)
                                                                    : RegValue::text(value.text, value.type));
    });
}

} // namespace StoredSettings
