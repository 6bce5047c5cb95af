// serwer.ini as the server finds it beside the executable: read from a file, its values
// turned into settings for each kind of first argument, and the Pojazdy value split
// into the allow-list. The input is also taken whole as a Pojazdy value. Nothing here
// may fail: a bad value gives the default.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.hpp"
#include "ScratchFile.hpp"
#include "app/Settings.hpp"
#include "vehicles/ReadSchedule.hpp"

using namespace serwer;

namespace {

constexpr std::size_t kMaxValueLength = 2047;

void CheckAllowList(const std::vector<std::string>& items) {
    for (const std::string& item : items) {
        FUZZ_CHECK(item.find('\0') == std::string::npos);
        for (char c : item) FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
    }
}

void CheckSettings(const Settings& s, const std::string& firstArgument) {
    CheckAllowList(s.allowList);
    FUZZ_CHECK(s.serviceMode == (firstArgument == "sv"));
    FUZZ_CHECK(s.serviceMode || s.erase);
    if (firstArgument == "start") FUZZ_CHECK(s.autoStart);
    FUZZ_CHECK(s.readHourIndex >= -1 && s.readHourIndex <= 23);
    const std::optional<int> hour = ReadHourOfIndex(s.readHourIndex);
    FUZZ_CHECK(hour.has_value() == (s.readHourIndex >= 0));
    if (hour) FUZZ_CHECK(*hour >= 0 && *hour <= 23);
    FUZZ_CHECK(s.port.size() <= kMaxValueLength);
    FUZZ_CHECK(s.dataDirectory.size() <= kMaxValueLength);
}

const ScratchFile& Scratch() {
    static const ScratchFile file("serwer.ini");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);

    Scratch().Write(content);
    const IniFile ini = IniFile::Load(Scratch().Path());

    for (const std::string firstArgument : {"", "sv", "start"}) {
        const Settings settings = ReadSettings(ini, firstArgument);
        CheckSettings(settings, firstArgument);
    }
    // The file read from disk and the same text parsed in memory give the same values.
    const IniFile parsed = IniFile::Parse(content);
    for (const char* key : {"Pojazdy", "Kasowac", "parametr", "Odpytywac", "Godzina", "Port", "Katalog"}) {
        FUZZ_CHECK(parsed.Text("Ustawienia", key) == ini.Text("Ustawienia", key));
        if (const auto text = parsed.Text("Ustawienia", key)) FUZZ_CHECK(text->size() <= kMaxValueLength);
        parsed.ReadInteger("Ustawienia", key, 7);
    }

    CheckAllowList(ParseAllowList(content));
    return 0;
}
