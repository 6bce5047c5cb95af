#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "support/TestDirectory.hpp"
#include "vehicles/VehicleFile.hpp"
#include "vehicles/VehicleTable.hpp"

using namespace serwer;

namespace fs = std::filesystem;

namespace {

const Bytes kHeader =
    "\"Nazwa\";\"Grupa Kategoria Infomation\";\"Data-godzina\";\"Kierowca\";\"Pr\xEA"
    "dko\x9C\xE6\";\"GPS\";\"Silnik\";\"Punkty\";\"Vgraniczna\";\"Licencja\";\"Paliwo\";\"Licznik\";"
    "\"Szeroko\x9C\xE6 geograficzna Latitude\";\"D\xB3ugo\x9C\xE6 geograficzna Longitude\";\"Odczyt\";"
    "\"PROBA_ODCZYTU\";\"URZ1\";\"URZ2\";\"URZ3\";\"Przebieg\"\r\n";

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) { return *DateTime::Make(y, mo, d, h, mi, s); }

// Bytes of a literal that may hold NUL characters.
template <std::size_t N>
Bytes Raw(const char (&literal)[N]) {
    return Bytes(literal, N - 1);
}

VehicleRow Named(const std::string& name) {
    VehicleRow row;
    row.NAZWA = name;
    return row;
}

// Parses a file body under a header of only the given columns.
VehicleFileContent ParseWith(const std::string& header, const std::string& body) {
    return ParseVehicleFile(header + "\r\n" + body);
}

class VehicleFileOnDisk : public ::testing::Test {
protected:
    void Write(const Bytes& content) { std::ofstream(path_, std::ios::binary) << content; }
    Bytes ReadBack() const { return ReadFile(path_); }
    std::size_t EntriesInDir() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++n;
        return n;
    }

    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    const std::string path_ = (dir_ / "Aktualne.txt").string();
};

}  // namespace

TEST(VehicleFileFormat, HeaderAndRepresentativeRowAreExactBytes) {
    VehicleRow row = Named("WPI12345");
    row.OPIS = "2026.12.05-14:30";
    row.KIEROWCA = "Brak ID";
    row.PREDKOSC = "0.00 Km/h";
    row.GPS = "OK";
    row.SILNIK = Cp1250("ZAŁ");
    row.LICENCJA = "0011223344556677";
    row.PALIWO = "Plywak";
    row.LICZNIK_ODCZYTOW = -3;
    row.SZEROKOSC = "52,2297";
    row.DLUGOSC = "21,0122";
    row.ODCZYT = At(2026, 12, 5, 14, 30, 5);
    row.PROBA_ODCZYTU = At(2026, 12, 5);  // midnight: the date alone
    row.URZ1 = true;
    row.URZ2 = false;
    row.PRZEBIEG = 123456;
    EXPECT_EQ(FormatVehicleFile({row}),
              kHeader +
                  "\"WPI12345\";\"Post\xF3j\";\"2026.12.05-14:30\";\"Brak ID\";\"0.00 Km/h\";\"OK\";\"ZA\xA3\";;;"
                  "\"0011223344556677\";\"Plywak\";\"-3\";\"52,2297\";\"21,0122\";\"05/12/2026 14:30:05\";"
                  "\"05/12/2026\";\"True\";\"False\";;\"123456\"\r\n");
}

TEST(VehicleFileFormat, NewRowIsWrittenWithEmptyNullFields) {
    EXPECT_EQ(FormatVehicleFile({VehicleRow{}}), kHeader + ";\"Jazda\";;;;;;;;;;\"0\";;;;;;;;\r\n");
    EXPECT_EQ(FormatVehicleFile({}), kHeader);
}

TEST(VehicleFileFormat, TrickyTextIsEscapedQuotedAndReadBackUnchanged) {
    VehicleRow row = Named("A;B\"C");
    row.OPIS = Raw("cr\rlf\nnul\0pct%end");
    row.PUNKTY = "%c%n%0%%";
    row.PALIWO = "";
    const Bytes file = FormatVehicleFile({row});
    const Bytes expected = "\"A;B\"\"C\";\"Jazda\";\"cr%clf%nnul%0pct%%end\";;;;;\"%%c%%n%%0%%%%\";;;\"\";";
    EXPECT_EQ(file.substr(kHeader.size(), expected.size()), expected);
    EXPECT_EQ(file.find_first_of(std::string("\r\n\0", 3), kHeader.size()), file.size() - 2);
    const VehicleFileContent back = ParseVehicleFile(file);
    ASSERT_FALSE(back.error);
    ASSERT_EQ(back.rows.size(), 1u);
    EXPECT_EQ(back.rows[0], row);
}

TEST(VehicleFileFormat, DateTimesRoundTripAtMidnightAndWithTime) {
    VehicleRow row;
    row.ODCZYT = At(2026, 12, 5);
    row.PROBA_ODCZYTU = At(2027, 1, 31, 23, 59, 59);
    const VehicleFileContent back = ParseVehicleFile(FormatVehicleFile({row}));
    ASSERT_EQ(back.rows.size(), 1u);
    EXPECT_EQ(back.rows[0].ODCZYT, At(2026, 12, 5));
    EXPECT_EQ(back.rows[0].PROBA_ODCZYTU, At(2027, 1, 31, 23, 59, 59));
}

TEST(VehicleFileParse, EmptyFileAndHeaderOnlyGiveNoRowsAndNoError) {
    for (const Bytes& content : {Bytes(), kHeader, Bytes("\r\n\r\n")}) {
        const VehicleFileContent result = ParseVehicleFile(content);
        EXPECT_TRUE(result.rows.empty());
        EXPECT_FALSE(result.error);
    }
}

TEST(VehicleFileParse, LinesSplitAtAnyRunOfCrLfAndNul) {
    const Bytes content = Raw("Nazwa\nA\rB\r\n\r\n\nC\0\0D");
    const VehicleFileContent result = ParseVehicleFile(content);
    ASSERT_EQ(result.rows.size(), 4u);
    EXPECT_EQ(result.rows[0].NAZWA, "A");
    EXPECT_EQ(result.rows[3].NAZWA, "D");
}

TEST(VehicleFileParse, HeaderMatchesIgnoringAsciiCaseAndSkipsUnknownNamesAndGrupa) {
    const auto result = ParseWith("\"NAZWA\";\"Nieznana\";\"urz1\";\"grupa kategoria infomation\";\"PRZEBIEG\"",
                                  "\"A\";\"junk\";\"True\";\"Jazda\";\"7\"");
    ASSERT_FALSE(result.error);
    ASSERT_EQ(result.rows.size(), 1u);
    VehicleRow expected = Named("A");
    expected.URZ1 = true;
    expected.PRZEBIEG = 7;
    EXPECT_EQ(result.rows[0], expected);  // URZ2 and every other unnamed column stay as in a new row
}

TEST(VehicleFileParse, FieldRule) {
    const auto result = ParseWith("Nazwa;Licznik;Kierowca",
                                  "\"A\";\n"             // ends after ";": Licznik not read, keeps 0
                                  "\"B\";;\"x\"\n"       // ";" is a null field: Licznik null
                                  "C;5;plain;surplus\n"  // unquoted fields, surplus ignored
                                  "\"D\"\"q\"\"\"X5\n"   // doubled quote; any char after the quote separates
                                  "\"\"\n");             // quoted empty text
    ASSERT_FALSE(result.error);
    ASSERT_EQ(result.rows.size(), 5u);
    EXPECT_EQ(result.rows[0].LICZNIK_ODCZYTOW, 0);
    EXPECT_FALSE(result.rows[0].KIEROWCA);
    EXPECT_FALSE(result.rows[1].LICZNIK_ODCZYTOW);
    EXPECT_EQ(result.rows[1].KIEROWCA, "x");
    EXPECT_EQ(result.rows[2].NAZWA, "C");
    EXPECT_EQ(result.rows[2].LICZNIK_ODCZYTOW, 5);
    EXPECT_EQ(result.rows[2].KIEROWCA, "plain");
    EXPECT_EQ(result.rows[3].NAZWA, "D\"q\"");
    EXPECT_EQ(result.rows[3].LICZNIK_ODCZYTOW, 5);
    EXPECT_EQ(result.rows[4].NAZWA, "");
}

TEST(VehicleFileParse, EmptyAndNullFieldsOfIntegerBooleanAndDateTime) {
    const auto result = ParseWith("Licznik;URZ1;URZ2;URZ3;Odczyt;Przebieg",
                                  "\"\";\"\";\"true\";;\"\";\"\"\n"
                                  ";\"True\";\"False\";\"TRUE\";;");
    ASSERT_FALSE(result.error);
    ASSERT_EQ(result.rows.size(), 2u);
    VehicleRow first;
    first.LICZNIK_ODCZYTOW.reset();
    first.URZ1 = false;
    first.URZ2 = false;
    EXPECT_EQ(result.rows[0], first);
    VehicleRow second;
    second.LICZNIK_ODCZYTOW.reset();
    second.URZ1 = true;
    second.URZ2 = false;
    second.URZ3 = false;
    EXPECT_EQ(result.rows[1], second);
}

TEST(VehicleFileParse, TextIsUnescapedThenCutToWidth) {
    const auto result = ParseWith("Nazwa;Kierowca;Licencja", "\"ABCDEFGHIJKLMN\";\"a%\";\"%x%%%c0123456789ABCDEF\"");
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_EQ(result.rows[0].NAZWA, "ABCDEFGHIJ");
    EXPECT_EQ(result.rows[0].KIEROWCA, "a");                  // a lone "%" at the end is dropped
    EXPECT_EQ(result.rows[0].LICENCJA, "%x%\r0123456789AB");  // "%x" stays as it is
}

TEST(VehicleFileParse, IntegersAreDecimal32Bit) {
    const auto good = ParseWith("Licznik;Przebieg", "\"-2147483648\";\"+2147483647\"");
    ASSERT_FALSE(good.error);
    EXPECT_EQ(good.rows[0].LICZNIK_ODCZYTOW, -2147483647 - 1);
    EXPECT_EQ(good.rows[0].PRZEBIEG, 2147483647);
    for (const std::string bad : {"2147483648", "12a", " 1", "+-1", "1.5"}) {
        const auto result = ParseWith("Nazwa;Przebieg", "A;\"" + bad + "\"");
        EXPECT_TRUE(result.rows.empty());
        EXPECT_EQ(result.error, "'" + bad + "' is not a valid integer value for field 'Przebieg'");
    }
}

TEST(VehicleFileParse, DateTimeForms) {
    const auto result = ParseWith("Odczyt",
                                  "\"5/1/2026 7:05\"\n"
                                  "\"05/01/2026 07:05:09\"\n"
                                  "\"05/01/2026 2:05:09 PM\"\n"
                                  "\"05/01/2026 12:30:00 AM\"\n"
                                  "\"29/02/2024\"");
    ASSERT_FALSE(result.error);
    ASSERT_EQ(result.rows.size(), 5u);
    EXPECT_EQ(result.rows[0].ODCZYT, At(2026, 1, 5, 7, 5));
    EXPECT_EQ(result.rows[1].ODCZYT, At(2026, 1, 5, 7, 5, 9));
    EXPECT_EQ(result.rows[2].ODCZYT, At(2026, 1, 5, 14, 5, 9));
    EXPECT_EQ(result.rows[3].ODCZYT, At(2026, 1, 5, 0, 30));
    EXPECT_EQ(result.rows[4].ODCZYT, At(2024, 2, 29));
    for (const std::string bad : {"29/02/2026", "05-01-2026", "05/01/26", "05/01/2026 24:00", "05/01/2026 ", "x"}) {
        EXPECT_EQ(ParseWith("Odczyt", "\"" + bad + "\"").error, "'" + bad + "' is not a valid date and time");
    }
}

TEST(VehicleFileParse, BadLineIsSkippedAndFirstErrorKept) {
    const auto result = ParseWith("Nazwa;Licznik;Odczyt", "A;1\nB;x\nC;2\nD;3;99/99/2026\nE;4");
    ASSERT_EQ(result.rows.size(), 3u);
    EXPECT_EQ(result.rows[0].NAZWA, "A");
    EXPECT_EQ(result.rows[1].NAZWA, "C");
    EXPECT_EQ(result.rows[2].NAZWA, "E");
    EXPECT_EQ(result.error, "'x' is not a valid integer value for field 'Licznik'");
}

TEST(VehicleFileParse, DisplayCopyKeepsDuplicateNames) {
    const auto result = ParseWith("Nazwa;Licznik", "A;1\nA;2");
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.rows.size(), 2u);
}

TEST_F(VehicleFileOnDisk, SaveWritesFormattedContentAndLeavesNoTemporaryFile) {
    Write("old content that is longer than the new one ......................................");
    VehicleTable table;
    table.Append(Named("WA1"));
    SaveVehicleFile(table, path_);
    EXPECT_EQ(ReadBack(), FormatVehicleFile(table.Rows()));
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(VehicleFileOnDisk, SaveIntoMissingDirectoryFailsWithCannotCreate) {
    const std::string path = (dir_ / "brak" / "Aktualne.txt").string();
    try {
        SaveVehicleFile(VehicleTable{}, path);
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path).c_str());
    }
    EXPECT_EQ(EntriesInDir(), 0u);
}

TEST_F(VehicleFileOnDisk, FailedSaveLeavesOldEntryAndNoTemporaryFile) {
    // The target is a directory, so the finished file cannot replace it.
    fs::create_directory(path_);
    std::ofstream(path_ + "/inside") << "kept";
    try {
        SaveVehicleFile(VehicleTable{}, path_);
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path_).c_str());
    }
    EXPECT_EQ(EntriesInDir(), 1u);
    EXPECT_TRUE(fs::exists(path_ + "/inside"));
}

TEST_F(VehicleFileOnDisk, MissingFileCannotBeOpenedAndAddsNoRow) {
    VehicleTable table;
    table.Append(Named("KEEP"));
    try {
        LoadVehicleFile(table, path_);
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), ("Cannot open file " + path_).c_str());
    }
    EXPECT_EQ(table.Size(), 1u);
}

TEST_F(VehicleFileOnDisk, LoadAppendsGoodLinesThenReportsFirstConversionError) {
    Write(kHeader + "\"A\";;;;;;;;;;;\"1\"\r\n\"B\";;;;;;;;;;;\"bad\"\r\n\"C\";;;;;;;;;;;\"3\"\r\n");
    VehicleTable table;
    try {
        LoadVehicleFile(table, path_);
        FAIL() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'bad' is not a valid integer value for field 'Licznik'");
    }
    ASSERT_EQ(table.Size(), 2u);
    EXPECT_EQ(table.Row(1).NAZWA, "C");
    EXPECT_EQ(table.Row(1).LICZNIK_ODCZYTOW, 3);
}

TEST_F(VehicleFileOnDisk, LoadWithDuplicateNameKeepsFirstRowAndReportsDuplicate) {
    Write(kHeader + "\"A\";;;;;;;;;;;\"1\"\r\n\"B\"\r\n\"A\";;;;;;;;;;;\"2\"\r\n");
    VehicleTable table;
    try {
        LoadVehicleFile(table, path_);
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Duplicate index value. Operation aborted.");
    }
    ASSERT_EQ(table.Size(), 2u);
    EXPECT_EQ(table.Row(0).LICZNIK_ODCZYTOW, 1);
    EXPECT_EQ(table.Find("B"), 1u);
    EXPECT_EQ(ReadVehicleFile(path_).rows.size(), 3u);
}
