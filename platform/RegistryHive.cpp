#include "RegistryHive.h"

#include "core/Exceptions.h"
#include "platform/AtomicFile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString kRoot = QStringLiteral("HKEY_CURRENT_USER");

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A text the quoted form can carry: valid UTF-8 without control characters.
bool quotable(const QByteArray &bytes)
{
    for (char c : bytes)
        if (uchar(c) < 0x20 || uchar(c) == 0x7F)
            return false;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString s = utf8(bytes);
    return !utf8.hasError() && s.toUtf8() == bytes;
}

QByteArray quoted(const QByteArray &bytes)
{
    QByteArray out = "\"";
    for (char c : bytes) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray hexList(const QByteArray &bytes)
{
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ',';
        out += QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0');
    }
    return out;
}

QByteArray valueText(const RegValue &v)
{
    switch (v.type) {
    case RegValue::Sz:
        if (quotable(v.data))
            return quoted(v.data);
        return "hex(1):" + hexList(v.data + '\0');
    case RegValue::ExpandSz:
        return "hex(2):" + hexList(v.data + '\0');
    case RegValue::Dword:
        if (v.data.size() == 4)
            return "dword:" + QByteArray::number(qFromLittleEndian<quint32>(v.data.constData()), 16).rightJustified(8, '0');
        return "hex(4):" + hexList(v.data);
    case RegValue::Binary:
        return "hex:" + hexList(v.data);
    default:
        return "hex(" + QByteArray::number(v.type, 16) + "):" + hexList(v.data);
    }
}

[[noreturn]] void garbled(int line, const char *what)
{
    throw Exception(QStringLiteral("line %1 of the registry file: %2").arg(line).arg(QLatin1String(what)));
}

// Reads a quoted string at text[pos] (pos at the opening quote); pos ends after it.
QByteArray readQuoted(const QByteArray &text, qsizetype &pos, int line)
{
    QByteArray out;
    for (++pos; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c == '\\') {
            if (++pos >= text.size())
                break;
        }
        out += text[pos];
    }
    garbled(line, "a quoted text does not end");
}

QByteArray readHex(const QByteArray &list, int line)
{
    QByteArray out;
    for (const QByteArray &part : list.split(',')) {
        const QByteArray t = part.trimmed();
        if (t.isEmpty() && list.trimmed().isEmpty())
            continue;
        bool ok = false;
        const uint b = t.toUInt(&ok, 16);
        if (!ok || b > 0xFF || t.size() > 2)
            garbled(line, "a hex list holds something that is not a byte");
        out += char(b);
    }
    return out;
}

RegValue readData(const QByteArray &d, int line)
{
    if (d.startsWith('"')) {
        qsizetype pos = 0;
        RegValue v{RegValue::Sz, readQuoted(d, pos, line)};
        if (!d.mid(pos).trimmed().isEmpty())
            garbled(line, "text after a quoted value");
        // A text ends at its first zero byte, in this form as in the hex one, so that a
        // rewrite of the hive leaves every text as it was read.
        const qsizetype zero = v.data.indexOf('\0');
        if (zero >= 0)
            v.data.truncate(zero);
        return v;
    }
    if (d.startsWith("dword:")) {
        bool ok = false;
        const QByteArray digits = d.mid(6).trimmed();
        const uint n = digits.toUInt(&ok, 16);
        if (!ok || digits.size() != 8)
            garbled(line, "a dword needs eight hex digits");
        return RegValue::dword(n);
    }
    uint32_t type = RegValue::Binary;
    qsizetype colon = -1;
    if (d.startsWith("hex:")) {
        colon = 3;
    } else if (d.startsWith("hex(")) {
        const qsizetype close = d.indexOf(')');
        bool ok = false;
        type = d.mid(4, close - 4).toUInt(&ok, 16);
        if (close < 0 || !ok || d.size() <= close + 1 || d[close + 1] != ':')
            garbled(line, "a hex(N): type is not readable");
        colon = close + 1;
    } else {
        garbled(line, "a value of unknown form");
    }
    RegValue v{type, readHex(d.mid(colon + 1), line)};
    if ((type == RegValue::Sz || type == RegValue::ExpandSz)) {
        const qsizetype zero = v.data.indexOf('\0');
        if (zero >= 0)
            v.data.truncate(zero); // a text ends at its first zero byte
    }
    return v;
}

struct LockFile {
    int fd = -1;
    explicit LockFile(const QString &hive)
    {
        fd = ::open(QFile::encodeName(hive + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~LockFile()
    {
        if (fd >= 0)
            ::close(fd); // releases the lock
    }
};

} // namespace

RegValue RegValue::dword(uint32_t v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(v, b.data());
    return {Dword, b};
}

QString HiveData::normalize(const QString &path)
{
    return path.split(u'\\', Qt::SkipEmptyParts).join(u'\\');
}

qsizetype HiveData::find(const QString &path) const
{
    return keyIndex.value(normalize(path).toCaseFolded(), -1);
}

void HiveData::reindex()
{
    keyIndex.clear();
    for (qsizetype i = 0; i < list.size(); ++i)
        keyIndex.insert(list[i].path.toCaseFolded(), i);
}

bool HiveData::hasKey(const QString &path) const
{
    return find(path) >= 0;
}

const HiveData::Key *HiveData::key(const QString &path) const
{
    const qsizetype i = find(path);
    return i < 0 ? nullptr : &list[i];
}

HiveData::Key &HiveData::createKey(const QString &path)
{
    const QStringList parts = normalize(path).split(u'\\', Qt::SkipEmptyParts);
    qsizetype at = -1;
    for (qsizetype n = 1; n <= parts.size(); ++n) {
        const QString sub = parts.mid(0, n).join(u'\\');
        at = find(sub);
        if (at < 0) {
            list.append({sub, {}, {}});
            at = list.size() - 1;
            keyIndex.insert(sub.toCaseFolded(), at);
        }
    }
    if (at < 0)
        throw Exception(QStringLiteral("a key needs a name"));
    return list[at];
}

void HiveData::setValue(const QString &path, const QString &name, const RegValue &value)
{
    Key &k = createKey(path);
    const QString folded = name.toCaseFolded();
    if (const auto at = k.index.constFind(folded); at != k.index.cend()) {
        k.values[*at].second = value;
        return;
    }
    k.index.insert(folded, k.values.size());
    k.values.append({name, value});
}

std::optional<RegValue> HiveData::value(const QString &path, const QString &name) const
{
    if (const Key *k = key(path))
        if (const auto at = k->index.constFind(name.toCaseFolded()); at != k->index.cend())
            return k->values[*at].second;
    return std::nullopt;
}

bool HiveData::removeValue(const QString &path, const QString &name)
{
    const qsizetype i = find(path);
    if (i < 0)
        return false;
    Key &k = list[i];
    const auto at = k.index.constFind(name.toCaseFolded());
    if (at == k.index.cend())
        return false;
    k.values.removeAt(*at);
    k.index.clear();
    for (qsizetype j = 0; j < k.values.size(); ++j)
        k.index.insert(k.values[j].first.toCaseFolded(), j);
    return true;
}

bool HiveData::deleteTree(const QString &path)
{
    const QString p = normalize(path);
    if (p.isEmpty())
        return false;
    const qsizetype before = list.size();
    list.removeIf([&](const Key &k) {
        return sameName(k.path, p) || k.path.startsWith(p + u'\\', Qt::CaseInsensitive);
    });
    if (list.size() == before)
        return false;
    reindex();
    return true;
}

QByteArray HiveData::serialize() const
{
    // Parents before children, the way an export lists them.
    QList<const Key *> sorted;
    for (const Key &k : list)
        sorted.append(&k);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Key *a, const Key *b) {
        return a->path.split(u'\\').join(QChar(1)).compare(b->path.split(u'\\').join(QChar(1)), Qt::CaseInsensitive) < 0;
    });
    QByteArray out = "REGEDIT4\r\n";
    for (const Key *k : sorted) {
        out += "\r\n[" + (kRoot + u'\\' + k->path).toUtf8() + "]\r\n";
        for (const auto &[name, v] : k->values)
            out += (name.isEmpty() ? QByteArray("@") : quoted(name.toUtf8())) + '=' + valueText(v) + "\r\n";
    }
    return out;
}

HiveData HiveData::parse(const QByteArray &text)
{
    HiveData data;
    QList<QByteArray> lines = text.split('\n');
    QString current;
    bool header = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNo = int(i + 1);
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        // A hex list may go on over lines ending in "\".
        while (line.endsWith('\\') && i + 1 < lines.size()) {
            line.chop(1);
            QByteArray next = lines[++i];
            if (next.endsWith('\r'))
                next.chop(1);
            line += next.trimmed();
        }
        if (line.trimmed().isEmpty() || line.startsWith(';'))
            continue;
        if (!header) {
            if (line.trimmed() != "REGEDIT4" && line.trimmed() != "Windows Registry Editor Version 5.00")
                garbled(lineNo, "the header REGEDIT4 is missing");
            header = true;
            continue;
        }
        if (line.startsWith('[')) {
            if (!line.endsWith(']'))
                garbled(lineNo, "a key line does not end in ]");
            const QString full = QString::fromUtf8(line.mid(1, line.size() - 2));
            if (!full.startsWith(kRoot, Qt::CaseInsensitive)
                || (full.size() > kRoot.size() && full[kRoot.size()] != u'\\'))
                garbled(lineNo, "a key outside HKEY_CURRENT_USER");
            current = normalize(full.mid(kRoot.size()));
            if (!current.isEmpty())
                data.createKey(current);
            continue;
        }
        if (current.isEmpty())
            garbled(lineNo, "a value outside a key");
        QString name;
        qsizetype pos = 0;
        if (line.startsWith('@')) {
            pos = 1;
        } else if (line.startsWith('"')) {
            name = QString::fromUtf8(readQuoted(line, pos, lineNo));
        } else {
            garbled(lineNo, "a value line must start with a quoted name");
        }
        if (pos >= line.size() || line[pos] != '=')
            garbled(lineNo, "= missing after a value name");
        data.setValue(current, name, readData(line.mid(pos + 1).trimmed(), lineNo));
    }
    if (!header && !text.trimmed().isEmpty())
        garbled(1, "the header REGEDIT4 is missing");
    return data;
}

RegistryHive::RegistryHive(const QString &file) : path(file) {}

QString RegistryHive::currentUserFile()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/registry/HKEY_CURRENT_USER.reg");
}

HiveData RegistryHive::read() const
{
    QByteArray text;
    if (readWholeFile(path, text) != 0)
        return {};
    try {
        return HiveData::parse(text);
    } catch (const Exception &) {
        return {};
    }
}

void RegistryHive::update(const std::function<void(HiveData &)> &change)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    LockFile lock(path);
    if (lock.fd < 0)
        throw Exception(QStringLiteral("Cannot lock the registry file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
    // Under the lock no other writer is busy: temporary files still here are a killed
    // writer's leftovers.
    const QFileInfo info(path);
    for (const QString &stale : QDir(info.absolutePath()).entryList({info.fileName() + QStringLiteral(".tmp*")}, QDir::Files))
        QFile::remove(info.absolutePath() + u'/' + stale);
    HiveData data;
    QByteArray text;
    const int rc = readWholeFile(path, text);
    if (rc != 0 && rc != ENOENT)
        throw Exception(QStringLiteral("Cannot read the registry file %1: %2").arg(path, QString::fromLocal8Bit(strerror(rc))));
    if (rc == 0) {
        try {
            data = HiveData::parse(text);
        } catch (const Exception &) {
            // Never overwrite what cannot be read: keep it aside, start a fresh hive.
            const QString aside = path + QStringLiteral(".unreadable-")
                                  + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
            if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0)
                throw Exception(QStringLiteral("Cannot keep the unreadable registry file %1 aside").arg(path));
        }
    }
    change(data);
    // It holds passwords as plain text: the owner's alone, also when it was wider before.
    const int wrc = writeFileAtomically(path, data.serialize(), 0600);
    if (wrc != 0)
        throw Exception(QStringLiteral("Cannot write the registry file %1: %2").arg(path, QString::fromLocal8Bit(strerror(wrc))));
}
