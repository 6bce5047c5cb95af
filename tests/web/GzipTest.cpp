// The answers' gzip: what a browser's Accept-Encoding allows, and bytes zlib reads back.
#include <gtest/gtest.h>
#include <zlib.h>

#include "web/Gzip.hpp"

using namespace serwer;

namespace {

std::string Gunzip(const std::string& packed) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return out;
}

}  // namespace

TEST(GzipTest, OnlyAnEncodingListThatTakesGzipGetsIt) {
    for (const char* yes : {"gzip, deflate, br", "br;q=1.0, GZIP;q=0.5", "*", "deflate,gzip", " gzip ; q=0.001"})
        EXPECT_TRUE(AcceptsGzip(yes)) << yes;
    for (const char* no : {"", "identity", "br, deflate", "gzip;q=0", "gzip; q=0.000", "*;q=0", "x-gzip2"})
        EXPECT_FALSE(AcceptsGzip(no)) << no;
}

TEST(GzipTest, ABodyReadsBackWholeAndAVehicleListShrinksTenfold) {
    std::string list = "{\"pojazdy\":[";
    for (int i = 0; i < 2000; ++i)
        list += "{\"nazwa\":\"WA" + std::to_string(10000 + i) + "\",\"szerokosc\":52." + std::to_string(i * 37 % 1000) +
                ",\"gps\":\"OK\",\"swiezosc\":\"aktualna\",\"kierowca\":\"Brak ID\"},";
    list.back() = ']';
    const std::string packed = Gzip(list);
    EXPECT_EQ(packed.substr(0, 2), "\x1f\x8b");
    EXPECT_LT(packed.size() * 10, list.size());
    EXPECT_EQ(Gunzip(packed), list);
    EXPECT_EQ(Gunzip(Gzip("")), "");
}
