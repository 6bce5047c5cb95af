#pragma once
#include <functional>
#include <memory>
#include <string>

#include "history/HistoryStore.hpp"

namespace serwer {

// The history of a server: SQLite month files in <data directory>/historia, or, with a
// database URI ([Historia] Baza), the PostgreSQL database, with the spool
// <data directory>/historia-bufor.db for the times it is out of reach. Nothing is
// connected until the first use; report is told of damaged files and outages
// (Windows-1250 texts).
std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& dataDirectory, const std::string& databaseUri,
                                               const std::string& serverName,
                                               std::function<void(const std::string&)> report);

// The history for a program that reads it (and may prune it): the same store without the
// spool. With a database URI, fails with ServerError when the database cannot be reached.
std::unique_ptr<HistoryStore> OpenHistoryForReading(const std::string& dataDirectory,
                                                    const std::string& databaseUri);

// The spool of a data directory: "<data directory>/historia-bufor.db".
std::string HistorySpoolFile(const std::string& dataDirectory);

}  // namespace serwer
