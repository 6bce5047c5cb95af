#include "history/TrackExport.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "common/DateTime.hpp"
#include "common/JsonText.hpp"
#include "common/PolishTime.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

using Track = std::vector<const HistoryRecord*>;

// The rows per vehicle, vehicles in the order they first appear.
std::vector<std::pair<std::string, Track>> Tracks(const std::vector<HistoryRecord>& rows) {
    std::vector<std::pair<std::string, Track>> tracks;
    std::map<std::string, std::size_t> index;
    for (const HistoryRecord& row : rows) {
        const auto [it, added] = index.try_emplace(row.registration, tracks.size());
        if (added) tracks.push_back({row.registration, {}});
        tracks[it->second].second.push_back(&row);
    }
    return tracks;
}

// Always with '.', whatever the locale. The buffer holds any double.
std::string Fixed(double value, int decimals) {
    char buf[400];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, result.ptr);
}

std::string Coordinate(double degrees) { return Fixed(degrees, 7); }

// GPX takes longitudes from -180 up to, but not including, 180: the antimeridian is -180.
std::string GpxLongitude(double degrees) {
    const std::string text = Coordinate(degrees);
    return text == "180.0000000" ? "-180.0000000" : text;
}

DateTime FromUtcSeconds(std::int64_t utc) { return DateTime::FromMs(utc * DateTime::kMsPerSecond); }

std::string IsoDateTime(DateTime t) {
    const DateTime::Parts p = t.Split();
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
    return buf;
}

// "2026-12-08T13:45:00Z"
std::string UtcText(std::int64_t utc) { return IsoDateTime(FromUtcSeconds(utc)) + "Z"; }

// Polish time for a name shown to people: "2026-12-08 14:45".
std::string LocalLabel(std::int64_t utc) {
    std::string text = IsoDateTime(PolishWallTime(utc)).substr(0, 16);
    text[10] = ' ';
    return text;
}

// Windows-1250 text as UTF-8 character data or attribute value. XML 1.0 cannot hold the
// control characters other than tab, line feed and carriage return, not even as
// references: they become U+FFFD.
std::string Xml(const std::string& cp1250) {
    std::string out;
    for (char c : Cp1250ToUtf8(cp1250)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += "\xEF\xBF\xBD";
                else
                    out += c;
        }
    }
    return out;
}

// GDAL's readers end a text at a 0x00 byte without a word, so the exports have none: a
// driver identifier is three bytes from the unit and may hold anything.
std::string TextWithoutNul(std::string text) {
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

// Windows-1250 text as a JSON string, quotes included; a 0x00 byte becomes a blank.
std::string Json(const std::string& cp1250) {
    std::string out;
    AppendJsonString(out, Cp1250ToUtf8(TextWithoutNul(cp1250)));
    return out;
}

std::string Csv(const std::string& cp1250) { return CsvField(cp1250); }

}  // namespace

std::string CsvField(const std::string& cp1250) {
    std::string utf8 = Cp1250ToUtf8(cp1250);
    bool quote = false;
    for (char& c : utf8) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7F') c = ' ';
        quote = quote || c == ',' || c == '"';
    }
    if (!quote) return utf8;
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

std::string Gpx(const std::vector<HistoryRecord>& rows) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<gpx version=\"1.1\" creator=\"serwer\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
    for (const auto& [registration, track] : Tracks(rows)) {
        std::string points;
        for (const HistoryRecord* row : track) {
            if (!row->HasCoordinates()) continue;
            points += "      <trkpt lat=\"" + Coordinate(*row->latitude) + "\" lon=\"" + GpxLongitude(*row->longitude) +
                      "\">";
            if (row->fixTimeUtc) points += "<time>" + UtcText(*row->fixTimeUtc) + "</time>";
            points += "</trkpt>\n";
        }
        if (points.empty()) continue;
        out += "  <trk>\n    <name>" + Xml(registration) + "</name>\n    <trkseg>\n" + points +
               "    </trkseg>\n  </trk>\n";
    }
    return out + "</gpx>\n";
}

std::string Kml(const std::vector<HistoryRecord>& rows) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n"
        "<Document>\n"
        "  <name>serwer</name>\n";
    for (const auto& [registration, track] : Tracks(rows)) {
        std::string line, points;
        int count = 0;
        for (const HistoryRecord* row : track) {
            if (!row->HasCoordinates()) continue;
            const std::string coordinates = Coordinate(*row->longitude) + "," + Coordinate(*row->latitude);
            line += (count++ ? " " : "") + coordinates;
            points += "    <Placemark>\n";
            if (row->fixTimeUtc) points += "      <name>" + LocalLabel(*row->fixTimeUtc) + "</name>\n";
            points += "      <description>";
            if (row->speedKmh) points += Fixed(*row->speedKmh, 2) + " km/h, ";
            points += "GPS " + Xml(row->gps) + "</description>\n";
            if (row->fixTimeUtc)
                points += "      <TimeStamp><when>" + UtcText(*row->fixTimeUtc) + "</when></TimeStamp>\n";
            points += "      <Point><coordinates>" + coordinates + "</coordinates></Point>\n    </Placemark>\n";
        }
        if (count == 0) continue;
        out += "  <Folder>\n    <name>" + Xml(registration) + "</name>\n";
        // A line needs two points at least.
        if (count > 1)
            out += "    <Placemark>\n      <name>" + Xml(registration) +
                   "</name>\n      <LineString><tessellate>1</tessellate><coordinates>" + line +
                   "</coordinates></LineString>\n    </Placemark>\n";
        out += points + "  </Folder>\n";
    }
    return out + "</Document>\n</kml>\n";
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string GeoJson(const std::vector<HistoryRecord>& rows) {
    std::string out = "{\"type\": \"FeatureCollection\", \"features\": [";
    bool firstFeature = true;
    for (const HistoryRecord& row : rows) {
        out += firstFeature ? "\n" : ",\n";
        firstFeature = false;
        out += "{\"type\": \"Feature\", \"geometry\": ";
        if (row.HasCoordinates())
            out += "{\"type\": \"Point\", \"coordinates\": [" + Coordinate(*row.longitude) + ", " +
                   Coordinate(*row.latitude) + "]}";
        else
            out += "null";
        out += ", \"properties\": {\"pojazd\": " + Json(row.registration) + ", \"licencja\": " + Json(row.ownerCode) +
               ", \"czas\": " + (row.fixTimeUtc ? "\"" + PolishIsoTime(*row.fixTimeUtc) + "\"" : "null") +
               ", \"odebrano\": \"" + PolishIsoTime(row.receivedUtc) + "\"" +
               ", \"predkosc\": " + (row.speedKmh && std::isfinite(*row.speedKmh) ? Fixed(*row.speedKmh, 2) : "null") +
               ", \"paliwo\": " + Json(row.fuel) + ", \"silnik\": " + JsonBool(row.engineOn) +
               ", \"gps\": " + Json(row.gps) + ", \"kierowca\": " + Json(row.driver) +
               ", \"we1\": " + JsonBool(row.input1) + ", \"we2\": " + JsonBool(row.input2) +
               ", \"we3\": " + JsonBool(row.input3) +
               ", \"przebieg\": " + (row.odometerKm ? std::to_string(*row.odometerKm) : "null") +
               ", \"nowa_forma\": " + JsonBool(row.newForm) + "}}";
    }
    return out + "\n]}\n";
}

std::string CsvTable(const std::vector<HistoryRecord>& rows) {
    std::string out =
        "pojazd,licencja,czas,odebrano,szerokosc,dlugosc,predkosc_kmh,paliwo,silnik,gps,kierowca,we1,we2,we3,"
        "przebieg_km,nowa_forma\r\n";
    const auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
    for (const HistoryRecord& row : rows) {
        const bool located = row.HasCoordinates();
        out += Csv(row.registration) + "," + Csv(row.ownerCode) + "," +
               (row.fixTimeUtc ? PolishIsoTime(*row.fixTimeUtc) : "") + "," + PolishIsoTime(row.receivedUtc) + "," +
               (located ? Coordinate(*row.latitude) : "") + "," + (located ? Coordinate(*row.longitude) : "") + "," +
               (row.speedKmh && std::isfinite(*row.speedKmh) ? Fixed(*row.speedKmh, 2) : "") + "," + Csv(row.fuel) +
               "," + flag(row.engineOn) + "," + Csv(row.gps) + "," + Csv(row.driver) + "," + flag(row.input1) + "," +
               flag(row.input2) + "," + flag(row.input3) + "," +
               (row.odometerKm ? std::to_string(*row.odometerKm) : "") + "," + flag(row.newForm) + "\r\n";
    }
    return out;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::optional<ExportFormat> ParseExportFormat(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) c = LowerAscii(c);
    if (lower == "gpx") return ExportFormat::Gpx;
    if (lower == "kml") return ExportFormat::Kml;
    if (lower == "geojson") return ExportFormat::GeoJson;
    if (lower == "csv") return ExportFormat::Csv;
    return std::nullopt;
}

std::string ExportFileExtension(ExportFormat format) {
    switch (format) {
        case ExportFormat::Gpx:
            return "gpx";
        case ExportFormat::Kml:
            return "kml";
        case ExportFormat::GeoJson:
            return "geojson";
        case ExportFormat::Csv:
            return "csv";
    }
    return "";
}

std::string ExportTrack(const std::vector<HistoryRecord>& rows, ExportFormat format) {
    switch (format) {
        case ExportFormat::Gpx:
            return Gpx(rows);
        case ExportFormat::Kml:
            return Kml(rows);
        case ExportFormat::GeoJson:
            return GeoJson(rows);
        case ExportFormat::Csv:
            return CsvTable(rows);
    }
    return "";
}

std::string ExportEvents(const std::vector<Event>& events, EventFormat format, bool truncated) {
    const auto number = [](const std::optional<double>& v, int decimals, const char* none) {
        return v && std::isfinite(*v) ? Fixed(*v, decimals) : std::string(none);
    };
    std::string out;
    if (format == EventFormat::Csv) {
        out = "id,typ,pojazd,od,do,szerokosc,dlugosc,strefa,wartosc,limit,opis\r\n";
        for (const Event& e : events)
            out += std::to_string(e.id) + "," + std::string(EventTypeName(e.type)) + "," + Csv(e.registration) + "," +
                   PolishIsoTime(e.startUtc) + "," + (e.endUtc ? PolishIsoTime(*e.endUtc) : "") + "," +
                   number(e.latitude, 7, "") + "," + number(e.longitude, 7, "") + "," + Csv(e.zone) + "," +
                   number(e.value, 2, "") + "," + number(e.limit, 0, "") + "," + Csv(e.text) + "\r\n";
        return out;
    }
    out = "{\"zdarzenia\": [";
    bool first = true;
    for (const Event& e : events) {
        out += first ? "\n" : ",\n";
        first = false;
        out += EventJson(e);
    }
    return out + (truncated ? "\n], \"obciete\": true}\n" : "\n]}\n");
}

std::string EventJson(const Event& e, std::string_view moreFields) {
    const auto number = [](const std::optional<double>& v, int decimals) {
        return v && std::isfinite(*v) ? Fixed(*v, decimals) : std::string("null");
    };
    return "{\"id\": " + std::to_string(e.id) + ", \"typ\": \"" + std::string(EventTypeName(e.type)) +
           "\", \"pojazd\": " + Json(e.registration) + ", \"od\": \"" + PolishIsoTime(e.startUtc) +
           "\", \"do\": " + (e.endUtc ? "\"" + PolishIsoTime(*e.endUtc) + "\"" : "null") +
           ", \"szerokosc\": " + number(e.latitude, 7) + ", \"dlugosc\": " + number(e.longitude, 7) +
           ", \"strefa\": " + (e.zone.empty() ? "null" : Json(e.zone)) + ", \"wartosc\": " + number(e.value, 2) +
           ", \"limit\": " + number(e.limit, 0) + ", \"opis\": " + Json(e.text) + std::string(moreFields) + "}";
}

std::string JsonString(const std::string& cp1250) { return Json(cp1250); }

}  // namespace serwer
