#include "vehicles/VehicleFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "common/DurableFile.hpp"
#include "common/QuotedField.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "vehicles/VehicleTable.hpp"

namespace serwer {

namespace {

// ---------------------------------------------------------------------------
// Columns of the file, in file order

using TextMember = std::optional<std::string> VehicleRow::*;
using IntegerMember = std::optional<std::int32_t> VehicleRow::*;
using DateTimeMember = std::optional<DateTime> VehicleRow::*;
using BooleanMember = std::optional<bool> VehicleRow::*;
// std::monostate stands for the calculated GRUPA, which is written but never read.
using Member = std::variant<std::monostate, TextMember, IntegerMember, DateTimeMember, BooleanMember>;

struct Column {
    std::string header;  // Windows-1250
    Member member;
};

const std::vector<Column>& Columns() {
    static const std::vector<Column> kColumns = {
        {Cp1250("Nazwa"), &VehicleRow::NAZWA},
        {Cp1250("Grupa Kategoria Infomation"), std::monostate{}},
        {Cp1250("Data-godzina"), &VehicleRow::OPIS},
        {Cp1250("Kierowca"), &VehicleRow::KIEROWCA},
        {Cp1250("Prędkość"), &VehicleRow::PREDKOSC},
        {Cp1250("GPS"), &VehicleRow::GPS},
        {Cp1250("Silnik"), &VehicleRow::SILNIK},
        {Cp1250("Punkty"), &VehicleRow::PUNKTY},
        {Cp1250("Vgraniczna"), &VehicleRow::VGRANICZNA},
        {Cp1250("Licencja"), &VehicleRow::LICENCJA},
        {Cp1250("Paliwo"), &VehicleRow::PALIWO},
        {Cp1250("Licznik"), &VehicleRow::LICZNIK_ODCZYTOW},
        {Cp1250("Szerokość geograficzna Latitude"), &VehicleRow::SZEROKOSC},
        {Cp1250("Długość geograficzna Longitude"), &VehicleRow::DLUGOSC},
        {Cp1250("Odczyt"), &VehicleRow::ODCZYT},
        {Cp1250("PROBA_ODCZYTU"), &VehicleRow::PROBA_ODCZYTU},
        {Cp1250("URZ1"), &VehicleRow::URZ1},
        {Cp1250("URZ2"), &VehicleRow::URZ2},
        {Cp1250("URZ3"), &VehicleRow::URZ3},
        {Cp1250("Przebieg"), &VehicleRow::PRZEBIEG},
    };
    return kColumns;
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;  // clang before 17 deduces no aggregate's arguments

const char* const kDuplicateKey = "Duplicate index value. Operation aborted.";

// ---------------------------------------------------------------------------
// Writing

// A stored text never breaks a line: CR, LF and NUL are written as escapes.
std::string EscapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%%";
                break;
            case '\r':
                out += "%c";
                break;
            case '\n':
                out += "%n";
                break;
            case '\0':
                out += "%0";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The file's own fixed form, independent of the display formats:
// "dd/mm/yyyy", plus " hh:mm:ss" unless the time of day is 00:00:00.
std::string FormatFileDateTime(DateTime t) {
    const DateTime::Parts p = t.Split();
    char buffer[48];
    int n = std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", p.day, p.month, p.year);
    if (p.hour != 0 || p.minute != 0 || p.second != 0)
        n += std::snprintf(buffer + n, sizeof buffer - n, " %02d:%02d:%02d", p.hour, p.minute, p.second);
    return std::string(buffer, static_cast<std::size_t>(n));
}

// The text form of one field, or nothing for null.
std::optional<std::string> FieldText(const VehicleRow& row, const Column& column) {
    using Result = std::optional<std::string>;
    return std::visit(Overloaded{
                          [&](std::monostate) -> Result { return EscapeText(row.GRUPA()); },
                          [&](TextMember m) -> Result {
                              if (!(row.*m)) return std::nullopt;
                              return EscapeText(*(row.*m));
                          },
                          [&](IntegerMember m) -> Result {
                              if (!(row.*m)) return std::nullopt;
                              return std::to_string(*(row.*m));
                          },
                          [&](DateTimeMember m) -> Result {
                              if (!(row.*m)) return std::nullopt;
                              return FormatFileDateTime(*(row.*m));
                          },
                          [&](BooleanMember m) -> Result {
                              if (!(row.*m)) return std::nullopt;
                              return std::string(*(row.*m) ? "True" : "False");
                          },
                      },
                      column.member);
}

// Non-null fields are quoted with inner quotes doubled; a null field is empty.
void AppendField(Bytes& out, const std::optional<std::string>& text) {
    if (!text) return;
    out += '"';
    for (char c : *text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// ---------------------------------------------------------------------------
// Reading

bool IsLineBreak(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// Lines end at any run of CR, LF and NUL, so empty lines vanish.
std::vector<std::string_view> SplitLines(const Bytes& content) {
    std::vector<std::string_view> lines;
    const std::string_view all(content);
    std::size_t pos = 0;
    while (pos < all.size()) {
        while (pos < all.size() && IsLineBreak(all[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < all.size() && !IsLineBreak(all[pos])) ++pos;
        if (pos > start) lines.push_back(all.substr(start, pos - start));
    }
    return lines;
}

// Reads at most `limit` fields from the line; a null field is nothing.
std::vector<std::optional<std::string>> SplitFields(std::string_view line, std::size_t limit) {
    std::vector<std::optional<std::string>> fields;
    std::size_t pos = 0;
    while (pos < line.size() && fields.size() < limit) {
        if (line[pos] == '"') {
            // Quoted: up to the next lone quote; a doubled quote is one quote. The
            // character after the closing quote is the separator and is skipped.
            fields.emplace_back(ScanQuotedField(line, pos));
            if (pos < line.size()) ++pos;
        } else if (line[pos] == ';') {
            ++pos;
            fields.emplace_back(std::nullopt);
        } else {
            const std::size_t end = std::min(line.find(';', pos), line.size());
            fields.emplace_back(std::string(line.substr(pos, end - pos)));
            pos = end < line.size() ? end + 1 : end;
        }
    }
    return fields;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// For each header field the column it fills, or nothing when its values are skipped.
std::vector<const Column*> MatchHeader(std::string_view headerLine) {
    std::vector<const Column*> targets;
    for (const auto& field : SplitFields(headerLine, SIZE_MAX)) {
        const Column* target = nullptr;
        if (field) {
            for (const Column& column : Columns()) {
                if (EqualsIgnoringAsciiCase(*field, column.header)) {
                    target = &column;
                    break;
                }
            }
        }
        // The calculated GRUPA follows PREDKOSC; a stored value is never taken.
        if (target && std::holds_alternative<std::monostate>(target->member)) target = nullptr;
        targets.push_back(target);
    }
    return targets;
}

// Undoes the writer's escapes. A "%" before any other character is no escape
// the writer makes; it is kept as it stands, with that character.
std::string UnescapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 1 == text.size()) break;  // a lone "%" at the end is dropped
        switch (text[i + 1]) {
            case '%':
                out += '%';
                break;
            case 'c':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case '0':
                out += '\0';
                break;
            default:
                out += '%';
                out += text[i + 1];
        }
        ++i;
    }
    return out;
}

std::optional<std::int32_t> ParseInteger(const std::string& text, const std::string& header) {
    if (text.empty()) return std::nullopt;
    const char* first = text.data();
    const char* const last = text.data() + text.size();
    if (*first == '+') ++first;  // from_chars takes '-' only
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    const bool signTwice = first != text.data() && first != last && *first == '-';
    if (first == last || signTwice || ec != std::errc() || end != last)
        throw ConversionError("'" + text + "' is not a valid integer value for field '" + header + "'");
    return value;
}

// Reads 1 to maxDigits decimal digits.
bool ReadNumber(std::string_view s, std::size_t& pos, std::size_t minDigits, std::size_t maxDigits, int& value) {
    std::size_t count = 0;
    value = 0;
    while (pos < s.size() && count < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++count;
    }
    return count >= minDigits && (pos == s.size() || s[pos] < '0' || s[pos] > '9');
}

bool ReadChar(std::string_view s, std::size_t& pos, char c) {
    if (pos < s.size() && s[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

// An "AM" or "PM" marker, any letter case, as a 12-hour workstation wrote it.
bool ReadDayHalfMarker(std::string_view s, std::size_t& pos, bool& afternoon) {
    if (pos + 2 > s.size()) return false;
    const std::string_view marker = s.substr(pos, 2);
    if (EqualsIgnoringAsciiCase(marker, "AM"))
        afternoon = false;
    else if (EqualsIgnoringAsciiCase(marker, "PM"))
        afternoon = true;
    else
        return false;
    pos += 2;
    return true;
}

// "d/m/yyyy" with an optional " h:mm" or " h:mm:ss" (one or two digits for every
// part but the year). Files written with a 12-hour clock carry "AM"/"PM" after the time.
std::optional<DateTime> ParseFileDateTime(std::string_view s) {
    std::size_t pos = 0;
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (!ReadNumber(s, pos, 1, 2, day) || !ReadChar(s, pos, '/') || !ReadNumber(s, pos, 1, 2, month) ||
        !ReadChar(s, pos, '/') || !ReadNumber(s, pos, 4, 4, year))
        return std::nullopt;
    if (pos < s.size()) {
        if (!ReadChar(s, pos, ' ') || !ReadNumber(s, pos, 1, 2, hour) || !ReadChar(s, pos, ':') ||
            !ReadNumber(s, pos, 1, 2, minute))
            return std::nullopt;
        if (ReadChar(s, pos, ':') && !ReadNumber(s, pos, 1, 2, second)) return std::nullopt;
        const std::size_t beforeMarker = pos;
        ReadChar(s, pos, ' ');
        bool afternoon = false;
        if (ReadDayHalfMarker(s, pos, afternoon)) {
            if (hour < 1 || hour > 12) return std::nullopt;
            hour = hour % 12 + (afternoon ? 12 : 0);
        } else {
            pos = beforeMarker;
        }
        if (pos != s.size()) return std::nullopt;
    }
    return DateTime::Make(year, month, day, hour, minute, second);
}

std::optional<DateTime> ParseDateTimeField(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const auto value = ParseFileDateTime(text);
    if (!value) throw ConversionError("'" + text + "' is not a valid date and time");
    return value;
}

// Stores one field into its column. A null field makes the column null.
void StoreField(VehicleRow& row, const Column& column, const std::optional<std::string>& field) {
    std::visit(Overloaded{
                   [](std::monostate) {},
                   [&](TextMember m) {
                       if (field)
                           row.*m = UnescapeText(*field);
                       else
                           (row.*m).reset();
                   },
                   [&](IntegerMember m) {
                       if (field)
                           row.*m = ParseInteger(*field, column.header);
                       else
                           (row.*m).reset();
                   },
                   [&](DateTimeMember m) {
                       if (field)
                           row.*m = ParseDateTimeField(*field);
                       else
                           (row.*m).reset();
                   },
                   [&](BooleanMember m) {
                       if (field)
                           row.*m = *field == "True";
                       else
                           (row.*m).reset();
                   },
               },
               column.member);
}

// ---------------------------------------------------------------------------
// File access

}  // namespace

namespace {

Bytes HeaderLine() {
    const std::vector<Column>& columns = Columns();
    Bytes out;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) out += ';';
        AppendField(out, columns[i].header);
    }
    out += "\r\n";
    return out;
}

void AppendRowLine(Bytes& out, const VehicleRow& row) {
    const std::vector<Column>& columns = Columns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) out += ';';
        AppendField(out, FieldText(row, columns[i]));
    }
    out += "\r\n";
}

}  // namespace

Bytes FormatVehicleFile(const std::vector<VehicleRow>& rows) {
    Bytes out = HeaderLine();
    for (const VehicleRow& row : rows) AppendRowLine(out, row);
    return out;
}

Bytes VehicleFileFormatter::Format(const VehicleTable& table) {
    static const Bytes kHeader = HeaderLine();
    lines_.resize(table.Size());
    std::size_t size = kHeader.size();
    for (std::size_t i = 0; i < table.Size(); ++i) {
        Line& line = lines_[i];
        if (line.change != table.RowChange(i)) {
            line.text.clear();
            AppendRowLine(line.text, table.Row(i));
            line.change = table.RowChange(i);
        }
        size += line.text.size();
    }
    Bytes out;
    out.reserve(size);
    out += kHeader;
    for (std::size_t i = 0; i < table.Size(); ++i) out += lines_[i].text;
    return out;
}

VehicleFileContent ParseVehicleFile(const Bytes& content) {
    VehicleFileContent result;
    const std::vector<std::string_view> lines = SplitLines(content);
    if (lines.empty()) return result;
    const std::vector<const Column*> targets = MatchHeader(lines[0]);
    for (std::size_t n = 1; n < lines.size(); ++n) {
        VehicleRow row;
        try {
            const auto fields = SplitFields(lines[n], targets.size());
            for (std::size_t i = 0; i < fields.size(); ++i)
                if (targets[i]) StoreField(row, *targets[i], fields[i]);
        } catch (const ConversionError& e) {
            // The line is left out; the vehicles on the other lines still load.
            if (!result.error) result.error = e.what();
            continue;
        }
        row.CutToWidths();
        result.rows.push_back(std::move(row));
    }
    return result;
}

void SaveVehicleFile(const VehicleTable& table, const std::string& path) {
    // A reader never sees a partly written file and a failed save never damages
    // the previous one: the new content is complete on disk before it replaces it.
    // A failed directory flush is no failure: the file is already in place.
    const Bytes content = FormatVehicleFile(table.Rows());
    if (!WriteDurableFile(path, content, Placement::Replace).placed) throw ServerError("Cannot create file " + path);
}

VehicleFileContent ReadVehicleFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ServerError("Cannot open file " + path);
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
    Bytes content;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) throw ServerError("Cannot open file " + path);
    return ParseVehicleFile(content);
}

void LoadVehicleFile(VehicleTable& table, const std::string& path) {
    VehicleFileContent content = ReadVehicleFile(path);
    const bool unique = table.AppendLoaded(std::move(content.rows));
    if (content.error) throw ConversionError(*content.error);
    if (!unique) throw ServerError(kDuplicateKey);
}

}  // namespace serwer
