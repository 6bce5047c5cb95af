#include "vehicles/DisplayTable.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "common/Win1250.hpp"
#include "vehicles/TableLock.hpp"
#include "vehicles/VehicleFile.hpp"

namespace serwer {

namespace {

template <typename T>
int CompareOptional(const std::optional<T>& a, const std::optional<T>& b) {
    if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
    if (*a < *b) return -1;
    return *b < *a ? 1 : 0;
}

int CompareNumbers(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    auto number = [](const std::optional<std::string>& t) { return t ? NumberInText(*t) : std::nullopt; };
    return CompareOptional(number(a), number(b));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The row's text member a text column shows; GRUPA, calculated, has none.
std::optional<std::string> VehicleRow::*TextMember(DisplayColumn column) {
    switch (column) {
        case DisplayColumn::NAZWA:
            return &VehicleRow::NAZWA;
        case DisplayColumn::DLUGOSC:
            return &VehicleRow::DLUGOSC;
        case DisplayColumn::SZEROKOSC:
            return &VehicleRow::SZEROKOSC;
        case DisplayColumn::GPS:
            return &VehicleRow::GPS;
        case DisplayColumn::LICENCJA:
            return &VehicleRow::LICENCJA;
        case DisplayColumn::KIEROWCA:
            return &VehicleRow::KIEROWCA;
        case DisplayColumn::SILNIK:
            return &VehicleRow::SILNIK;
        default:
            return nullptr;
    }
}

}  // namespace

std::optional<DateTime> FixTimeOf(const VehicleRow& row) {
    static constexpr char kPattern[] = "dddd.dd.dd-dd:dd";
    if (!row.OPIS || row.OPIS->size() != sizeof kPattern - 1) return std::nullopt;
    const std::string& t = *row.OPIS;
    for (std::size_t i = 0; i < t.size(); ++i)
        if (kPattern[i] == 'd' ? !IsDigit(t[i]) : t[i] != kPattern[i]) return std::nullopt;
    auto number = [&t](std::size_t at, std::size_t length) {
        int n = 0;
        for (std::size_t i = at; i < at + length; ++i) n = n * 10 + (t[i] - '0');
        return n;
    };
    return DateTime::Make(number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2));
}

std::optional<double> NumberInText(const std::string& text) {
    const auto first = std::find_if(text.begin(), text.end(), IsDigit);
    if (first == text.end()) return std::nullopt;
    double value = 0;
    auto p = first;
    for (; p != text.end() && IsDigit(*p); ++p) value = value * 10 + (*p - '0');
    if (p != text.end() && (*p == '.' || *p == ',') && p + 1 != text.end() && IsDigit(p[1])) {
        double scale = 1;
        for (++p; p != text.end() && IsDigit(*p); ++p) value += (*p - '0') * (scale /= 10);
    }
    return value;
}

std::string AgeText(std::int64_t ms) {
    const std::int64_t minutes = std::max<std::int64_t>(ms, 0) / DateTime::kMsPerMinute;
    if (minutes < 60) return std::to_string(minutes) + " min";
    if (minutes < 24 * 60) return std::to_string(minutes / 60) + " godz.";
    const std::int64_t days = minutes / (24 * 60);
    static const std::string kDay = Cp1250(" dzień");
    return std::to_string(days) + (days == 1 ? kDay : " dni");
}

bool IsTextColumn(DisplayColumn column) { return column == DisplayColumn::GRUPA || TextMember(column); }

DisplayColumn DisplayColumnAt(int index) {
    if (index < 0 || index >= kDisplayColumnCount) throw std::out_of_range("display column");
    return static_cast<DisplayColumn>(index);
}

const std::string& DisplayColumnTitle(DisplayColumn column) {
    static const std::array<std::string, kDisplayColumnCount> kTitles = {
        Cp1250("Nazwa"),
        Cp1250("Data-godzina"),
        Cp1250("Długość geograficzna Longitude"),
        Cp1250("Szerokość geograficzna Latitude"),
        Cp1250("Grupa Kategoria Infomation"),
        Cp1250("GPS"),
        Cp1250("Licencja"),
        Cp1250("Kierowca"),
        Cp1250("Prędkość"),
        Cp1250("Silnik"),
        Cp1250("Paliwo"),
        Cp1250("Odczyt"),
        Cp1250("Licznik"),
        Cp1250("Proba odczytu"),
        Cp1250("Urz1"),
        Cp1250("Urz2"),
        Cp1250("Urz3"),
        Cp1250("Przebieg"),
    };
    return kTitles[static_cast<std::size_t>(column)];
}

std::string FormatMileage(std::int32_t value) {
    const bool negative = value < 0;
    const std::string digits = std::to_string(negative ? -static_cast<std::int64_t>(value) : value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ' ';
        grouped += digits[i];
    }
    return (negative ? "-" : "") + grouped + " km";
}

std::string DisplayText(const VehicleRow& row, DisplayColumn column) {
    auto text = [](const std::optional<std::string>& v) { return v.value_or(std::string()); };
    auto onOff = [](const std::optional<bool>& v) { return std::string(v.value_or(false) ? "On" : "Off"); };
    auto date = [](const std::optional<DateTime>& v) { return v ? FormatDateTimeText(*v) : std::string(); };
    switch (column) {
        case DisplayColumn::NAZWA:
            return text(row.NAZWA);
        case DisplayColumn::OPIS:
            return text(row.OPIS);
        case DisplayColumn::DLUGOSC:
            return text(row.DLUGOSC);
        case DisplayColumn::SZEROKOSC:
            return text(row.SZEROKOSC);
        case DisplayColumn::GRUPA:
            return row.GRUPA();
        case DisplayColumn::GPS:
            return text(row.GPS);
        case DisplayColumn::LICENCJA:
            return text(row.LICENCJA);
        case DisplayColumn::KIEROWCA:
            return text(row.KIEROWCA);
        case DisplayColumn::PREDKOSC:
            return text(row.PREDKOSC);
        case DisplayColumn::SILNIK:
            return text(row.SILNIK);
        case DisplayColumn::PALIWO:
            return text(row.PALIWO);
        case DisplayColumn::ODCZYT:
            return date(row.ODCZYT);
        case DisplayColumn::LICZNIK_ODCZYTOW:
            return row.LICZNIK_ODCZYTOW ? std::to_string(*row.LICZNIK_ODCZYTOW) : std::string();
        case DisplayColumn::PROBA_ODCZYTU:
            return date(row.PROBA_ODCZYTU);
        case DisplayColumn::URZ1:
            return onOff(row.URZ1);
        case DisplayColumn::URZ2:
            return onOff(row.URZ2);
        case DisplayColumn::URZ3:
            return onOff(row.URZ3);
        case DisplayColumn::PRZEBIEG:
            return row.PRZEBIEG ? FormatMileage(*row.PRZEBIEG) : std::string();
    }
    return {};
}

int CompareRows(const VehicleRow& a, const VehicleRow& b, DisplayColumn column) {
    switch (column) {
        case DisplayColumn::NAZWA:
            return CompareOptional(a.NAZWA, b.NAZWA);
        case DisplayColumn::OPIS:
            return CompareOptional(FixTimeOf(a), FixTimeOf(b));
        case DisplayColumn::DLUGOSC:
            return CompareOptional(a.DLUGOSC, b.DLUGOSC);
        case DisplayColumn::SZEROKOSC:
            return CompareOptional(a.SZEROKOSC, b.SZEROKOSC);
        case DisplayColumn::GRUPA:
            return a.GRUPA().compare(b.GRUPA());
        case DisplayColumn::GPS:
            return CompareOptional(a.GPS, b.GPS);
        case DisplayColumn::LICENCJA:
            return CompareOptional(a.LICENCJA, b.LICENCJA);
        case DisplayColumn::KIEROWCA:
            return CompareOptional(a.KIEROWCA, b.KIEROWCA);
        case DisplayColumn::PREDKOSC:
            return CompareNumbers(a.PREDKOSC, b.PREDKOSC);
        case DisplayColumn::SILNIK:
            return CompareOptional(a.SILNIK, b.SILNIK);
        case DisplayColumn::PALIWO:
            return CompareNumbers(a.PALIWO, b.PALIWO);
        case DisplayColumn::ODCZYT:
            return CompareOptional(a.ODCZYT, b.ODCZYT);
        case DisplayColumn::LICZNIK_ODCZYTOW:
            return CompareOptional(a.LICZNIK_ODCZYTOW, b.LICZNIK_ODCZYTOW);
        case DisplayColumn::PROBA_ODCZYTU:
            return CompareOptional(a.PROBA_ODCZYTU, b.PROBA_ODCZYTU);
        case DisplayColumn::URZ1:
            return CompareOptional(a.URZ1, b.URZ1);
        case DisplayColumn::URZ2:
            return CompareOptional(a.URZ2, b.URZ2);
        case DisplayColumn::URZ3:
            return CompareOptional(a.URZ3, b.URZ3);
        case DisplayColumn::PRZEBIEG:
            return CompareOptional(a.PRZEBIEG, b.PRZEBIEG);
    }
    return 0;
}

void DisplayTable::ReloadDisplayTable(const std::string& dataDirectory) {
    open_ = true;
    rows_.clear();
    try {
        rows_ = ReadVehicleFile(VehicleFilePath(dataDirectory)).rows;
    } catch (const std::exception&) {
        // Missing or unreadable: the grid shows no rows until the next reload.
    }
    ApplySort();
}

void DisplayTable::ReloadFromContent(const Bytes& content) {
    open_ = true;
    rows_ = ParseVehicleFile(content).rows;
    ApplySort();
}

void DisplayTable::SortBy(DisplayColumn column, bool descending) {
    sort_ = DisplaySort{column, descending};
    ApplySort();
}

void DisplayTable::SetTextRanking(TextRanking ranking) {
    textRanking_ = std::move(ranking);
    ApplySort();
}

void DisplayTable::ApplySort() {
    if (!sort_) return;
    const DisplaySort s = *sort_;
    if (textRanking_ && IsTextColumn(s.column)) {
        ApplyRankedSort(s);
        return;
    }
    std::stable_sort(rows_.begin(), rows_.end(), [s](const VehicleRow& a, const VehicleRow& b) {
        const int c = CompareRows(a, b, s.column);
        return s.descending ? c > 0 : c < 0;
    });
}

void DisplayTable::ApplyRankedSort(DisplaySort s) {
    std::vector<std::string> texts;
    texts.reserve(rows_.size());
    for (const VehicleRow& row : rows_) texts.push_back(DisplayText(row, s.column));
    const std::vector<std::size_t> ranks = textRanking_(texts);
    // Null before every text, as CompareRows has it.
    const auto member = TextMember(s.column);
    std::vector<std::size_t> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) keys[i] = member && !(rows_[i].*member) ? 0 : ranks.at(i) + 1;
    std::vector<std::size_t> order(rows_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return s.descending ? keys[a] > keys[b] : keys[a] < keys[b];
    });
    std::vector<VehicleRow> sorted;
    sorted.reserve(rows_.size());
    for (std::size_t i : order) sorted.push_back(std::move(rows_[i]));
    rows_ = std::move(sorted);
}

}  // namespace serwer
