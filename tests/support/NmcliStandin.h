// Puts the stand-in nmcli first on PATH for the life of the object and reads back what it
// was asked; XDG_CONFIG_HOME goes to a fresh folder so the phonebook starts empty.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

class NmcliStandin {
public:
    QTemporaryDir dir;

    explicit NmcliStandin(const QByteArray &mode = "ok")
        : oldPath(qgetenv("PATH")), oldConfig(qgetenv("XDG_CONFIG_HOME"))
    {
        QFile::link(QStringLiteral(VESK_NMCLI_STANDIN), dir.filePath(QStringLiteral("nmcli")));
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + oldPath);
        qputenv("NMCLI_STANDIN_LOG", QFile::encodeName(logPath()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("VESK_RAS_LOG", QFile::encodeName(dir.filePath(QStringLiteral("ras.log"))));
        setMode(mode);
    }
    ~NmcliStandin()
    {
        qputenv("PATH", oldPath);
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qunsetenv("NMCLI_STANDIN_LOG");
        qunsetenv("NMCLI_STANDIN_MODE");
        qunsetenv("VESK_RAS_LOG");
    }
    void setMode(const QByteArray &mode) { qputenv("NMCLI_STANDIN_MODE", mode); }
    // Hides nmcli altogether: a machine without NetworkManager.
    void remove() { QFile::remove(dir.filePath(QStringLiteral("nmcli"))); }

    QString logPath() const { return dir.filePath(QStringLiteral("nmcli.log")); }
    QString phonebook() const { return dir.filePath(QStringLiteral("config/ras/rasphone.pbk")); }

    // Each call's arguments.
    // The calls that change or use NetworkManager's profiles; the look-ups for a provisioned
    // profile apart.
    QList<QStringList> calls() const
    {
        QList<QStringList> out = lines("call");
        out.removeIf([](const QStringList &c) { return c == kLookup; });
        return out;
    }
    int lookups() const { return int(lines("call").count(kLookup)); }
    inline static const QStringList kLookup{"-t", "-f", "NAME,UUID,TYPE", "connection", "show"};
    // Each password file handed over: its mode in octal, then its text.
    QList<QStringList> passwordFiles() const { return lines("passwd-file"); }
    // What the service was asked, one call a line, as the service traces it.
    QStringList serviceCalls() const
    {
        QFile f(dir.filePath(QStringLiteral("ras.log")));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    void clearLogs() const
    {
        QFile::remove(logPath());
        QFile::remove(dir.filePath(QStringLiteral("ras.log")));
    }

private:
    QByteArray oldPath, oldConfig;

    QList<QStringList> lines(const char *kind) const
    {
        QList<QStringList> out;
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return out;
        for (const QString &line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
            QStringList parts = line.split(u'\t');
            if (parts.takeFirst() == QLatin1String(kind))
                out << parts;
        }
        return out;
    }
};
