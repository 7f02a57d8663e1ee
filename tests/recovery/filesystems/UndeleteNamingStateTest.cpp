#include "recovery/filesystems/UndeleteNamingState.h"

#include <gtest/gtest.h>

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
