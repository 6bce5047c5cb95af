#include "app/Settings.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/DurableFile.hpp"
#include "common/QuotedField.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

const std::string kSection = "Ustawienia";
constexpr std::size_t kMaxValueLength = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

std::string TrimBlanks(const std::string& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

// A value as the profile functions hand it out: without one pair of surrounding
// quotes (single or double, the same at both ends) and cut to 2047 characters.
std::string ProfileValue(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    return value;
}

// Digits in the given base, the whole text; nothing on a bad digit or when the value
// does not fit in 32 bits unsigned.
std::optional<std::uint32_t> ParseDigits(const std::string& digits, int base) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The profile integer: decimal with an optional sign within the 32-bit range, or
// "0x"/"0X" and up to eight hex digits taken as a 32-bit pattern (0xFFFFFFFF is -1).
std::optional<long> ParseProfileInteger(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const auto bits = ParseDigits(text.substr(2), 16);
        if (!bits) return std::nullopt;
        return static_cast<long>(static_cast<std::int32_t>(*bits));
    }
    bool negative = false;
    std::size_t pos = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        pos = 1;
    }
    const auto magnitude = ParseDigits(text.substr(pos), 10);
    if (!magnitude) return std::nullopt;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(*magnitude) : *magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<long>(value);
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return IniFile{};
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Parse(content);
}

IniFile IniFile::Parse(const std::string& content) {
    IniFile ini;
    std::string section;
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = content.size();
        const std::string line = TrimBlanks(content.substr(pos, end - pos));
        pos = end + 1;

        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const std::size_t close = line.rfind(']');
            section = TrimBlanks(close == std::string::npos || close == 0 ? line.substr(1) : line.substr(1, close - 1));
            inSection = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || !inSection) continue;
        std::string key = TrimBlanks(line.substr(0, eq));
        if (key.empty()) continue;
        ini.entries_.push_back({section, std::move(key), TrimBlanks(line.substr(eq + 1))});
    }
    return ini;
}

std::optional<std::string> IniFile::Text(const std::string& section, const std::string& key) const {
    for (const Entry& e : entries_)
        if (EqualsNoCase(e.section, section) && EqualsNoCase(e.key, key)) return ProfileValue(e.value);
    return std::nullopt;
}

std::vector<std::string> IniFile::Sections() const {
    std::vector<std::string> names;
    for (const Entry& e : entries_)
        if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, e.section); }))
            names.push_back(e.section);
    return names;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    return Text(section, key).value_or(def);
}

long IniFile::ReadInteger(const std::string& section, const std::string& key, long def) const {
    const auto text = Text(section, key);
    if (!text) return def;
    return ParseProfileInteger(*text).value_or(def);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::vector<std::string> ParseAllowList(const std::string& pojazdy) {
    std::string text = pojazdy;
    std::transform(text.begin(), text.end(), text.begin(), UpperAscii);

    // Blanks are every byte from 0x01 to 0x20; a NUL ends the text.
    const auto isBlank = [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x01 && b <= 0x20;
    };
    const std::size_t n = std::min(text.find('\0'), text.size());

    std::vector<std::string> items;
    std::size_t p = 0;
    while (p < n && isBlank(text[p])) ++p;
    while (p < n) {
        std::string item;
        if (text[p] == '"') {
            item = ScanQuotedField(std::string_view(text).substr(0, n), p);
        } else {
            const std::size_t start = p;
            while (p<n&& static_cast<unsigned char>(text[p])> 0x20 && text[p] != ',') ++p;
            item = text.substr(start, p - start);
        }
        items.push_back(std::move(item));

        while (p < n && isBlank(text[p])) ++p;
        if (p < n && text[p] == ',') {
            ++p;
            while (p < n && isBlank(text[p])) ++p;
        }
    }
    return items;
}

namespace {
std::string HostName();
}  // namespace

Settings ReadSettings(const IniFile& ini, const std::string& firstArgument) {
    Settings s;
    s.allowList = ParseAllowList(ini.ReadString(kSection, "Pojazdy", ""));
    s.serviceMode = firstArgument == "sv";
    // Outside service mode erasing is always on and Kasowac is not even looked at.
    s.erase = s.serviceMode ? ini.ReadBool(kSection, "Kasowac", false) : true;
    s.autoStart = firstArgument == "start" || ini.ReadString(kSection, "parametr", "") == "start";
    s.readsEnabled = ini.ReadBool(kSection, "Odpytywac", false);
    s.readHourIndex = static_cast<int>(std::clamp(ini.ReadInteger(kSection, "Godzina", 0), -1L, 23L));
    s.historyDays = static_cast<int>(std::clamp(ini.ReadInteger(kSection, "HistoriaDni", 365), 0L, 1000000L));
    s.tableSaveIntervalMs = static_cast<int>(std::clamp(ini.ReadInteger(kSection, "ZapisTabeliMs", 1000), 0L, 5000L));
    s.tableEarlySaveChanges =
        static_cast<int>(std::clamp(ini.ReadInteger(kSection, "ZapisTabeliPozycje", 500), 0L, 1000000L));
    s.ownerCodeAllowList = ParseAllowList(ini.ReadString(kSection, "Licencje", ""));
    s.newVehiclesPerHour =
        static_cast<int>(std::clamp(ini.ReadInteger(kSection, "NowePojazdyNaGodzine", 1000), 0L, 100000000L));
    s.readMemoryBudget = static_cast<std::size_t>(std::clamp(ini.ReadInteger(kSection, "PamiecOdczytowMB", 256), 1L, 1L << 20))
                         << 20;
    s.diskReserve = static_cast<std::uint64_t>(std::clamp(ini.ReadInteger(kSection, "RezerwaDyskuMB", 1024), 0L, 1L << 30))
                    << 20;
    s.database = TrimBlanks(ini.ReadString("Historia", "Baza", ""));
    s.www.port = TrimBlanks(ini.ReadString("Www", "Port", ""));
    s.www.address = TrimBlanks(ini.ReadString("Www", "Adres", ""));
    if (s.www.address.empty()) s.www.address = WebSettings{}.address;
    s.www.password = ini.ReadString("Www", "Haslo", "");
    s.www.certificate = TrimBlanks(ini.ReadString("Www", "Certyfikat", ""));
    s.www.key = TrimBlanks(ini.ReadString("Www", "Klucz", ""));
    s.www.tileUrl = TrimBlanks(ini.ReadString("Www", "Mapa", ""));
    if (s.www.tileUrl.empty()) s.www.tileUrl = WebSettings{}.tileUrl;
    s.www.attribution = TrimBlanks(ini.ReadString("Www", "MapaAtrybucja", ""));
    if (s.www.attribution.empty()) s.www.attribution = WebSettings{}.attribution;
    s.www.connectionsPerAddress = static_cast<int>(
        std::clamp(ini.ReadInteger("Www", "PolaczeniaZAdresu", WebSettings{}.connectionsPerAddress), 1L, 64L));
    s.port = ini.ReadString(kSection, "Port", "4500");
    s.dataDirectory = ini.ReadString(kSection, "Katalog", ".");
    s.serverName = TrimBlanks(ini.ReadString("Historia", "Serwer", ""));
    if (s.serverName.empty()) s.serverName = HostName() + ":" + TrimBlanks(s.port);
    s.events = ReadEventSettings(ini);
    s.notifications = ReadNotificationSettings(ini, s.www);
    s.reports = ReadReportSettings(ini);
    return s;
}

namespace {

// Items separated by commas, semicolons or blanks.
std::vector<std::string> SplitItems(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ',';
        if (c != ',' && c != ';' && c != ' ' && c != '\t') {
            item += c;
        } else if (!item.empty()) {
            items.push_back(item);
            item.clear();
        }
    }
    return items;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "serwer";
    return name;
}

}  // namespace

NotificationSettings ReadNotificationSettings(const IniFile& ini, const WebSettings& www) {
    NotificationSettings n;
    n.mail.server = TrimBlanks(ini.ReadString("Poczta", "Serwer", ""));
    n.mail.from = TrimBlanks(ini.ReadString("Poczta", "Od", ""));
    n.mail.user = ini.ReadString("Poczta", "Uzytkownik", "");
    n.mail.password = ini.ReadString("Poczta", "Haslo", "");
    n.serverName = TrimBlanks(ini.ReadString("Powiadomienia", "Nazwa", ""));
    if (n.serverName.empty()) n.serverName = HostName();
    // A link to the map for an address others can open: not the wildcards.
    const std::string address = TrimBlanks(www.address);
    if (www.Enabled() && www.port != "0" && !address.empty() && address != "0.0.0.0" && address != "::" &&
        address != "[::]")
        n.mapUrl = "http://" + (address.find(':') != std::string::npos && address.front() != '[' ? "[" + address + "]" : address) +
                   ":" + TrimBlanks(www.port) + "/";
    const std::string prefix = "Powiadomienie ";
    for (const std::string& section : ini.Sections()) {
        if (section.size() <= prefix.size() || !StartsWithNoCase(section, prefix)) continue;
        NotificationRule r;
        r.name = TrimBlanks(section.substr(prefix.size()));
        const std::string where = Cp1250("Powiadomienie ") + r.name + ": ";
        for (const std::string& name : SplitItems(ini.ReadString(section, "Typy", ""))) {
            if (const auto type = EventTypeFromName(name))
                r.types.insert(*type);
            else
                n.problems.push_back(where + Cp1250("nieznany typ zdarzenia w Typy: ") + name);
        }
        for (const std::string& v : ParseAllowList(ini.ReadString(section, "Pojazdy", ""))) r.vehicles.insert(v);
        r.emails = SplitItems(ini.ReadString(section, "Email", ""));
        r.webhook = TrimBlanks(ini.ReadString(section, "Webhook", ""));
        if (!r.webhook.empty() && !StartsWithNoCase(r.webhook, "http://") && !StartsWithNoCase(r.webhook, "https://")) {
            n.problems.push_back(where + Cp1250("Webhook musi zaczynać się od http:// lub https://: ") + r.webhook);
            r.webhook.clear();
        }
        r.secret = ini.ReadString(section, "Sekret", "");
        r.intervalMinutes = static_cast<int>(std::clamp(ini.ReadInteger(section, "CoIleMin", 15), 0L, 7L * 24 * 60));
        if (!r.emails.empty() && n.mail.server.empty()) {
            n.problems.push_back(where + Cp1250("Email wymaga serwera poczty (Serwer w sekcji [Poczta])"));
            r.emails.clear();
        }
        if (r.emails.empty() && r.webhook.empty()) {
            n.problems.push_back(where + Cp1250("brak odbiorców (Email, Webhook): reguła pominięta"));
            continue;
        }
        n.rules.push_back(std::move(r));
    }
    return n;
}

ZoneSet ReadZoneFile(const std::string& dataDirectory, std::string* failure) {
    std::ifstream in{dataDirectory + "/strefy.geojson", std::ios::binary};
    if (!in) return {};
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    try {
        return ZoneSet::FromGeoJson(text);
    } catch (const std::exception& e) {
        *failure = e.what();
        return {};
    }
}

ReportSettings ReadReportSettings(const IniFile& ini) {
    const std::string r = "Raporty";
    ReportSettings s;
    s.stopMinutes = static_cast<int>(std::clamp(ini.ReadInteger(r, "PostojMin", 5), 1L, 24L * 60));
    s.gapMinutes = static_cast<int>(std::clamp(ini.ReadInteger(r, "PrzerwaMin", 60), 1L, 7L * 24 * 60));
    if (auto text = ini.Text(r, "TrasaMinKm")) {
        std::string number = TrimBlanks(*text);
        std::replace(number.begin(), number.end(), ',', '.');
        double km = 0;  // from_chars: the same whatever the process's locale
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), km);
        if (!number.empty() && error == std::errc() && end == number.data() + number.size() && std::isfinite(km))
            s.tripMinKm = std::clamp(km, 0.0, 1000.0);
    }
    s.ignition = ini.ReadBool(r, "Zaplon", false);
    return s;
}

EventSettings ReadEventSettings(const IniFile& ini) {
    const std::string z = "Zdarzenia";
    EventSettings e;
    auto number = [&](const std::string& section, const char* key, long def, long low, long high) {
        return std::clamp(ini.ReadInteger(section, key, def), low, high);
    };
    e.enabled = ini.ReadBool(z, "Wykrywac", true);
    e.speedLimitKmh = static_cast<double>(number(z, "Predkosc", 0, 0, 1000));
    e.speedPositions = static_cast<int>(number(z, "PredkoscPozycje", 1, 1, 100));
    e.zonePositions = static_cast<int>(number(z, "StrefaPozycje", 1, 1, 100));
    e.idleMinutes = static_cast<int>(number(z, "PostojSilnikMin", 10, 1, 24 * 60));
    e.refuelPoints = static_cast<int>(number(z, "TankowanieProcent", 10, 1, 100));
    e.fuelDropPoints = static_cast<int>(number(z, "SpadekPaliwaProcent", 8, 1, 100));
    e.silenceMinutes = static_cast<int>(number(z, "BrakPozycjiMin", 60, 0, 100000));
    e.overdueReadDays = static_cast<int>(number(z, "OdczytDni", 2, 0, 10000));
    for (std::size_t i = 0; i < e.inputNames.size(); ++i)
        e.inputNames[i] = TrimBlanks(ini.ReadString(z, "Wejscie" + std::to_string(i + 1), ""));
    if (const auto alarms = ini.Text(z, "Alarmy")) {
        e.alarms.clear();
        std::string name;
        for (std::size_t i = 0; i <= alarms->size(); ++i) {
            const char c = i < alarms->size() ? (*alarms)[i] : ',';
            if (c != ',' && c != ';' && c != ' ' && c != '\t') {
                name += c;
                continue;
            }
            if (name.empty()) continue;
            if (const auto type = EventTypeFromName(name))
                e.alarms.insert(*type);
            else
                e.unknownAlarmNames.push_back(name);
            name.clear();
        }
    }
    const std::string prefix = "Pojazd ";
    for (const std::string& section : ini.Sections()) {
        if (section.size() <= prefix.size() || !EqualsNoCase(section.substr(0, prefix.size()), prefix)) continue;
        const std::string registration = TrimBlanks(section.substr(prefix.size()));
        EventSettings::Vehicle v;
        auto optional = [&](const char* key, long low, long high) -> std::optional<long> {
            if (!ini.Text(section, key)) return std::nullopt;
            return number(section, key, 0, low, high);
        };
        if (auto x = optional("Predkosc", 0, 1000)) v.speedLimitKmh = static_cast<double>(*x);
        if (auto x = optional("BrakPozycjiMin", 0, 100000)) v.silenceMinutes = static_cast<int>(*x);
        if (auto x = optional("Zbiornik", 1, 100000)) v.tankLitres = static_cast<double>(*x);
        if (auto x = optional("PrzegladKm", 1, 10000000)) v.serviceEveryKm = static_cast<int>(*x);
        if (auto x = optional("PrzegladOd", 0, 100000000)) v.serviceFromKm = static_cast<int>(*x);
        e.vehicles[registration] = v;
    }
    return e;
}

void EnsureDataDirectory(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    // One level only: a missing parent is a failure, as is a file of that name.
    if (::mkdir(dir.c_str(), 0777) == 0) return;
    if (errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    throw ServerError(Cp1250("Nie można było utworzyc katalogu dla danych : ") + dir +
                      Cp1250(" dalsza praca niemożliwa !"));
}

std::string ExecutableDirectory() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
}

namespace {

struct Line {
    std::size_t begin, end;  // the line's text, without its line end
    std::size_t next;        // where the next line begins
};

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back({pos, content.size(), content.size()});
            break;
        }
        std::size_t next = end + 1;
        if (content[end] == '\r' && next < content.size() && content[next] == '\n') ++next;
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

std::optional<std::string> SectionName(const std::string& trimmed) {
    if (trimmed.empty() || trimmed[0] != '[') return std::nullopt;
    const std::size_t close = trimmed.rfind(']');
    return TrimBlanks(close == std::string::npos || close == 0 ? trimmed.substr(1) : trimmed.substr(1, close - 1));
}

}  // namespace

std::string SetProfileValue(const std::string& content, const std::string& section, const std::string& key,
                            const std::string& value) {
    const std::string newLine = key + "=" + value;
    const std::vector<Line> lines = SplitLines(content);
    const std::string eol =
        content.find("\r\n") != std::string::npos || content.empty() ? std::string("\r\n") : std::string("\n");

    std::optional<std::size_t> sectionLine;
    std::size_t insertAt = content.size();  // after the section's last non-empty line
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string trimmed = TrimBlanks(content.substr(lines[i].begin, lines[i].end - lines[i].begin));
        if (const auto name = SectionName(trimmed)) {
            if (sectionLine) break;  // the next section: the key is not there
            if (EqualsNoCase(*name, section)) {
                sectionLine = i;
                insertAt = lines[i].next;
            }
            continue;
        }
        if (!sectionLine) continue;
        if (!trimmed.empty()) insertAt = lines[i].next;
        const std::size_t eq = trimmed.find('=');
        if (trimmed.empty() || trimmed[0] == ';' || eq == std::string::npos) continue;
        if (EqualsNoCase(TrimBlanks(trimmed.substr(0, eq)), key))
            return content.substr(0, lines[i].begin) + newLine + content.substr(lines[i].end);
    }

    std::string out = content;
    if (!sectionLine) {
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += eol;
        return out + "[" + section + "]" + eol + newLine + eol;
    }
    // The section's last line may lack a line end (the end of the file).
    std::string insert = newLine + eol;
    if (insertAt > 0 && out[insertAt - 1] != '\n' && out[insertAt - 1] != '\r') insert = eol + newLine;
    out.insert(insertAt, insert);
    return out;
}

void WriteSettingsAtClose(const std::string& path, const SettingsAtClose& settings) {
    std::string content;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    content = SetProfileValue(content, kSection, "Odpytywac", settings.readsEnabled ? "1" : "0");
    content = SetProfileValue(content, kSection, "Kasowac", settings.erase ? "1" : "0");
    content = SetProfileValue(content, kSection, "Godzina", std::to_string(settings.readHourIndex));
    content = SetProfileValue(content, kSection, "Port", settings.port);

    // A failed directory flush is no failure: the file is already in place.
    if (!WriteDurableFile(path, content, Placement::Replace).placed) throw ServerError("Unable to write to " + path);
}

}  // namespace serwer
