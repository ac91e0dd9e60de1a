#include "Connect.h"

#include "db/TransportSecurity.h"

#include <algorithm>
#include <utility>

bool connectDatabase(SqlConnection &connection, const DatabaseTarget &target, const QString &user,
                     const QString &password)
{
    return connectDatabases({{&connection, target}}, user, password).front();
}

std::vector<bool> connectDatabases(const std::vector<ConnectRequest> &requests, const QString &user,
                                   const QString &password)
{
    std::exception_ptr refused;
    std::vector<SqlConnection *> opening;
    for (const ConnectRequest &r : requests) {
        try {
            odbcConnectionString(r.target);
            odbcCredentials(user, password);
        } catch (...) {
            refused = std::current_exception();
            break;
        }
        opening.push_back(r.connection);
    }
    for (size_t i = 0; i < opening.size(); ++i) {
        opening[i]->close();
        opening[i]->setTarget(requests[i].target);
    }
    std::vector<bool> open;
    bool earlierFailed = false;
    for (const std::exception_ptr &failure : SqlConnection::openTogether(opening, user, password)) {
        open.push_back(!failure);
        // A site's security setting refused the first connection that failed: the operator
        // is told why, not just that it failed.
        if (failure && !std::exchange(earlierFailed, true)) {
            try {
                std::rethrow_exception(failure);
            } catch (const EncryptionRefused &) {
                throw;
            } catch (...) {
            }
        }
    }
    if (refused && std::find(open.begin(), open.end(), false) == open.end())
        std::rethrow_exception(refused);
    open.resize(requests.size(), false);
    return open;
}
