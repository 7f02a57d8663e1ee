#include "recovery/filesystems/fat/FatDirectoryEntry.h"

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

// A long-name entry of the short entry with up to 13 characters of text (ASCII here), NUL-terminated
// and 0xFFFF-padded, carrying the short entry's checksum.
Bytes longEntry(std::uint8_t sequence, std::string_view text, const Bytes& shortEntryOfName) {
    Bytes entry(32, 0);
    entry[0] = sequence;
    entry[11] = 0x0F;
    entry[13] = shortNameChecksum(shortEntryOfName);
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

Bytes deletedEntry(std::string_view name11) {
    Bytes entry = shortEntry(name11);
    entry[0] = 0xE5;
    return entry;
}

TEST(FatDirectoryEntry, LongNamesJoinInSequenceAndTrimTrailingDotsAndSpaces) {
    const Bytes abc = shortEntry("ABCDEF~1TXT");
    const Bytes directory = join({longEntry(0x42, "no.txt", abc), longEntry(0x01, "abcdefghijklm", abc), abc});
    EXPECT_EQ(fatLongName(directory, 64), "abcdefghijklmno.txt");
    const Bytes name = shortEntry("NAME       ");
    EXPECT_EQ(fatLongName(join({longEntry(0x41, "name . .", name), name}), 32), "name");
    EXPECT_EQ(fatLongName(name, 0), std::nullopt);
}

// Each entry carries the checksum of its short entry; a live name is taken in sequence up to the
// entry flagged last, and one without it is no name.
TEST(FatDirectoryEntry, LiveLongNamesNeedTheirChecksumSequenceAndLastEntry) {
    const Bytes abc = shortEntry("ABCDEF~1TXT");
    const Bytes other = shortEntry("OTHER~1 TXT");
    EXPECT_EQ(fatLongName(join({longEntry(0x42, "no.txt", other), longEntry(0x01, "abcdefghijklm", abc), abc}), 64),
              std::nullopt)
        << "the last entry belongs to another short entry";
    EXPECT_EQ(fatLongName(join({longEntry(0x02, "no.txt", abc), longEntry(0x01, "abcdefghijklm", abc), abc}), 64),
              std::nullopt)
        << "no entry is flagged last";
    EXPECT_EQ(fatLongName(join({longEntry(0x43, "no.txt", abc), longEntry(0x01, "abcdefghijklm", abc), abc}), 64),
              std::nullopt)
        << "sequence 3 after 1";
    const Bytes x = shortEntry("X          ");
    EXPECT_EQ(fatLongName(join({longEntry(0x40, "x", x), x}), 32), std::nullopt) << "sequence number 0";
    // Twenty-one entries in sequence, none flagged last: bounded, and no name.
    Bytes many;
    for (int sequence = 21; sequence >= 1; --sequence) {
        const Bytes part = longEntry(static_cast<std::uint8_t>(sequence), "aaaaaaaaaaaaa", x);
        many.insert(many.end(), part.begin(), part.end());
    }
    many.insert(many.end(), x.begin(), x.end());
    EXPECT_EQ(fatLongName(many, 21 * 32), std::nullopt);
}

// A deleted entry's first byte is gone, and with it the checksum's input: the entries must agree on
// a checksum that a legal first byte gives, and the name must end in the entry farthest back.
TEST(FatDirectoryEntry, DeletedLongNamesAreCheckedWithoutTheirLostFirstByte) {
    const Bytes original = shortEntry("HOLIDA~1JPG");
    const Bytes entry = deletedEntry("HOLIDA~1JPG");
    const Bytes first = longEntry(0xE5, "Holiday in Ro", original);
    const Bytes second = longEntry(0xE5, "me 2019.jpg", original);
    EXPECT_EQ(fatLongName(join({second, first, entry}), 64), "Holiday in Rome 2019.jpg");

    // The farthest slot taken by a new file (here a live short entry): the name is cut, so none.
    EXPECT_EQ(fatLongName(join({shortEntry("NEW     TXT"), first, entry}), 64), std::nullopt);
    // The slot taken by a new file's live long-name entry, or a deleted one of another file.
    const Bytes other = shortEntry("OTHERF~1PNG");
    EXPECT_EQ(fatLongName(join({longEntry(0x41, "otherfile.png", other), first, entry}), 64), std::nullopt);
    EXPECT_EQ(fatLongName(join({longEntry(0xE5, "other.png", other), first, entry}), 64), std::nullopt);

    // A name that fills its entry exactly ends there when its extension names the short name's kind.
    const Bytes img = shortEntry("IMG_00~1JPG");
    EXPECT_EQ(fatLongName(join({shortEntry("NEW     TXT"), longEntry(0xE5, "IMG_00001.JPG", img), deletedEntry("IMG_00~1JPG")}), 64),
              "IMG_00001.JPG");
    // A checksum that no legal first byte gives: the entry is taken as another file's.
    Bytes forged = longEntry(0xE5, "x.jpg", img);
    forged[13] = static_cast<std::uint8_t>(shortNameChecksum(shortEntry("aMG_00~1JPG")));
    EXPECT_EQ(fatLongName(join({forged, deletedEntry("IMG_00~1JPG")}), 32), std::nullopt);
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
