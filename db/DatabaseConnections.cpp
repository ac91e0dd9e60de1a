// The login window's two database connections and its connection test.
#include "app/Dialogs.h"
#include "app/LoginUnit.h"

#include <QLineEdit>

bool TLoginForm::connectDatabase(SqlConnection &connection, const QString &database)
{
    // Fields are used as typed: blanks around them reach the server.
    DatabaseTarget target{ServerName->text(), database};
    // A value the driver cannot carry is refused here, before anything is closed, and
    // reaches the error box rather than passing for a plain connection failure.
    odbcConnectionString(target);
    odbcCredentials(UserName->text(), PassWord->text());
    connection.close();
    connection.setTarget(target);
    try {
        connection.open(UserName->text(), PassWord->text());
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool TLoginForm::ConnectPubDatabase()
{
    return connectDatabase(ADOConnectionPUB, DataBaseName->text());
}

bool TLoginForm::ConnectNxDatabase()
{
    return connectDatabase(NxADOConnectionPub, Edit_Nxdb->text());
}

void TLoginForm::BtnTESTClick()
{
    ShowNotice(ConnectPubDatabase() ? QStringLiteral("数据库连接成功！") : QStringLiteral("数据库连接失败！"));
}
