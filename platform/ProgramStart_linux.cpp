// The shell's "open" as a Linux desktop does it: a detached start with the parameter
// string split into words, a Windows program through Wine.
#include "ProgramStart.h"

#include "Wine.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

QString startProgram(const QString &path, const QString &parameters)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    QProcess process;
    if (isWindowsProgram(path)) {
        const QString wine = wineLoader();
        if (wine.isEmpty())
            return QStringLiteral("%1 is a Windows program, and Wine, which is needed to start it, is not installed")
                .arg(info.fileName());
        process.setProgram(wine);
        process.setArguments(QStringList{info.absoluteFilePath()} + commandLineWords(parameters));
    } else {
        if (!info.isFile() || !info.isExecutable())
            return QStringLiteral("the file is not an executable program");
        process.setProgram(path);
        process.setArguments(commandLineWords(parameters));
    }
    process.setWorkingDirectory(QDir::currentPath());
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        return process.errorString();
    return QString();
}
