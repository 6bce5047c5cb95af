#include "reports/Step.hpp"

#include <algorithm>

#include "history/DaySummary.hpp"

namespace serwer {

std::optional<Step> StepMaker::Add(const TrackPoint& point) {
    std::optional<Step> step;
    const bool gap = last_ && point.timeUtc - last_->timeUtc >= gapSeconds_;
    const Place before = place_;
    double km = 0;
    if (gap) measuredFrom_ = Place{};  // the way through a gap is not known
    if (point.fix) {
        if (measuredFrom_.known)
            km = GreatCircleKm(measuredFrom_.latitude, measuredFrom_.longitude, point.latitude, point.longitude);
        place_ = measuredFrom_ = {true, point.latitude, point.longitude};
    }
    double fall = 0;
    bool measured = false;
    if (point.fuelPercent) {
        readings_.push_back(*point.fuelPercent);
        if (readings_.size() > 3) readings_.erase(readings_.begin());
        if (readings_.size() == 3) {
            int sorted[3] = {readings_[0], readings_[1], readings_[2]};
            std::sort(sorted, sorted + 3);
            const double level = sorted[1];
            if (level_) fall = *level_ - level, measured = true;
            level_ = level;
        }
    }
    if (last_) {
        step.emplace();
        step->from = std::move(*last_);
        step->to = point;
        step->fromPlace = before;
        step->toPlace = place_;
        step->gap = gap;
        step->km = km;
        step->fuelFall = fall;
        step->fuelMeasured = measured;
    }
    last_ = point;
    return step;
}

}  // namespace serwer
