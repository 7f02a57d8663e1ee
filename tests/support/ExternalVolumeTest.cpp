#include "support/volumes/ExternalVolume.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

ExternalVolume volumeWith(std::optional<std::string> fileSystem) {
    ExternalVolume volume;
    volume.name = "CAMERA";
    volume.bsdName = "sdb";
    volume.fileSystemName = std::move(fileSystem);
    return volume;
}

TEST(ExternalVolume, DevicePathsUseTheKernelName) {
    const auto volume = volumeWith(std::nullopt);
    EXPECT_EQ(volume.id(), "sdb");
    EXPECT_EQ(volume.devicePath(), "/dev/sdb");
    EXPECT_EQ(volume.rawDevicePath(), "/dev/sdb");  // no separate raw node on Linux
    EXPECT_FALSE(volume.isImageFile());
}

TEST(ExternalVolume, AnImageFileIsOpenedAtItsOwnPath) {
    auto volume = volumeWith(std::nullopt);
    volume.bsdName = "/home/ann/card.img";
    EXPECT_TRUE(volume.isImageFile());
    EXPECT_EQ(volume.devicePath(), "/home/ann/card.img");
    EXPECT_EQ(volume.rawDevicePath(), "/home/ann/card.img");
}

TEST(ExternalVolume, QuickUndeleteNeedsAFatFamilyFileSystem) {
    EXPECT_TRUE(volumeWith("exFAT").supportsQuickUndeleteScan());
    EXPECT_TRUE(volumeWith("FAT \u00B7 APFS").supportsQuickUndeleteScan());
    EXPECT_FALSE(volumeWith("APFS").supportsQuickUndeleteScan());
    EXPECT_FALSE(volumeWith("NTFS").supportsQuickUndeleteScan());
    EXPECT_FALSE(volumeWith(std::nullopt).supportsQuickUndeleteScan());
}

TEST(ExternalVolume, DisplaySizeInDecimalFileUnits) {
    const std::vector<std::pair<std::uint64_t, std::string>> table = {
        {0, "Zero KB"},          {1, "1 byte"},          {999, "999 bytes"},      {1000, "1 KB"},
        {1499, "1 KB"},          {1500, "2 KB"},         {999499, "999 KB"},      {999999, "1 MB"},
        {1500000, "1.5 MB"},     {31914983424, "31.91 GB"}, {64000000000, "64 GB"}, {2000398934016, "2 TB"},
        {UINT64_MAX, "9.22 EB"},  // capped at the largest signed count
    };
    for (const auto& [bytes, text] : table) {
        auto volume = volumeWith(std::nullopt);
        volume.sizeBytes = bytes;
        EXPECT_EQ(volume.displaySize(), text) << bytes;
    }
}

TEST(ExternalVolume, EqualityComparesEveryField) {
    auto a = volumeWith("FAT");
    auto b = a;
    EXPECT_EQ(a, b);
    b.isMounted = true;
    EXPECT_NE(a, b);
    b = a;
    b.partitionScheme = "MBR";
    EXPECT_NE(a, b);
}

} // namespace
} // namespace vantrel
