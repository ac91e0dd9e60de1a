// Runs the test program as a copy of itself in a program folder of its own, named like
// the launcher: the program directory is then that folder, as it is for the real launcher.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// In the original process: copies the program into a fresh folder as "Vesk", with the
// files of besides linked in next to it, runs the copy with the same arguments and
// returns its exit code. In the copy: returns -1, and the caller runs its tests.
inline int runAsProgramCopy(int argc, char *argv[], const QStringList &besides = {})
{
    if (!qEnvironmentVariableIsEmpty("VESK_ROAD_COPY"))
        return -1;
    QCoreApplication app(argc, argv);
    QTemporaryDir programDir;
    const QString copy = programDir.filePath(QStringLiteral("Vesk"));
    if (!QFile::copy(QCoreApplication::applicationFilePath(), copy))
        return 2;
    for (const QString &file : besides)
        if (!QFile::link(file, programDir.filePath(file.section(u'/', -1))))
            return 2;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VESK_ROAD_COPY"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(copy, app.arguments().mid(1));
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 3;
}
