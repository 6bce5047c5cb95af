#include "events/Event.hpp"

namespace serwer {

std::uint64_t EventId(EventType type, const std::string& registration, std::int64_t startUtc,
                      const std::string& zoneOrDetail) {
    // FNV-1a over the fields, each closed by a byte no text holds.
    std::uint64_t h = 14695981039346656037ull;
    auto add = [&](const std::string& bytes) {
        for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
        h = (h ^ 0xFFu) * 1099511628211ull;
    };
    add(std::string(EventTypeName(type)));
    add(registration);
    add(std::to_string(startUtc));
    add(zoneOrDetail);
    return h & 0x7FFFFFFFFFFFFFFFull;
}

}  // namespace serwer
