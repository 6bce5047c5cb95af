#include "history/SpoolCodec.hpp"

#include <cstdint>
#include <cstring>

namespace serwer {

namespace {

constexpr char kRowTag = 'P', kEventTag = 'Z';

class Writer {
public:
    explicit Writer(char tag) { out_.push_back(tag); }
    Writer& Int(std::int64_t value) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * i)));
        return *this;
    }
    Writer& Bool(bool value) {
        out_.push_back(value ? 1 : 0);
        return *this;
    }
    Writer& Text(const std::string& text) {
        Int(static_cast<std::int64_t>(text.size()));
        out_ += text;
        return *this;
    }
    Writer& Int(const std::optional<std::int64_t>& value) {
        Bool(value.has_value());
        return value ? Int(*value) : *this;
    }
    Writer& Real(const std::optional<double>& value) {
        Bool(value.has_value());
        if (!value) return *this;
        std::int64_t bits;
        std::memcpy(&bits, &*value, sizeof bits);
        return Int(bits);
    }
    std::string Done() { return std::move(out_); }

private:
    std::string out_;
};

// Reads what Writer wrote; any shortfall or a stray byte makes it not ok.
class Reader {
public:
    Reader(const std::string& in, char tag) : in_(in) { ok_ = !in.empty() && in[0] == tag; }
    std::int64_t Int() {
        std::uint64_t value = 0;
        if (!Take(8)) return 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{static_cast<unsigned char>(in_[at_ - 8 + i])} << (8 * i);
        return static_cast<std::int64_t>(value);
    }
    bool Bool() {
        if (!Take(1)) return false;
        const char c = in_[at_ - 1];
        if (c != 0 && c != 1) ok_ = false;
        return c == 1;
    }
    std::string Text() {
        const std::int64_t size = Int();
        if (size < 0 || static_cast<std::uint64_t>(size) > in_.size() - at_ || !Take(static_cast<std::size_t>(size)))
            return ok_ = false, std::string();
        return in_.substr(at_ - static_cast<std::size_t>(size), static_cast<std::size_t>(size));
    }
    std::optional<std::int64_t> OptInt() {
        if (!Bool()) return std::nullopt;
        return Int();
    }
    std::optional<double> Real() {
        if (!Bool()) return std::nullopt;
        const std::int64_t bits = Int();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    bool Ok() const { return ok_ && at_ == in_.size(); }

private:
    bool Take(std::size_t n) {
        if (!ok_ || in_.size() - at_ < n) return ok_ = false;
        at_ += n;
        return true;
    }
    const std::string& in_;
    std::size_t at_ = 1;
    bool ok_ = false;
};

}  // namespace

std::string EncodeSpooledRow(const HistoryRecord& r) {
    Writer w(kRowTag);
    w.Text(r.registration).Text(r.ownerCode).Int(r.fixTimeUtc).Int(r.receivedUtc).Real(r.latitude);
    w.Real(r.longitude).Real(r.speedKmh).Text(r.fuel).Bool(r.engineOn).Text(r.gps).Text(r.driver);
    w.Bool(r.input1).Bool(r.input2).Bool(r.input3).Int(r.odometerKm).Bool(r.newForm).Text(r.raw);
    return w.Done();
}

std::optional<HistoryRecord> DecodeSpooledRow(const std::string& bytes) {
    Reader in(bytes, kRowTag);
    HistoryRecord r;
    r.registration = in.Text();
    r.ownerCode = in.Text();
    r.fixTimeUtc = in.OptInt();
    r.receivedUtc = in.Int();
    r.latitude = in.Real();
    r.longitude = in.Real();
    r.speedKmh = in.Real();
    r.fuel = in.Text();
    r.engineOn = in.Bool();
    r.gps = in.Text();
    r.driver = in.Text();
    r.input1 = in.Bool();
    r.input2 = in.Bool();
    r.input3 = in.Bool();
    r.odometerKm = in.OptInt();
    r.newForm = in.Bool();
    r.raw = in.Text();
    if (!in.Ok()) return std::nullopt;
    return r;
}

std::string EncodeSpooledEvent(const Event& e) {
    Writer w(kEventTag);
    w.Int(static_cast<std::int64_t>(e.id)).Text(std::string(EventTypeName(e.type))).Text(e.registration).Int(e.startUtc);
    w.Int(e.endUtc).Bool(e.interval).Real(e.latitude).Real(e.longitude).Text(e.zone).Real(e.value);
    w.Real(e.limit).Real(e.distanceKm).Real(e.litres).Text(e.detail).Text(e.text);
    return w.Done();
}

std::optional<Event> DecodeSpooledEvent(const std::string& bytes) {
    Reader in(bytes, kEventTag);
    Event e;
    e.id = static_cast<std::uint64_t>(in.Int());
    const auto type = EventTypeFromName(in.Text());
    e.registration = in.Text();
    e.startUtc = in.Int();
    e.endUtc = in.OptInt();
    e.interval = in.Bool();
    e.latitude = in.Real();
    e.longitude = in.Real();
    e.zone = in.Text();
    e.value = in.Real();
    e.limit = in.Real();
    e.distanceKm = in.Real();
    e.litres = in.Real();
    e.detail = in.Text();
    e.text = in.Text();
    if (!in.Ok() || !type) return std::nullopt;
    e.type = *type;
    return e;
}

}  // namespace serwer
