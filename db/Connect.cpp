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
    } catch (const EncryptionRefused &) {
        throw; // a site's security setting: the operator is told why, not just that it failed
    } catch (const std::exception &) {
        return false;
    }
}
