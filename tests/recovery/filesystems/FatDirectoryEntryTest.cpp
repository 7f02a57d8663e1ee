#include "recovery/filesystems/FatDirectoryEntry.h"

#include "recovery/filesystems/KindForFileName.h"

#include <gtest/gtest.h>

#include <string_view>

namespace vantrel {
namespace {

Bytes shortEntry(std::string_view name11, std::uint8_t attributes = 0x20) {
    Bytes entry(32, 0);
    for (std::size_t i = 0; i < 11; ++i) entry[i] = static_cast<std::uint8_t>(name11[i]);
    entry[11] = attributes;
    return entry;
}

// A long-name entry with up to 13 characters of text (ASCII here), NUL-terminated and 0xFFFF-padded.
Bytes longEntry(std::uint8_t sequence, std::string_view text) {
    Bytes entry(32, 0);
    entry[0] = sequence;
    entry[11] = 0x0F;
    constexpr std::size_t positions[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t i = 0; i < 13; ++i) {
        const std::uint16_t unit = i < text.size() ? static_cast<std::uint8_t>(text[i]) : (i == text.size() ? 0 : 0xFFFF);
        entry[positions[i]] = static_cast<std::uint8_t>(unit);
        entry[positions[i] + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
    return entry;
}

Bytes join(std::initializer_list<Bytes> entries) {
    Bytes out;
    for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
    return out;
}

TEST(FatDirectoryEntry, ShortNamesOfLiveAndDeletedEntries) {
    Bytes deleted = shortEntry("IMG_0001JPG");
    deleted[0] = 0xE5;
    EXPECT_EQ(fatShortName(deleted), "MG_0001.JPG");
    EXPECT_EQ(kindForFileName(fatShortName(deleted)), RecoveredFileKind::jpeg);
    EXPECT_EQ(fatShortName(shortEntry("README     ")), "README");
    Bytes foreign = shortEntry("CAF\x82    TXT");
    EXPECT_EQ(fatShortName(foreign), "FILE.TXT");
}

TEST(FatDirectoryEntry, LongNamesJoinInSequenceAndTrimTrailingDotsAndSpaces) {
    const Bytes directory = join({longEntry(0x42, "no.txt"), longEntry(0x01, "abcdefghijklm"), shortEntry("ABCDEF~1TXT")});
    EXPECT_EQ(fatLongName(directory, 64), "abcdefghijklmno.txt");
    const Bytes dotted = join({longEntry(0x41, "name . ."), shortEntry("NAME       ")});
    EXPECT_EQ(fatLongName(dotted, 32), "name");
    EXPECT_EQ(fatLongName(shortEntry("NAME       "), 0), std::nullopt);
}

TEST(FatDirectoryEntry, DeletedLongNamesAreReadWithoutSequenceTest) {
    Bytes first = longEntry(0xE5, "Holiday photo");
    Bytes second = longEntry(0xE5, ".jpg");
    Bytes entry = shortEntry("HOLIDA~1JPG");
    entry[0] = 0xE5;
    const Bytes directory = join({second, first, entry});
    EXPECT_EQ(fatLongName(directory, 64), "Holiday photo.jpg");
    // A live entry's long name stops at a sequence number of 0.
    const Bytes broken = join({longEntry(0x40, "x"), shortEntry("X          ")});
    EXPECT_EQ(fatLongName(broken, 32), std::nullopt);
}

TEST(FatDirectoryEntry, LongNamesStopAfterTwentyEntries) {
    Bytes directory;
    for (int i = 0; i < 100; ++i) {
        const Bytes part = longEntry(0x01, "aaaaaaaaaaaaa");
        directory.insert(directory.end(), part.begin(), part.end());
    }
    const Bytes entry = shortEntry("A          ");
    directory.insert(directory.end(), entry.begin(), entry.end());
    EXPECT_EQ(fatLongName(directory, 100 * 32)->size(), 20u * 13);
}

TEST(FatDirectoryEntry, HighClusterWordCountsOnlyOnFat32) {
    Bytes entry = shortEntry("A       JPG");
    entry[20] = 0x01;  // high word 1
    entry[26] = 0x05;  // low word 5
    VolumeGeometry fat16;
    fat16.fileSystem = DetectedFileSystem::fat16;
    fat16.fatEntryBits = 16;
    VolumeGeometry fat32 = fat16;
    fat32.fileSystem = DetectedFileSystem::fat32;
    fat32.fatEntryBits = 32;
    EXPECT_EQ(FatDirectoryEntry::parse(entry, fat16).firstCluster, 5u);
    EXPECT_EQ(FatDirectoryEntry::parse(entry, fat32).firstCluster, 0x10005u);
}

TEST(KindForFileName, MapsExtensionsIgnoringCase) {
    EXPECT_EQ(kindForFileName("Photo.JPEG"), RecoveredFileKind::jpeg);
    EXPECT_EQ(kindForFileName("clip.MOV"), RecoveredFileKind::mov);
    EXPECT_EQ(kindForFileName("voice.opus"), RecoveredFileKind::ogg);
    EXPECT_EQ(kindForFileName("budget.xls"), RecoveredFileKind::doc);
    EXPECT_EQ(kindForFileName("archive.tar.zip"), RecoveredFileKind::zip);
    EXPECT_EQ(kindForFileName("notes"), RecoveredFileKind::unknown);
    EXPECT_EQ(kindForFileName("NOTES.TXT"), RecoveredFileKind::unknown);
}

} // namespace
} // namespace vantrel
