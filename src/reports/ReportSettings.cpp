#include "reports/ReportSettings.hpp"

#include <array>

#include "common/Win1250.hpp"
#include "reports/ReportTable.hpp"

namespace serwer {

namespace {

constexpr std::array<std::string_view, 4> kNames = {"trasy", "postoje", "podsumowanie", "kierowcy"};

}  // namespace

std::string_view ReportKindName(ReportKind kind) { return kNames[static_cast<std::size_t>(kind)]; }

std::optional<ReportKind> ReportKindFromName(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (kNames[i] == name) return static_cast<ReportKind>(i);
    return std::nullopt;
}

std::string ReportTitle(ReportKind kind) {
    switch (kind) {
        case ReportKind::Trasy:
            return "Trasy";
        case ReportKind::Postoje:
            return "Postoje";
        case ReportKind::Podsumowanie:
            return "Podsumowanie floty";
        case ReportKind::Kierowcy:
            return "Kierowcy";
    }
    return {};
}

}  // namespace serwer
