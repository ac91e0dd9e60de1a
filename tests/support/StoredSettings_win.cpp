#include "StoredSettings.h"

#include <windows.h>

namespace {

std::wstring wide(const QString &s)
{
    return s.split(u'\\', Qt::SkipEmptyParts).join(u'\\').toStdWString();
}

// The key opened for reading, closed when it goes.
struct Key {
    explicit Key(const QString &path)
    {
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(path).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            h = nullptr;
    }
    ~Key()
    {
        if (h)
            RegCloseKey(h);
    }
    HKEY h = nullptr;
};

} // namespace

namespace StoredSettings {

bool hasKey(const QString &path)
{
    return Key(path).h != nullptr;
}

QList<std::pair<QString, StoredValue>> values(const QString &path)
{
    QList<std::pair<QString, StoredValue>> out;
    const Key key(path);
    for (DWORD i = 0; key.h; ++i) {
        wchar_t name[16384];
        BYTE data[65536];
        DWORD nameLength = 16384, size = sizeof data - 2, type = 0;
        if (RegEnumValueW(key.h, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        data[size] = data[size + 1] = 0;
        const QString n = QString::fromWCharArray(name, int(nameLength));
        if (type == REG_DWORD && size == 4)
            out.append({n, StoredValue::dword(*reinterpret_cast<const DWORD *>(data))});
        else
            out.append({n, StoredValue::string(QString::fromWCharArray(reinterpret_cast<const wchar_t *>(data)), type)});
    }
    return out;
}

std::optional<QString> text(const QString &path, const QString &name)
{
    for (const auto &[n, v] : values(path))
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v.text;
    return std::nullopt;
}

void store(const QString &path, const QList<std::pair<QString, StoredValue>> &values)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, wide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        qFatal("cannot create the key %s", qPrintable(path));
    for (const auto &[name, value] : values) {
        const std::wstring n = name.toStdWString();
        if (value.type == StoredValue::Dword) {
            RegSetValueExW(key, n.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value.number), 4);
        } else {
            const std::wstring t = value.text.toStdWString();
            RegSetValueExW(key, n.c_str(), 0, value.type, reinterpret_cast<const BYTE *>(t.c_str()),
                           DWORD((t.size() + 1) * sizeof(wchar_t)));
        }
    }
    RegCloseKey(key);
}

} // namespace StoredSettings
