#include "VersionCheck.h"

#include "core/Application.h"
#include "core/Exceptions.h"
#include "db/SqlConnection.h"
#include "platform/ProgramSettings.h"
#include "platform/ProgramStart.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/ProgramFile.h"
#include "upgrade/PublishedProgram.h"
#include "upgrade/VersionFile.h"

#include <QDir>

int32_t readServerVersion(SqlConnection &connection)
{
    SqlQuery query(connection);
    query.close();
    query.SQL = QStringList{QLatin1String(kPublishedStatement)};
    query.open();
    return query.eof() ? 0 : query.fieldByName(QStringLiteral("Version")).toInt();
}

bool upgradeNeeded(int32_t local, int32_t server)
{
    return local == 0 || local < server;
}

int32_t runUpgrade(SqlConnection &connection, const std::function<void(const QString &)> &notice)
{
    int32_t installed = 0;
    {
        TFileDivisionAndUnite unite;
        unite.Connection = &connection;
        try {
            unite.UniteFile();
            installed = unite.InstalledVersion;
        } catch (const FolderNotSynced &) {
            // The new program is there to start. Its version stays unrecorded, so the next
            // login upgrades again, from the program in place where the row names its SHA-256.
        }
    }
    notice(QStringLiteral("软件升级成功！"));
    return installed;
}

void resetMainAppSettings()
{
    // The main client program's own settings start afresh with the new version. The
    // delete's result is ignored: a hive that cannot be locked or written must not turn
    // a completed upgrade into a failure, and a launcher that downloads at every login.
    try {
        deleteProgramSettings(programDirectory() + QStringLiteral("DovaDu.exe"), QStringLiteral("\\SOFTWARE\\Dovadu\\"));
    } catch (const Exception &) {
    }
}

void launchMainProgram(const QString &operatorName, uint32_t rasConnHandle)
{
    const QString program = programDirectory() + QStringLiteral("DovaDu.exe");
    const QString why = startProgram(program, mainProgramParameters(operatorName, rasConnHandle));
    if (!why.isEmpty())
        throw Exception(QStringLiteral("Cannot start %1: %2").arg(QDir::toNativeSeparators(program), why));
}
