#pragma once
#include <optional>
#include <string>

#include "common/DateTime.hpp"
#include "vehicles/TableLock.hpp"
#include "vehicles/VehicleTable.hpp"

namespace serwer {

// When a unit's memory is read: once a day after the read hour, with more than an hour
// between two attempts, or at the next connection after the operator forced a read.
// The read hour is 0..23; nothing means no hour is selected, and then only forced reads
// (an empty ODCZYT) are due. Every function takes the current time as an argument.

// The hour of day a read-hour index stands for: 0..22 -> 1..23, 23 -> 0; nothing for -1.
// The index is the position in the operator's list of hours ("Godzina" in serwer.ini).
std::optional<int> ReadHourOfIndex(int index);

// True when today's read instant lies after `last` and `now` lies after the instant.
bool IsDue(DateTime last, DateTime now, std::optional<int> readHour);

// Whether DecideRead would find the row named `name` due, without stamping it.
bool IsReadDue(const VehicleTable& table, const std::string& name, bool readsEnabled, std::optional<int> readHour,
               DateTime now);

// The handler's decision, under the TableLock, for the row named `name`. When due, it
// stamps PROBA_ODCZYTU := now and commits the row (the file is not written here).
bool DecideRead(VehicleTable& table, const std::string& name, bool readsEnabled, std::optional<int> readHour,
                DateTime now);

// After a read's archive is safely written: ODCZYT := PROBA_ODCZYTU := now, counter + 1.
// Nothing happens when there is no such row.
void RecordCompletedRead(VehicleTable& table, const std::string& name, DateTime now);

// The planned read time for the label after "Planowany odczyt :" (empty when no hour
// is selected).
std::string ShowPlannedRead(std::optional<int> readHour, DateTime now);

// The operator's "read all cars now": clears ODCZYT and PROBA_ODCZYTU and sets the
// counter to 0 in every row under the TableLock, then waits for a save of the vehicle
// file that holds the change (TableLock::WaitUntilSaved), so that the forced read
// survives a restart.
void ReadAllNow(TableLock& lock, const std::string& dataDirectory);

// The operator's "read the selected car now" for the row named `name`. Fails with
// "Nie moge znalezc samochodu : " + name when there is no such row (nothing changes);
// saved as ReadAllNow is.
void ReadOneNow(TableLock& lock, const std::string& dataDirectory, const std::string& name);

}  // namespace serwer
