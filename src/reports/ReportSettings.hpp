#pragma once
#include <optional>
#include <string_view>

namespace serwer {

// How trips and stops are told apart: [Raporty] of serwer.ini.
struct ReportSettings {
    int stopMinutes = 5;     // PostojMin: standing (under 5 km/h) this long is a stop
    int gapMinutes = 60;     // PrzerwaMin: no position for this long is a stop too
    double tripMinKm = 0.5;  // TrasaMinKm: shorter ways between two stops are part of the stop
    bool ignition = false;   // Zaplon: a trip runs from the engine's start to its stop
};

// The four reports.
enum class ReportKind { Trasy, Postoje, Podsumowanie, Kierowcy };

// "trasy", "postoje", "podsumowanie", "kierowcy".
std::string_view ReportKindName(ReportKind kind);
std::optional<ReportKind> ReportKindFromName(std::string_view name);

}  // namespace serwer
