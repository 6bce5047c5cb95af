#include "reports/TripDetector.hpp"

#include <algorithm>

namespace serwer {

void TripDetector::Part::Take(const Step& step) {
    if (!open) {
        open = true;
        startUtc = step.from.timeUtc;
        start = step.from.fix ? Place{true, step.from.latitude, step.from.longitude} : step.fromPlace;
    }
    endUtc = step.to.timeUtc;
    km += step.km;
    fuelFall += step.fuelFall;
    fuelKnown = fuelKnown || step.fuelMeasured;
    if (step.from.speedKmh) maxSpeedKmh = std::max(maxSpeedKmh, *step.from.speedKmh);
    if (step.to.speedKmh) maxSpeedKmh = std::max(maxSpeedKmh, *step.to.speedKmh);
    if (step.gap) gap = true;
    else if (step.from.engineOn) engineSeconds += step.Seconds();
    for (const std::string* driver : {&step.from.driver, &step.to.driver})
        if (!driver->empty() && std::find(drivers.begin(), drivers.end(), *driver) == drivers.end())
            drivers.push_back(*driver);
}

void TripDetector::Part::Join(const Part& later) {
    if (!later.open) return;
    if (!open) {
        *this = later;
        return;
    }
    endUtc = later.endUtc;
    km += later.km;
    fuelFall += later.fuelFall;
    fuelKnown = fuelKnown || later.fuelKnown;
    maxSpeedKmh = std::max(maxSpeedKmh, later.maxSpeedKmh);
    engineSeconds += later.engineSeconds;
    gap = gap || later.gap;
    for (const std::string& driver : later.drivers)
        if (std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) drivers.push_back(driver);
}

bool TripDetector::Standing(const Step& step) {
    if (step.gap) return true;
    // A point without a speed stands as the one before it did.
    const auto standing = [&](const TrackPoint& p, bool before) {
        if (settings_.ignition) return !p.engineOn;
        return p.speedKmh ? *p.speedKmh < kReportStandingKmh : before;
    };
    const bool from = standing(step.from, wasStanding_);
    wasStanding_ = standing(step.to, from);
    // The step that starts moving or comes to a stop is part of the way.
    return from && wasStanding_;
}

void TripDetector::Add(const Step& step, TripsAndStops& out) {
    lastPlace_ = step.toPlace;
    lastUtc_ = step.to.timeUtc;
    if (Standing(step)) {
        standing_.Take(step);
        return;
    }
    if (standing_.open) EndStanding(step.from.timeUtc, step.from.timeUtc, out);
    trip_.Take(step);
}

Trip TripDetector::MakeTrip(std::int64_t endUtc, Place to) const {
    Trip trip;
    trip.startUtc = trip_.startUtc;
    trip.endUtc = endUtc;
    trip.from = trip_.start;
    trip.to = to;
    trip.km = trip_.km;
    trip.maxSpeedKmh = trip_.maxSpeedKmh;
    trip.drivers = trip_.drivers;
    trip.fuelFall = trip_.fuelFall;
    trip.fuelKnown = trip_.fuelKnown;
    return trip;
}

void TripDetector::EndStanding(std::optional<std::int64_t> until, std::int64_t lastSeen, TripsAndStops& out) {
    const std::int64_t standingEnd = until.value_or(lastSeen);
    const bool stop = standing_.gap || settings_.ignition ||
                      standingEnd - standing_.startUtc >= std::int64_t{settings_.stopMinutes} * 60;
    if (!stop) {
        trip_.Join(standing_);
        standing_ = {};
        return;
    }
    Stop arrived;
    arrived.arrivalUtc = standing_.startUtc;
    arrived.departureUtc = until;
    arrived.lastSeenUtc = standingEnd;
    arrived.place = standing_.start;
    arrived.engineSeconds = standing_.engineSeconds;

    const bool longEnough = trip_.open && trip_.km >= settings_.tripMinKm;
    if (longEnough) {
        if (pending_) out.stops.push_back(*pending_);
        out.trips.push_back(MakeTrip(arrived.arrivalUtc, arrived.place));
        pending_ = arrived;
    } else if (pending_) {
        // A way too short to be a trip: the two stops and it are one stop.
        pending_->departureUtc = arrived.departureUtc;
        pending_->lastSeenUtc = arrived.lastSeenUtc;
        pending_->engineSeconds += trip_.engineSeconds + arrived.engineSeconds;
    } else {
        pending_ = arrived;  // before the first stop: the short way is left out
    }
    trip_ = {};
    standing_ = {};
}

void TripDetector::Finish(TripsAndStops& out) {
    if (standing_.open) EndStanding(std::nullopt, lastUtc_, out);
    if (trip_.open && trip_.km >= settings_.tripMinKm) {
        if (pending_) out.stops.push_back(*pending_);
        pending_.reset();
        out.trips.push_back(MakeTrip(trip_.endUtc, lastPlace_));
    }
    if (pending_) out.stops.push_back(*pending_);
    pending_.reset();
    trip_ = {};
}

}  // namespace serwer
