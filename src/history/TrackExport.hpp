#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "events/Event.hpp"
#include "history/HistoryRecord.hpp"

namespace serwer {

enum class ExportFormat { Gpx, Kml, GeoJson, Csv };

// "gpx", "kml", "geojson" or "csv" (any letter case); nothing for another name.
std::optional<ExportFormat> ParseExportFormat(std::string_view name);
// "gpx", "kml", "geojson", "csv": the file name ending, without the dot.
std::string ExportFileExtension(ExportFormat format);

// The rows (ordered by registration and time) as a UTF-8 document of the format: GPX 1.1,
// KML 2.2, GeoJSON (RFC 7946) or CSV with a header row and ISO 8601 times, Polish time
// where an offset is written. Only a position with coordinates on the globe has a point
// (a longitude of 180 is -180 in GPX). A 0x00 byte of a text is a blank in GeoJSON and
// CSV, and so is any other control byte but the tab in CSV.
std::string ExportTrack(const std::vector<HistoryRecord>& rows, ExportFormat format);

// Events (ordered by start) as UTF-8: JSON {"zdarzenia":[{"id","typ","pojazd","od","do",
// "szerokosc","dlugosc","strefa","wartosc","limit","opis"}]} with Polish ISO 8601 times
// (null for what an event has not), or CSV with a header row of the same names.
enum class EventFormat { Json, Csv };
std::string ExportEvents(const std::vector<Event>& events, EventFormat format, bool truncated = false);
// One event as an object of that JSON (UTF-8); moreFields (", \"name\": value", already
// JSON) go in before its end.
std::string EventJson(const Event& event, std::string_view moreFields = {});
// A Windows-1250 text as a CSV field of UTF-8 text: a control byte (0x00..0x1F, 0x7F)
// other than the tab becomes a blank, and the field is quoted when it holds a comma or
// a quote.
std::string CsvField(const std::string& cp1250);
// A Windows-1250 text as a JSON string (UTF-8, quoted and escaped).
std::string JsonString(const std::string& cp1250);

}  // namespace serwer
