#pragma once
// A month of history rows for the benchmarks, in the order a fleet sends them.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.hpp"
#include "history/HistoryRecord.hpp"

namespace serwer {
namespace bench {

// The first second (UTC) of a month; month 13 is January of the next year.
inline std::int64_t MonthStartUtc(int year, int month) {
    if (month > 12) ++year, month -= 12;
    return DateTime::FromParts({year, month, 1, 0, 0, 0, 0}).Ms() / DateTime::kMsPerSecond;
}

// The registration of vehicle v of the generated fleet.
inline std::string MonthRowRegistration(int vehicle) { return "SK" + std::to_string(10000 + vehicle); }

// Generates a month's rows in time order: for every day, every slot between 04:00 and
// 20:00 UTC, every vehicle's fix (each vehicle a little later than the slot's start).
class MonthRows {
public:
    MonthRows(const HistoryRecord& model, int year, int month, int vehicles, long long rows)
        : model_(model), vehicles_(vehicles), rows_(rows), start_(MonthStartUtc(year, month)) {
        const int days = static_cast<int>((MonthStartUtc(year, month + 1) - start_) / 86400);
        const long long perVehicle = (rows + vehicles - 1) / vehicles;
        slotsPerDay_ = static_cast<int>((perVehicle + days - 1) / days);
        interval_ = std::max<std::int64_t>(1, 16 * 3600 / slotsPerDay_);
        for (int v = 0; v < vehicles; ++v) names_.push_back(MonthRowRegistration(v));
    }

    std::int64_t IntervalSeconds() const { return interval_; }
    long long Made() const { return made_; }
    bool Done() const { return made_ >= rows_; }

    // The next `count` rows (fewer at the end).
    void Next(std::vector<HistoryRecord>& out, int count) {
        out.clear();
        for (; out.size() < static_cast<std::size_t>(count) && made_ < rows_; ++made_) {
            const long long slotIndex = made_ / vehicles_;
            const int v = static_cast<int>(made_ % vehicles_);
            const long long day = slotIndex / slotsPerDay_, slot = slotIndex % slotsPerDay_;
            HistoryRecord r = model_;
            r.registration = names_[static_cast<std::size_t>(v)];
            const std::int64_t fix = start_ + day * 86400 + 4 * 3600 + slot * interval_ + v % interval_;
            r.fixTimeUtc = fix;
            r.receivedUtc = fix + 3 + v % 20;
            // Each vehicle drives around its own point: a few hundred metres per fix.
            const double phase = static_cast<double>(slotIndex % 600) / 600.0;
            r.latitude = 49.2 + (v % 40) * 0.1 + 0.05 * phase;
            r.longitude = 14.5 + (v / 40 % 50) * 0.15 + 0.03 * phase * (v % 2 ? 1 : -1);
            // Standing at about one fix in four, otherwise 10 to 99 km/h.
            const long long mix = (slotIndex * 7 + v) % 97;
            r.speedKmh = mix % 4 == 0 ? 0.0 : 10.0 + static_cast<double>(mix % 90);
            r.engineOn = mix % 4 != 0;
            r.gps = mix == 13 ? "BRAK" : "OK";
            r.odometerKm = 10000 + v * 7 + slotIndex / 4;
            out.push_back(std::move(r));
        }
    }

private:
    HistoryRecord model_;
    int vehicles_;
    long long rows_;
    std::int64_t start_;
    int slotsPerDay_ = 1;
    std::int64_t interval_ = 60;
    long long made_ = 0;
    std::vector<std::string> names_;
};

}  // namespace bench
}  // namespace serwer
