#pragma once
#include <optional>
#include <string>
#include <vector>

#include "events/EventSettings.hpp"
#include "events/Zones.hpp"
#include "reports/ReportSettings.hpp"
#include "notifications/NotificationRule.hpp"
#include "web/WebSettings.hpp"

namespace serwer {

// serwer.ini, section Ustawienia, and the first command-line argument.
// Values are Windows-1250 bytes, like every text of the core.

// A profile file read with the rules of the usual profile-file functions: section and
// key names match without regard to case; a text value is cut to 2047 characters; an
// integer is decimal with an optional sign or hexadecimal "0x"/"0X"; a value that is
// not a number gives the default; a missing file gives every default.
class IniFile {
public:
    static IniFile Load(const std::string& path);  // a missing file gives an empty one
    static IniFile Parse(const std::string& content);

    std::optional<std::string> Text(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    long ReadInteger(const std::string& section, const std::string& key, long def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    // The names of the sections that hold at least one key, in the order they first appear.
    std::vector<std::string> Sections() const;

private:
    struct Entry {
        std::string section, key, value;
    };
    std::vector<Entry> entries_;
};

// The allow-list of registrations from the key Pojazdy: upper-cased (ASCII letters)
// and split into items; quoted items may hold blanks and commas.
std::vector<std::string> ParseAllowList(const std::string& pojazdy);

struct Settings {
    std::vector<std::string> allowList;  // empty admits every registration
    std::vector<std::string> ownerCodeAllowList;  // Licencje: upper-case owner codes, empty admits every one
    int newVehiclesPerHour = 1000;                // NowePojazdyNaGodzine
    std::size_t readMemoryBudget = std::size_t{256} << 20;  // PamiecOdczytowMB
    std::uint64_t diskReserve = std::uint64_t{1} << 30;     // RezerwaDyskuMB
    bool serviceMode = false;            // first argument exactly "sv"
    bool autoStart = false;              // first argument "start", else parametr = "start"
    bool erase = true;                   // Kasowac in ServiceMode; always on otherwise
    bool readsEnabled = false;           // Odpytywac
    int readHourIndex = 0;               // Godzina clamped to -1..23 (see ReadHourOfIndex)
    std::string port = "4500";           // Port, as typed
    std::string dataDirectory = ".";     // Katalog, relative to the working directory
    int historyDays = 365;               // HistoriaDni: days of position history kept, 0 all
    std::string database;                // [Historia] Baza: a PostgreSQL URI; empty: SQLite files here
    std::string serverName;              // [Historia] Serwer: this server among those sharing Baza (host:port)
    int tableSaveIntervalMs = 1000;      // ZapisTabeliMs: least time between saves of Aktualne.txt
    int tableEarlySaveChanges = 500;     // ZapisTabeliPozycje: positions waiting that start a save sooner
    WebSettings www;                     // section [Www]: the HTTP service
    EventSettings events;                // section [Zdarzenia] and the sections [Pojazd NAZWA]
    NotificationSettings notifications;  // sections [Powiadomienie NAZWA], [Poczta] and [Powiadomienia]
    ReportSettings reports;              // section [Raporty]: how trips and stops are told apart
};

// The zones of the data directory's strefy.geojson, for the reports' places; none
// without the file. A file that cannot be used gives none too, with its reason
// (Windows-1250) in *failure.
ZoneSet ReadZoneFile(const std::string& dataDirectory, std::string* failure);

// The reports' settings: [Raporty]. TrasaMinKm takes a point or a comma.
ReportSettings ReadReportSettings(const IniFile& ini);

// The notifications' settings: every section "[Powiadomienie NAZWA]", [Poczta] and
// [Powiadomienia]; the map's address comes from [Www].
NotificationSettings ReadNotificationSettings(const IniFile& ini, const WebSettings& www);

// The events' settings: [Zdarzenia] and every section "[Pojazd NAZWA]".
EventSettings ReadEventSettings(const IniFile& ini);

// Reads the settings from the file's values and the first argument (empty when none).
Settings ReadSettings(const IniFile& ini, const std::string& firstArgument);

// Makes sure the data directory exists, creating one level. Fails with ServerError
// "Nie można było utworzyc katalogu dla danych : <dir> dalsza praca niemożliwa !"
// (Windows-1250).
void EnsureDataDirectory(const std::string& dir);

// The directory of the running program; serwer.ini lives there.
std::string ExecutableDirectory();

// Content with one profile value set, the way the profile-file functions write it: the
// first line of the key in the section (names without regard to case) gets the new
// value; a missing key is added at the end of its section, a missing section at the end
// of the content. Every other line is kept as it was, line ends included.
std::string SetProfileValue(const std::string& content, const std::string& section, const std::string& key,
                            const std::string& value);

// The operator-editable settings, as the window holds them when it closes.
struct SettingsAtClose {
    bool readsEnabled = false;  // Odpytywac
    bool erase = true;          // Kasowac
    int readHourIndex = 0;      // Godzina
    std::string port;           // Port, as typed
};

// Writes Odpytywac, Kasowac, Godzina and Port, in this order, into the file (created
// when missing); the rest of the file stays. The file is replaced through a temporary
// file, so a failed write leaves the old one. Fails with ServerError
// "Unable to write to <path>".
void WriteSettingsAtClose(const std::string& path, const SettingsAtClose& settings);

}  // namespace serwer
