#include <sys/stat.h>

#include <ctime>

#include "common/ServerError.hpp"
#include "download/ArchiveWriter.hpp"
#include "download/DownloadTestSupport.hpp"
#include "download/MemoryImage.hpp"
#include "unitsim/BulkTransferBuilder.hpp"

#ifdef SERWER_HAVE_LIBZIP
#include <zip.h>
#endif

using namespace serwer;

namespace {
using ArchiveWriterTest = InFreshDirectory;
const DateTime kWhen = *DateTime::Make(2024, 3, 5, 14, 7, 9);

Bytes SampleImage() {
    Bytes image;
    for (int p = 0; p < MemoryImage::kPages; ++p) image += PatternPage(p);
    return image;
}

std::size_t FilesIn(const std::string& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}
}  // namespace

TEST(ArchiveFileName, DirectoryRegistrationStampAndExtensionJoined) {
    EXPECT_EQ(ArchiveFileName("dane/", "WX12345", kWhen), "dane/WX123452024_03_05_14_07_09.sve");
    EXPECT_EQ(ArchiveFileName("dane", "WX12345", kWhen), "dane/WX123452024_03_05_14_07_09.sve");
}

TEST(ArchiveSavedLogLine, RegistrationThenByteCount) {
    EXPECT_EQ(ArchiveSavedLogLine("WX12345", 262144), "WX12345zapisano 262144 bajtow danych w pliku sve");
}

#ifdef SERWER_HAVE_LIBZIP
TEST_F(ArchiveWriterTest, ArchiveHoldsTheImageAsOneDeflatedEntrySource) {
    ASSERT_TRUE(ArchiveWriterUsable());
    const Bytes image = SampleImage();
    const std::string path = ArchiveFileName(dir_, "WX12345", kWhen);
    WriteArchive(path, image, kWhen);
    EXPECT_EQ(FilesIn(dir_), 1u);

    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    ASSERT_NE(archive, nullptr) << error;
    ASSERT_EQ(zip_get_num_entries(archive, 0), 1);
    zip_stat_t stat;
    ASSERT_EQ(zip_stat_index(archive, 0, 0, &stat), 0);
    EXPECT_STREQ(stat.name, "SOURCE");
    EXPECT_EQ(stat.size, 262144u);
    EXPECT_EQ(stat.comp_method, ZIP_CM_DEFLATE);
    EXPECT_EQ(stat.encryption_method, ZIP_EM_NONE);
    std::tm local{};
    localtime_r(&stat.mtime, &local);
    EXPECT_EQ(std::vector<int>(
                  {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec}),
              std::vector<int>({2024, 3, 5, 14, 7, 8}));  // DOS time has two-second steps
    zip_uint8_t opsys = 0xFF;
    zip_uint32_t attributes = 0xFFFFFFFF;
    ASSERT_EQ(zip_file_get_external_attributes(archive, 0, 0, &opsys, &attributes), 0);
    EXPECT_EQ(attributes, 0u);

    Bytes content(262144, '\0');
    zip_file_t* entry = zip_fopen_index(archive, 0, 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(zip_fread(entry, content.data(), content.size()), 262144);
    zip_fclose(entry);
    zip_close(archive);
    EXPECT_EQ(content, image);
}

TEST_F(ArchiveWriterTest, ExistingArchiveIsNeverReplaced) {
    const std::string path = ArchiveFileName(dir_, "WX12345", kWhen);
    std::ofstream(path) << "old";
    try {
        WriteArchive(path, SampleImage(), kWhen);
        FAIL() << "written";
    } catch (const ServerError& e) {
        EXPECT_EQ(std::string(e.what()), "Blad zapisu pliku sve " + path + " : plik juz istnieje");
    }
    EXPECT_EQ(ReadWholeFile(path), "old");
    EXPECT_EQ(FilesIn(dir_), 1u);
}
#endif

TEST_F(ArchiveWriterTest, MissingDirectoryFailsAndLeavesNothing) {
    const std::string path = ArchiveFileName(dir_ + "/brak", "WX12345", kWhen);
    EXPECT_THROW(WriteArchive(path, SampleImage(), kWhen), ServerError);
    EXPECT_EQ(FilesIn(dir_), 0u);
}
