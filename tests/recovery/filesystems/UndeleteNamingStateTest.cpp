#include "recovery/filesystems/UndeleteNamingState.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace vantrel;

TEST(UndeleteNamingState, KeepsAGoodNameOnceThenNumbers) {
    UndeleteNamingState state;
    EXPECT_EQ(state.suggestedName("IMG_0001.JPG", RecoveredFileKind::jpeg), "IMG_0001.JPG");
    EXPECT_EQ(state.suggestedName("img_0001.jpg", RecoveredFileKind::jpeg), "recovered_00001.jpg");
    EXPECT_EQ(state.suggestedName("Holiday.jpg. ", RecoveredFileKind::jpeg), "Holiday.jpg");
    EXPECT_EQ(state.suggestedName("Holiday.jpg", RecoveredFileKind::jpeg), "recovered_00002.jpg");
}

TEST(UndeleteNamingState, WeakNames) {
    for (const char* weak : {"FILE0001.JPG", "file.txt", "PHOTO~1.JPG", "~$REPORT.DOC", "", "   ", ". ."})
        EXPECT_TRUE(UndeleteNamingState::isWeakName(weak)) << weak;
    for (const char* strong : {"FILE00001.JPG", "Holiday.jpeg", ".hidden"})
        EXPECT_FALSE(UndeleteNamingState::isWeakName(strong)) << strong;
    EXPECT_FALSE(UndeleteNamingState::isUsableUndeleteName("FILE0001.JPG"));
    EXPECT_TRUE(UndeleteNamingState::isUsableUndeleteName("Holiday.jpeg"));
    EXPECT_EQ(UndeleteNamingState::trimTrailingDotsAndSpaces(".a. ."), ".a");
}

TEST(UndeleteNamingState, NumberedNamesCountPerStateAndPassOverNamesHandedOut) {
    UndeleteNamingState state;
    // A file of the card that was itself called recovered_00001.jpg keeps its name; the series goes on
    // past it, so no two names of one state are the same.
    EXPECT_EQ(state.suggestedName("Recovered_00001.JPG", RecoveredFileKind::jpeg), "Recovered_00001.JPG");
    EXPECT_EQ(state.numberedName(RecoveredFileKind::jpeg), "recovered_00002.jpg");
    EXPECT_EQ(state.suggestedName("FILE0001.PNG", RecoveredFileKind::png), "recovered_00003.png");
    EXPECT_EQ(state.numberedName(RecoveredFileKind::unknown), "recovered_00004.bin");
    state.serial = 123'455;
    EXPECT_EQ(state.numberedName(RecoveredFileKind::unknown), "recovered_123456.bin");
}

TEST(UndeleteNamingState, NamesFromDisksBecomeSafeFileNames) {
    UndeleteNamingState state;
    EXPECT_EQ(state.suggestedName("../../etc/passwd", RecoveredFileKind::unknown), ".._.._etc_passwd");
    EXPECT_EQ(state.suggestedName("..", RecoveredFileKind::jpeg), "recovered_00001.jpg");
    EXPECT_EQ(state.suggestedName("a\nb\x01.jpg", RecoveredFileKind::jpeg), "a_b_.jpg");
    EXPECT_EQ(state.suggestedName("back\\slash.png", RecoveredFileKind::png), "back_slash.png");
    EXPECT_EQ(UndeleteNamingState::makeSafeFileName("bad\xFF\xC3utf8"), "bad__utf8");
    EXPECT_EQ(UndeleteNamingState::makeSafeFileName("caf\xC3\xA9"), "caf\xC3\xA9");

    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 400 bytes of two-byte letters
    const std::string safe = UndeleteNamingState::makeSafeFileName(longName + ".jpeg");
    EXPECT_LE(safe.size(), UndeleteNamingState::maxNameBytes);
    EXPECT_TRUE(safe.ends_with("\xC3\xA9.jpeg"));
    const std::string noExtension = UndeleteNamingState::makeSafeFileName(longName);
    EXPECT_EQ(noExtension.size(), 254u);  // cut before a split character
}

TEST(UndeleteNamingState, RenamingInPlaceGivesTheSuggestedName) {
    // One state suggests, the other renames in place: kept names, names that lose trailing full stops,
    // unsafe ones, weak ones, repeats in another letter case, and numbered names a card already had.
    const std::vector<std::pair<std::string, RecoveredFileKind>> names{
        {"IMG_0001.JPG", RecoveredFileKind::jpeg},        {"img_0001.jpg", RecoveredFileKind::jpeg},
        {"Holiday.jpg. ", RecoveredFileKind::jpeg},       {"holiday.JPG", RecoveredFileKind::jpeg},
        {"a\nb.png", RecoveredFileKind::png},             {"FILE0001.PNG", RecoveredFileKind::png},
        {"recovered_00004.PDF", RecoveredFileKind::pdf},  {"..", RecoveredFileKind::pdf},
        {"caf\xC3\xA9 \xC3\x89t\xC3\xA9.mov", RecoveredFileKind::mov}, {"CAF\xC3\xA9 \xC3\x89t\xC3\xA9.MOV", RecoveredFileKind::mov},
        {"bad\xFF.jpg", RecoveredFileKind::jpeg},         {std::string(300, 'x') + ".jpeg", RecoveredFileKind::jpeg}};
    UndeleteNamingState suggesting, renaming;
    for (const auto& [name, kind] : names) {
        SCOPED_TRACE(name);
        const std::string suggested = suggesting.suggestedName(name, kind);
        std::string renamed = name;
        EXPECT_EQ(renaming.rename(renamed, kind), suggested != name);
        EXPECT_EQ(renamed, suggested);
    }
    EXPECT_EQ(renaming.serial, suggesting.serial);
    EXPECT_EQ(renaming.usedNames.size(), names.size());
}

TEST(UndeleteNamingState, HandedOutNamesAreFoundInAnyASCIILetterCaseAcrossGrowth) {
    // Enough names to grow every table of the set several times, checked against a plain set.
    FoldedNameSet names;
    std::set<std::string> expected;
    const auto folded = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    for (int i = 0; i < 50'000; ++i) {
        const std::string name = (i % 3 ? "IMG_" : "Recovered_") + std::to_string(i % 40'000) + (i % 2 ? ".JPG" : ".jpg");
        ASSERT_EQ(names.insert(name), expected.insert(folded(name)).second) << name;
    }
    EXPECT_EQ(names.size(), expected.size());
    EXPECT_TRUE(names.contains("img_1.jPg"));
    EXPECT_FALSE(names.contains("img_1.jpeg"));
    // Letters beyond ASCII keep their case: É and é are two names.
    EXPECT_TRUE(names.insert("\xC3\x89t\xC3\xA9"));
    EXPECT_TRUE(names.insert("\xC3\xA9t\xC3\xA9"));
    EXPECT_FALSE(names.insert("\xC3\x89T\xC3\xA9"));
    EXPECT_TRUE(names.insert(""));
    EXPECT_FALSE(names.insert(""));
}
