#include "reports/FleetReport.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"
#include "reports/FleetSummary.hpp"
#include "reports/Step.hpp"
#include "reports/TripDetector.hpp"

namespace serwer {

namespace {

bool Summarizes(ReportKind kind) { return kind == ReportKind::Podsumowanie || kind == ReportKind::Kierowcy; }

// One vehicle's machines: its steps, its trips and stops or its summary rows, and its
// events in start order, each counted once the first point after its start has come.
struct VehicleReport {
    VehicleReport(const std::string& registration, const ReportRequest& request, const ReportSettings& settings,
                  const std::vector<Event>* events)
        : steps(settings.gapMinutes),
          trips(settings),
          summary(registration, request.kind == ReportKind::Kierowcy, request.perDay),
          events(events) {}
    StepMaker steps;
    TripDetector trips;
    SummaryCollector summary;
    TripsAndStops found;
    const std::vector<Event>* events;  // none: the vehicle has none in the span
    std::size_t nextEvent = 0;

    // The events that started before `utc`, counted for the driver of the last point
    // (of `driver` before the first).
    void EventsBefore(std::optional<std::int64_t> utc, const std::string& driver) {
        if (!events) return;
        const std::string& current = steps.Last() ? steps.Last()->driver : driver;
        for (; nextEvent < events->size() && (!utc || (*events)[nextEvent].startUtc < *utc); ++nextEvent)
            summary.Add((*events)[nextEvent], current);
    }
};

class Collector : public TrackVisitor {
public:
    Collector(const ReportRequest& request, const ReportContext& context,
              const std::map<std::string, std::vector<Event>>& events)
        : request_(request), context_(context), events_(events), summarizing_(Summarizes(request.kind)) {}

    void Point(const TrackPoint& point) override {
        VehicleReport& vehicle = Vehicle(point.registration);
        if (summarizing_) vehicle.EventsBefore(point.timeUtc, point.driver);
        const std::optional<Step> step = vehicle.steps.Add(point);
        if (!step) {
            if (summarizing_) vehicle.summary.AddFirst(point);
            return;
        }
        if (summarizing_)
            vehicle.summary.Add(*step);
        else
            vehicle.trips.Add(*step, vehicle.found);
    }

    void Restart(const std::string& registration) override {
        vehicles_.erase(registration);
        last_ = nullptr;
    }

    // Every vehicle with points or events, by registration, finished.
    std::map<std::string, VehicleReport*> Finish() {
        if (summarizing_)
            for (const auto& [registration, events] : events_) Vehicle(registration);
        std::map<std::string, VehicleReport*> ordered;
        for (auto& [registration, vehicle] : vehicles_) {
            if (summarizing_)
                vehicle->EventsBefore(std::nullopt, "");
            else
                vehicle->trips.Finish(vehicle->found);
            ordered.emplace(registration, vehicle.get());
        }
        return ordered;
    }

private:
    VehicleReport& Vehicle(const std::string& registration) {
        if (last_ && lastName_ == registration) return *last_;
        auto it = vehicles_.find(registration);
        if (it == vehicles_.end()) {
            const auto events = events_.find(registration);
            it = vehicles_
                     .emplace(registration, std::make_unique<VehicleReport>(
                                                registration, request_, context_.settings,
                                                events == events_.end() ? nullptr : &events->second))
                     .first;
        }
        lastName_ = registration;
        return *(last_ = it->second.get());
    }

    const ReportRequest& request_;
    const ReportContext& context_;
    const std::map<std::string, std::vector<Event>>& events_;
    bool summarizing_;
    std::unordered_map<std::string, std::unique_ptr<VehicleReport>> vehicles_;
    VehicleReport* last_ = nullptr;
    std::string lastName_;
};

ReportColumn Column(std::string key, std::string_view utf8Title, CellKind kind, int width, int decimals = 0) {
    return ReportColumn{std::move(key), Cp1250(utf8Title), kind, decimals, width};
}

std::optional<double> Litres(double points, std::optional<double> tank) {
    if (!tank) return std::nullopt;
    return points * *tank / 100.0;
}

// A row of cells made one by one (an initializer list of variants makes GCC warn).
template <typename... T>
std::vector<ReportCell> Cells(T&&... values) {
    std::vector<ReportCell> cells;
    cells.reserve(sizeof...(T));
    (cells.emplace_back(std::forward<T>(values)), ...);
    return cells;
}

ReportCell Maybe(std::optional<double> value) {
    if (!value) return std::monostate{};
    return *value;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The refuels' rises of the vehicle's events that started in [from, to].
double RefuelledWithin(const std::vector<Event>* events, std::int64_t from, std::int64_t to) {
    double points = 0;
    if (events)
        for (const Event& e : *events)
            if (e.type == EventType::Tankowanie && e.value && e.startUtc >= from && e.startUtc <= to) points += *e.value;
    return points;
}

void TripRows(ReportTable& table, const std::map<std::string, VehicleReport*>& vehicles, const ReportContext& context) {
    table.columns = {Column("pojazd", "Pojazd", CellKind::Text, 10),
                     Column("kierowca", "Kierowca", CellKind::Text, 14),
                     Column("poczatek", "Początek", CellKind::Time, 16),
                     Column("miejsce_poczatku", "Miejsce początku", CellKind::Text, 24),
                     Column("koniec", "Koniec", CellKind::Time, 16),
                     Column("miejsce_konca", "Miejsce końca", CellKind::Text, 24),
                     Column("km", "Kilometry", CellKind::Number, 9, 1),
                     Column("czas_s", "Czas", CellKind::Duration, 8),
                     Column("predkosc_maks", "Prędkość maks. [km/h]", CellKind::Number, 9, 0),
                     Column("predkosc_srednia", "Prędkość średnia [km/h]", CellKind::Number, 9, 0),
                     Column("paliwo_proc", "Paliwo zużyte [%]", CellKind::Number, 9, 1),
                     Column("paliwo_l", "Paliwo zużyte [l]", CellKind::Number, 9, 1)};
    for (const auto& [registration, vehicle] : vehicles) {
        const auto tank = context.tankLitres ? context.tankLitres(registration) : std::nullopt;
        for (const Trip& trip : vehicle->found.trips) {
            const std::int64_t seconds = trip.endUtc - trip.startUtc;
            const std::optional<double> used =
                trip.fuelKnown ? std::optional<double>(trip.fuelFall + RefuelledWithin(vehicle->events, trip.startUtc,
                                                                                       trip.endUtc))
                               : std::nullopt;
            table.rows.push_back(Cells(registration, Joined(trip.drivers), trip.startUtc,
                                       PlaceName(trip.from, registration, context.zones), trip.endUtc,
                                       PlaceName(trip.to, registration, context.zones), trip.km, seconds,
                                       trip.maxSpeedKmh,
                                       seconds > 0 ? ReportCell(trip.km * 3600.0 / static_cast<double>(seconds))
                                                   : ReportCell(std::monostate{}),
                                       Maybe(used), Maybe(used ? Litres(*used, tank) : std::nullopt)));
        }
    }
}

void StopRows(ReportTable& table, const std::map<std::string, VehicleReport*>& vehicles, const ReportContext& context) {
    table.columns = {Column("pojazd", "Pojazd", CellKind::Text, 10),
                     Column("miejsce", "Miejsce", CellKind::Text, 28),
                     Column("przyjazd", "Przyjazd", CellKind::Time, 16),
                     Column("odjazd", "Odjazd", CellKind::Time, 16),
                     Column("czas_s", "Czas postoju", CellKind::Duration, 10),
                     Column("silnik_s", "Silnik pracował", CellKind::Duration, 10)};
    for (const auto& [registration, vehicle] : vehicles)
        for (const Stop& stop : vehicle->found.stops)
            table.rows.push_back(Cells(registration, PlaceName(stop.place, registration, context.zones),
                                       stop.arrivalUtc,
                                       stop.departureUtc ? ReportCell(*stop.departureUtc) : ReportCell(std::monostate{}),
                                       stop.lastSeenUtc - stop.arrivalUtc, stop.engineSeconds));
}

// A summary row with its litres: known when every vehicle it sums has its tank.
struct SummaryRow {
    SummaryFigures figures;
    bool litresKnown = true;
    double usedLitres = 0, refuelledLitres = 0;
    void Add(const SummaryFigures& f, std::optional<double> tank) {
        figures.Add(f);
        if (!tank) {
            litresKnown = false;
            return;
        }
        usedLitres += *Litres(f.FuelUsedPoints(), tank);
        refuelledLitres += *Litres(f.refuelledPoints, tank);
    }
};

void SummaryRows(ReportTable& table, const ReportRequest& request,
                 const std::map<std::string, VehicleReport*>& vehicles, const ReportContext& context) {
    const bool drivers = request.kind == ReportKind::Kierowcy;
    table.columns = {drivers ? Column("kierowca", "Kierowca", CellKind::Text, 14)
                             : Column("pojazd", "Pojazd", CellKind::Text, 10)};
    if (request.perDay) table.columns.push_back(Column("dzien", "Dzień", CellKind::Date, 11));
    for (ReportColumn c : {Column("km", "Kilometry", CellKind::Number, 9, 1),
                           Column("jazda_s", "Czas jazdy", CellKind::Duration, 9),
                           Column("postoj_silnik_s", "Postój z pracującym silnikiem", CellKind::Duration, 11),
                           Column("predkosc_maks", "Prędkość maks. [km/h]", CellKind::Number, 9, 0)})
        table.columns.push_back(std::move(c));
    for (int i = 0; i < kEventTypeCount; ++i) {
        const auto type = static_cast<EventType>(i);
        table.columns.push_back(ReportColumn{std::string(EventTypeName(type)), EventCountTitle(type), CellKind::Integer, 0, 8});
    }
    for (ReportColumn c : {Column("paliwo_proc", "Paliwo zużyte [%]", CellKind::Number, 9, 1),
                           Column("paliwo_l", "Paliwo zużyte [l]", CellKind::Number, 9, 1),
                           Column("zatankowano_proc", "Zatankowano [%]", CellKind::Number, 9, 1),
                           Column("zatankowano_l", "Zatankowano [l]", CellKind::Number, 9, 1)})
        table.columns.push_back(std::move(c));

    std::map<SummaryKey, SummaryRow> rows;
    for (const auto& [registration, vehicle] : vehicles) {
        const auto tank = context.tankLitres ? context.tankLitres(registration) : std::nullopt;
        for (const auto& [key, figures] : vehicle->summary.Rows()) rows[key].Add(figures, tank);
    }
    for (const auto& [key, row] : rows) {
        const SummaryFigures& f = row.figures;
        std::vector<ReportCell> cells = Cells(key.name);
        if (request.perDay) cells.emplace_back(UtcSecondOfPolish(*key.day));
        cells.emplace_back(f.km);
        cells.emplace_back(f.drivingSeconds);
        cells.emplace_back(f.idlingSeconds);
        cells.emplace_back(f.maxSpeedKmh);
        for (int count : f.events) cells.push_back(std::int64_t{count});
        cells.push_back(f.fuelKnown ? ReportCell(f.FuelUsedPoints()) : ReportCell(std::monostate{}));
        cells.push_back(f.fuelKnown && row.litresKnown ? ReportCell(row.usedLitres) : ReportCell(std::monostate{}));
        cells.push_back(f.refuelledPoints);
        cells.push_back(row.litresKnown ? ReportCell(row.refuelledLitres) : ReportCell(std::monostate{}));
        table.rows.push_back(std::move(cells));
    }
}

}  // namespace

std::string PlaceName(const Place& place, const std::string& registration, const ZoneSet* zones) {
    if (!place.known) return {};
    if (zones) {
        std::string names;
        for (std::size_t index : zones->ZonesAt(place.latitude, place.longitude)) {
            const Zone& zone = zones->At(index);
            if (zone.AppliesTo(registration)) names += (names.empty() ? "" : ", ") + zone.name;
        }
        if (!names.empty()) return names;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.5f, %.5f", place.latitude, place.longitude);
    return text;
}

std::string EventCountTitle(EventType type) {
    static constexpr std::string_view kTitles[kEventTypeCount] = {
        "Przekroczenia prędkości", "Wjazdy do strefy", "Wyjazdy ze strefy",   "Zapłony",
        "Wyłączenia silnika",      "Postoje z pracującym silnikiem",           "Tankowania",
        "Spadki paliwa",           "Zmiany kierowcy",  "Utraty GPS",          "Odzyskania GPS",
        "Zmiany wejść",            "Braki pozycji",    "Powroty",             "Zaległe odczyty",
        "Przeglądy"};
    return Cp1250(kTitles[static_cast<std::size_t>(type)]);
}

ReportTable MakeReport(HistoryStore& store, const ReportRequest& asked, const ReportContext& context) {
    ReportRequest request = asked;  // each vehicle named once
    std::sort(request.registrations.begin(), request.registrations.end());
    request.registrations.erase(std::unique(request.registrations.begin(), request.registrations.end()),
                                request.registrations.end());
    ReportTable table;
    table.kind = request.kind;
    table.title = Cp1250(ReportTitle(request.kind));
    table.fromUtc = request.fromUtc;
    table.toUtc = request.toUtc;

    // The events of the span, by vehicle in start order: the summaries count them, and
    // a trip's refuels go back into its fuel.
    std::map<std::string, std::vector<Event>> events;
    const auto wanted = [&](const std::string& registration) {
        return request.registrations.empty() || std::find(request.registrations.begin(), request.registrations.end(),
                                                          registration) != request.registrations.end();
    };
    EventQuery eventQuery;
    eventQuery.fromUtc = request.fromUtc;
    eventQuery.toUtc = request.toUtc;
    if (request.registrations.size() == 1) eventQuery.registration = request.registrations.front();
    if (!Summarizes(request.kind)) eventQuery.type = EventType::Tankowanie;
    const bool none = request.listIsWhole && request.registrations.empty();
    if (request.kind != ReportKind::Postoje && !none)
        for (Event& e : store.QueryEvents(eventQuery))
            if (wanted(e.registration)) events[e.registration].push_back(std::move(e));

    Collector collector(request, context, events);
    if (!none) store.ScanTrack(TrackQuery{request.registrations, request.fromUtc, request.toUtc}, collector);
    const auto vehicles = collector.Finish();
    switch (request.kind) {
        case ReportKind::Trasy:
            TripRows(table, vehicles, context);
            break;
        case ReportKind::Postoje:
            StopRows(table, vehicles, context);
            break;
        case ReportKind::Podsumowanie:
        case ReportKind::Kierowcy:
            SummaryRows(table, request, vehicles, context);
            break;
    }
    return table;
}

}  // namespace serwer
