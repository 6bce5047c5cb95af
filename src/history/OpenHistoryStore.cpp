#include "history/OpenHistoryStore.hpp"

#include "history/PostgresHistoryStore.hpp"
#include "history/SpoolingHistoryStore.hpp"
#include "history/SqliteHistoryStore.hpp"

namespace serwer {

std::string HistorySpoolFile(const std::string& dataDirectory) { return dataDirectory + "/historia-bufor.db"; }

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& dataDirectory, const std::string& databaseUri,
                                               const std::string& serverName,
                                               std::function<void(const std::string&)> report) {
    if (databaseUri.empty()) return std::make_unique<SqliteHistoryStore>(HistoryDirectory(dataDirectory), report);
    return std::make_unique<SpoolingHistoryStore>(
        [databaseUri] { return std::make_unique<PostgresHistoryStore>(databaseUri); }, HistorySpoolFile(dataDirectory),
        serverName, report);
}

std::unique_ptr<HistoryStore> OpenHistoryForReading(const std::string& dataDirectory,
                                                    const std::string& databaseUri) {
    if (databaseUri.empty()) return std::make_unique<SqliteHistoryStore>(HistoryDirectory(dataDirectory));
    return std::make_unique<PostgresHistoryStore>(databaseUri);
}

}  // namespace serwer
