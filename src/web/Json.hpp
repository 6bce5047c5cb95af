#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serwer {

// A small JSON writer (RFC 8259) for the web API: texts go in as UTF-8 and come out
// with '"', '\\' and the control characters escaped; numbers in their shortest exact
// form ("52.1234567", "42"); a number that is not finite, or an empty optional, is null.
// The caller keeps the nesting right; the writer only places the commas and colons.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view utf8);

    JsonWriter& String(std::string_view utf8);
    JsonWriter& Number(double value);
    JsonWriter& Integer(std::int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    JsonWriter& OptionalString(const std::optional<std::string>& utf8) { return utf8 ? String(*utf8) : Null(); }
    JsonWriter& Number(std::optional<double> value) { return value ? Number(*value) : Null(); }
    JsonWriter& Integer(std::optional<std::int64_t> value) { return value ? Integer(*value) : Null(); }
    JsonWriter& Bool(std::optional<bool> value) { return value ? Bool(*value) : Null(); }

    void Reserve(std::size_t bytes) { out_.reserve(bytes); }
    const std::string& Text() const { return out_; }
    std::string Take() { return std::move(out_); }

private:
    void BeforeValue();
    std::string out_;
    std::vector<bool> first_;  // per open object or array: nothing written in it yet
    bool afterKey_ = false;
};

// The text as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view utf8);

}  // namespace serwer
