#include "vehicles/ReadSchedule.hpp"

#include "common/ServerError.hpp"
#include "vehicles/VehicleFile.hpp"

namespace serwer {

std::optional<int> ReadHourOfIndex(int index) {
    if (index < 0 || index > 23) return std::nullopt;
    return index == 23 ? 0 : index + 1;
}

namespace {
constexpr std::int64_t kRetryIntervalMs = DateTime::kMsPerHour;

void ClearReadState(VehicleRow& row) {
    row.ODCZYT.reset();
    row.PROBA_ODCZYTU.reset();
    row.LICZNIK_ODCZYTOW = 0;
}
}  // namespace

bool IsDue(DateTime last, DateTime now, std::optional<int> readHour) {
    if (!readHour) return false;
    const DateTime instant = now.Date().PlusHours(*readHour);
    return instant > last && now > instant;
}

bool IsReadDue(const VehicleTable& table, const std::string& name, bool readsEnabled, std::optional<int> readHour,
               DateTime now) {
    if (!readsEnabled) return false;
    const auto index = table.Find(name);
    if (!index) return false;
    const VehicleRow& row = table.Row(*index);
    bool due = !row.ODCZYT || IsDue(*row.ODCZYT, now, readHour);
    if (due && row.PROBA_ODCZYTU) due = (now.Ms() - row.PROBA_ODCZYTU->Ms()) > kRetryIntervalMs;
    return due;
}

bool DecideRead(VehicleTable& table, const std::string& name, bool readsEnabled, std::optional<int> readHour,
                DateTime now) {
    if (!IsReadDue(table, name, readsEnabled, readHour, now)) return false;
    const auto index = table.Find(name);
    VehicleRow row = table.Row(*index);
    row.PROBA_ODCZYTU = now;
    table.Post(*index, std::move(row));
    return true;
}

void RecordCompletedRead(VehicleTable& table, const std::string& name, DateTime now) {
    const auto index = table.Find(name);
    if (!index) return;
    VehicleRow row = table.Row(*index);
    row.ODCZYT = now;
    row.PROBA_ODCZYTU = now;
    row.LICZNIK_ODCZYTOW = row.LICZNIK_ODCZYTOW.value_or(0) + 1;
    table.Post(*index, std::move(row));
}

std::string ShowPlannedRead(std::optional<int> readHour, DateTime now) {
    if (!readHour) return "";
    DateTime t = now.Date().PlusHours(*readHour);
    if (now > t) t = t.PlusDays(1);
    return FormatDateTimeText(t);
}

void ReadAllNow(TableLock& lock, const std::string& dataDirectory) {
    std::uint64_t change = 0;
    {
        TableLockGuard guard(lock);
        VehicleTable& table = guard.Table();
        for (std::size_t i = 0; i < table.Size(); ++i) {
            VehicleRow row = table.Row(i);
            ClearReadState(row);
            table.Post(i, std::move(row));
        }
        change = table.ChangeCount();
    }
    lock.WaitUntilSaved(change, VehicleFilePath(dataDirectory));
}

void ReadOneNow(TableLock& lock, const std::string& dataDirectory, const std::string& name) {
    std::uint64_t change = 0;
    {
        TableLockGuard guard(lock);
        VehicleTable& table = guard.Table();
        const auto index = table.Find(name);
        if (!index) throw ServerError("Nie moge znalezc samochodu : " + name);
        VehicleRow row = table.Row(*index);
        ClearReadState(row);
        table.Post(*index, std::move(row));
        change = table.ChangeCount();
    }
    lock.WaitUntilSaved(change, VehicleFilePath(dataDirectory));
}

}  // namespace serwer
