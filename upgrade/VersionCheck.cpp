// The login window's version check and hand-off to the main client program.
#include "app/Dialogs.h"
#include "app/Exceptions.h"
#include "app/LoginUnit.h"
#include "platform/ProgramStart.h"
#include "platform/SettingsStore.h"
#include "upgrade/LoadBinaryDataToDBUnit.h"
#include "upgrade/VersionFile.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QScopeGuard>

void TLoginForm::CheckVersionAndLaunch()
{
    const QString program = programDirectory() + QStringLiteral("DovaDu.exe");
    const int32_t local = ReadLocalVersion();

    int32_t server = 0;
    {
        SqlQuery query(ADOConnectionPUB);
        query.close();
        query.SQL = QStringList{QStringLiteral("select * from  BVersion ")};
        query.open();
        if (!query.eof())
            server = query.fieldByName(QStringLiteral("Version")).toInt();
    }

    if (local == 0 || local < server) {
        RunUpgrade();
        ResetMainAppSettings();
    }
    if (server != 0)
        WriteLocalVersion(server);

    const QString parameters = mainProgramParameters(ComboBoxCzy->currentText(), RasConnHandle);
    const QString why = startProgram(program, parameters);
    if (!why.isEmpty())
        throw Exception(QStringLiteral("Cannot start %1: %2").arg(QDir::toNativeSeparators(program), why));
}

int32_t TLoginForm::ReadLocalVersion()
{
    return readVersionFile(programDirectory());
}

void TLoginForm::WriteLocalVersion(int32_t version)
{
    writeVersionFile(programDirectory(), version);
}

void TLoginForm::RunUpgrade()
{
    // A second login while the download runs would fight over DovaDu.exe: refuse it.
    upgrading = true;
    BitBtnOk->setEnabled(false);
    auto done = qScopeGuard([this] {
        upgrading = false;
        BitBtnOk->setEnabled(true);
    });
    {
        TFileDivisionAndUnite unite;
        unite.Connection = &ADOConnectionPUB;
        unite.UniteFile();
    }
    ShowNotice(QStringLiteral("软件升级成功！"));
}

void TLoginForm::ResetMainAppSettings()
{
    // The main client program's own settings start afresh with the new version.
    // Nothing happens, and nothing is reported, when the key does not exist.
    CurrentUserRegistry::deleteKeyTree(QStringLiteral("\\SOFTWARE\\Dovadu\\"));
}
