#include "notifications/Outbox.hpp"

#include "notifications/PostgresOutbox.hpp"
#include "notifications/SqliteOutbox.hpp"

namespace serwer {

std::unique_ptr<Outbox> OpenOutbox(const std::string& sqlitePath, const std::string& databaseUri,
                                   const std::string& serverName) {
    if (databaseUri.empty()) return std::make_unique<SqliteOutbox>(sqlitePath);
    return std::make_unique<PostgresOutbox>(databaseUri, serverName);
}

}  // namespace serwer
