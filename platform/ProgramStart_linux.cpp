#include "ProgramStart.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

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

QString startProgram(const QString &path, const QString &parameters)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (!info.isFile() || !info.isExecutable())
        return QStringLiteral("the file is not an executable program");
    QProcess process;
    process.setProgram(path);
    process.setArguments(commandLineWords(parameters));
    process.setWorkingDirectory(QDir::currentPath());
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        return process.errorString();
    return QString();
}
