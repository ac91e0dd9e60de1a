// The stand-in for HKEY_CURRENT_USER: one hive file in the registry export text format,
// shared with the main client program.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

struct RegValue {
    enum Type : uint32_t { None = 0, Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4 };
    uint32_t type = Sz;
    QByteArray data; // texts: their bytes (UTF-8) without the terminating zero; dword: 4 bytes LE

    static RegValue text(const QString &s, uint32_t type = Sz) { return {type, s.toUtf8()}; }
    static RegValue dword(uint32_t v);
    bool operator==(const RegValue &o) const { return type == o.type && data == o.data; }
};

// Keys are paths below HKEY_CURRENT_USER, parts separated by "\"; leading, trailing and
// doubled separators do not count, and letter case does not matter.
class HiveData {
public:
    struct Key {
        QString path; // as first created
        QList<std::pair<QString, RegValue>> values;
        // The position in values of each name, case-folded: a section of many values is
        // read and written in time proportional to its size.
        QHash<QString, qsizetype> index;
    };

    bool hasKey(const QString &path) const;
    const Key *key(const QString &path) const;
    Key &createKey(const QString &path); // with the keys above it
    void setValue(const QString &path, const QString &name, const RegValue &value);
    std::optional<RegValue> value(const QString &path, const QString &name) const;
    bool removeValue(const QString &path, const QString &name);
    bool deleteTree(const QString &path);
    const QList<Key> &keys() const { return list; }

    QByteArray serialize() const;
    // Throws Exception naming the line for text it cannot read.
    static HiveData parse(const QByteArray &text);

    static QString normalize(const QString &path);

private:
    qsizetype find(const QString &path) const;
    void reindex();
    QList<Key> list;
    QHash<QString, qsizetype> keyIndex; // case-folded path -> position in list
};

class RegistryHive {
public:
    explicit RegistryHive(const QString &file);
    // ${XDG_CONFIG_HOME:-$HOME/.config}/registry/HKEY_CURRENT_USER.reg
    static QString currentUserFile();
    const QString &file() const { return path; }

    // What the hive holds now; an unreadable or garbled hive reads as empty.
    HiveData read() const;

    // One read-modify-write under the exclusive lock, replacing the hive atomically. A
    // garbled hive is first kept aside under a new name. Throws Exception when the
    // hive cannot be written; the change is then not made.
    void update(const std::function<void(HiveData &)> &change);

private:
    QString path;
};
