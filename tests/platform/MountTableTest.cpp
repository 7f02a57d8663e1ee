#include "platform/disks/MountTable.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(MountTable, ParsesFieldsOptionalTagsAndEscapes) {
    const auto entries = MountTable::parse(
        "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
        "112 29 8:17 / /media/user/MY\\040CARD rw,nosuid,nodev shared:75 propagate_from:2 - vfat /dev/sdb1 rw,fmask=0022\n"
        "22 26 0:21 / /sys rw,relatime - sysfs sysfs rw\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].mountId, 36u);
    EXPECT_EQ(entries[0].parentId, 35u);
    EXPECT_EQ(entries[0].major, 98u);
    EXPECT_EQ(entries[0].root, "/mnt1");
    EXPECT_EQ(entries[0].target, "/mnt2");
    EXPECT_EQ(entries[0].mountOptions, "rw,noatime");
    EXPECT_EQ(entries[0].fileSystemType, "ext3");
    EXPECT_EQ(entries[0].source, "/dev/root");
    EXPECT_EQ(entries[0].superOptions, "rw,errors=continue");
    EXPECT_EQ(entries[1].target, "/media/user/MY CARD");
    EXPECT_EQ(entries[1].minor, 17u);
    EXPECT_EQ(entries[1].source, "/dev/sdb1");
    EXPECT_EQ(entries[2].fileSystemType, "sysfs");
}

TEST(MountTable, SkipsMalformedLines) {
    const auto entries = MountTable::parse(
        "\n"
        "x 1 8:1 / /a rw - vfat /dev/sda1 rw\n"          // id not a number
        "1 1 8 / /a rw - vfat /dev/sda1 rw\n"            // no minor
        "1 1 8:1 / /a rw shared:1 vfat /dev/sda1 rw\n"   // no separator
        "1 1 8:1 / /a rw -\n"                            // no type or source
        "1 1 99999999999:1 / /a rw - vfat /dev/x rw\n"   // major out of range
        "7 1 8:1 / /ok rw - vfat /dev/sda1");            // last line without a line feed, no super options
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].target, "/ok");
    EXPECT_EQ(entries[0].superOptions, "");
}

TEST(MountTable, UnescapesOnlyOctalTriples) {
    EXPECT_EQ(MountTable::unescape("a\\040b\\011c\\134d"), "a b\tc\\d");
    EXPECT_EQ(MountTable::unescape("\\04"), "\\04");
    EXPECT_EQ(MountTable::unescape("\\777"), "\\777");
    EXPECT_EQ(MountTable::unescape("x\\"), "x\\");
}

TEST(MountTable, ReadsThisProcessTable) {
    const auto entries = MountTable::read();
    ASSERT_TRUE(entries);
    EXPECT_TRUE(std::any_of(entries->begin(), entries->end(), [](const MountEntry& e) { return e.target == "/"; }));
    test::TempDir dir;
    EXPECT_FALSE(MountTable::read(dir / "missing"));
}

} // namespace
} // namespace vantrel
