#include "Wine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

QStringList commandLineWords(const QString &parameters)
{
    QStringList words;
    QString current;
    for (QChar c : parameters) {
        if (c == u' ' || c == u'\t') {
            if (!current.isEmpty())
                words.append(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        words.append(current);
    return words;
}

bool isWindowsProgram(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray dos = f.read(64);
    if (dos.size() < 64 || !dos.startsWith("MZ"))
        return false;
    const quint32 pe = qFromLittleEndian<quint32>(dos.constData() + 0x3C);
    return f.seek(pe) && f.read(4) == QByteArray("PE\0\0", 4);
}

QString wineLoader()
{
    if (qEnvironmentVariableIsSet("WINE")) {
        const QFileInfo named(qEnvironmentVariable("WINE"));
        return named.isFile() && named.isExecutable() ? named.absoluteFilePath() : QString();
    }
    for (const char *name : {"wine", "wine64"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(name));
        if (!found.isEmpty())
            return found;
    }
    const QFileInfo debian(QStringLiteral("/usr/lib/wine/wine64"));
    return debian.isExecutable() ? debian.filePath() : QString();
}

namespace {

QString winePrefix()
{
    const QString set = qEnvironmentVariable("WINEPREFIX");
    return set.isEmpty() ? QDir::homePath() + QStringLiteral("/.wine") : set;
}

} // namespace

bool deleteWineKeyTree(const QString &keyPath)
{
    const QString wine = wineLoader();
    // Asked in a prefix that does not exist yet, Wine would spend seconds making one.
    if (wine.isEmpty() || !QFileInfo(winePrefix() + QStringLiteral("/drive_c")).isDir())
        return false;
    QProcess reg;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    reg.setProcessEnvironment(env);
    reg.setStandardInputFile(QProcess::nullDevice());
    reg.setStandardOutputFile(QProcess::nullDevice());
    reg.setStandardErrorFile(QProcess::nullDevice());
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\") + keyPath.split(u'\\', Qt::SkipEmptyParts).join(u'\\');
    reg.start(wine, {QStringLiteral("reg"), QStringLiteral("delete"), key, QStringLiteral("/f")});
    if (!reg.waitForFinished(60000)) {
        reg.kill();
        reg.waitForFinished(1000);
        return false;
    }
    return reg.exitStatus() == QProcess::NormalExit && reg.exitCode() == 0;
}
