#include "Connect.h"

bool connectDatabase(SqlConnection &connection, const DatabaseTarget &target, const QString &user,
                     const QString &password)
{
    odbcConnectionString(target);
    odbcCredentials(user, password);
    connection.close();
    connection.setTarget(target);
    try {
        connection.open(user, password);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}
