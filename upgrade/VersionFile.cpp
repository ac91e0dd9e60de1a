#include "VersionFile.h"

#include "core/Exceptions.h"
#include "core/TextRules.h"
#include "platform/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>

QByteArray firstLine(const QByteArray &content)
{
    qsizetype end = content.size();
    for (qsizetype i = 0; i < content.size(); ++i) {
        if (content[i] == '\r' || content[i] == '\x1A') {
            end = i;
            break;
        }
    }
    return content.left(end);
}

namespace {

bool isBlank(const QByteArray &line)
{
    for (char c : line)
        if (uchar(c) > 32)
            return false;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int32_t versionFromLine(const QByteArray &line)
{
    if (isBlank(line))
        return 0;
    auto invalid = [&] {
        // A line of any length is named, shortened so that its box still fits the screen.
        constexpr qsizetype kNamed = 40;
        const QString named = line.size() > kNamed ? QString::fromLocal8Bit(line.left(kNamed)) + QChar(0x2026)
                                                   : QString::fromLocal8Bit(line);
        return Exception(QStringLiteral("'%1' is not a valid integer value").arg(named));
    };
    qsizetype i = 0;
    while (i < line.size() && line[i] == ' ')
        ++i;
    const QByteArray rest = line.mid(i);
    qsizetype digitsAt = -1;
    if (rest.startsWith('$') || rest.startsWith('x') || rest.startsWith('X'))
        digitsAt = 1;
    else if (rest.startsWith("0x") || rest.startsWith("0X"))
        digitsAt = 2;
    if (digitsAt > 0) {
        const QByteArray digits = rest.mid(digitsAt);
        if (digits.isEmpty() || digits.size() > 8)
            throw invalid();
        uint32_t v = 0;
        for (char c : digits) {
            const int d = hexDigit(c);
            if (d < 0)
                throw invalid();
            v = v << 4 | uint32_t(d);
        }
        return int32_t(v); // a 32-bit pattern: $FFFFFFFF is -1
    }
    qsizetype at = 0;
    bool negative = false;
    if (at < rest.size() && (rest[at] == '+' || rest[at] == '-'))
        negative = rest[at++] == '-';
    if (at >= rest.size())
        throw invalid();
    int64_t v = 0;
    for (; at < rest.size(); ++at) {
        const char c = rest[at];
        if (c < '0' || c > '9')
            throw invalid(); // a sign before a hex prefix lands here too
        v = v * 10 + (c - '0');
        if (v > int64_t(INT32_MAX) + 1)
            throw invalid();
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        throw invalid();
    return int32_t(v);
}

QString ioErrorText(int code)
{
    switch (code) {
    case ENOENT: return QStringLiteral("File not found");
    case ENOTDIR: case ENAMETOOLONG: case EINVAL: case ELOOP: return QStringLiteral("Invalid filename");
    case EMFILE: case ENFILE: return QStringLiteral("Too many open files");
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return QStringLiteral("File access denied");
    case ENOSPC: case EFBIG: return QStringLiteral("Disk full");
#ifdef EDQUOT // no quotas on Windows
    case EDQUOT: return QStringLiteral("Disk full");
#endif
    default: return QStringLiteral("I/O error %1").arg(code);
    }
}

namespace {

// No version number is this long: a longer first line is judged by its start, so that
// a huge file without a line end is answered at once and in bounded memory.
constexpr qsizetype kLongestLine = 64 * 1024;

// The first line, reading no more than kLongestLine + 1 bytes. 0 or the errno.
int readFirstLine(const QString &path, QByteArray &line)
{
    const int rc = readFileStart(path, line, kLongestLine + 1);
    line = firstLine(line);
    return rc;
}

} // namespace

int32_t readVersionFile(const QString &dir)
{
    const QString path = QDir(dir).filePath(QStringLiteral("Version.txt"));
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return 0;
    QByteArray line;
    if (const int rc = readFirstLine(path, line))
        throw Exception(ioErrorText(rc));
    if (line.size() > kLongestLine)
        versionFromLine(line.left(kLongestLine) + 'x'); // a digit past this length would not change that
    return versionFromLine(line);
}

void writeVersionFile(const QString &dir, int32_t version)
{
    const QString path = QDir(dir).filePath(QStringLiteral("Version.txt"));
    const QByteArray content = QByteArray::number(version) + "\r\n";
    // A file that already says so is left alone: a folder the operator may only read
    // still starts its current program.
    QByteArray current;
    if (readFileStart(path, current, content.size() + 1) == 0 && current == content)
        return;
    if (const int rc = writeFileAtomically(path, content))
        throw Exception(ioErrorText(rc));
}

QString mainProgramParameters(const QString &operatorName, uint32_t rasConnHandle)
{
    return trimControls(operatorName) + u':' + QString::number(int32_t(rasConnHandle));
}
