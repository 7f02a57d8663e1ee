#include "platform/files/SmallFile.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vantrel {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SmallFile, ReadsOnlySmallRegularFiles) {
    test::TempDir dir;
    test::writeFile(dir / "flag", bytesOf("on\n"));
    EXPECT_EQ(SmallFile::readRegular(dir / "flag", 64), "on\n");

    test::writeFile(dir / "big", Bytes(65, 'x'));
    EXPECT_FALSE(SmallFile::readRegular(dir / "big", 64));
    EXPECT_EQ(SmallFile::readRegular(dir / "big", 65)->size(), 65u);

    std::filesystem::create_symlink(dir / "flag", dir / "link");
    EXPECT_FALSE(SmallFile::readRegular(dir / "link", 64));

    // A FIFO would block a plain open until a writer comes; this returns at once.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(SmallFile::readRegular(dir / "fifo", 64));

    EXPECT_FALSE(SmallFile::readRegular(dir.path(), 64));
    EXPECT_FALSE(SmallFile::readRegular(dir / "missing", 64));
}

TEST(SmallFile, WritesThroughRenameAndReplacesALinkInsteadOfFollowingIt) {
    test::TempDir dir;
    const auto victim = dir / "victim";
    test::writeFile(victim, bytesOf("keep"));
    std::filesystem::create_symlink(victim, dir / "flag");
    ASSERT_TRUE(SmallFile::writeAtomically(dir / "flag", "1", 0644));
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "flag"));
    EXPECT_EQ(SmallFile::readRegular(dir / "flag", 64), "1");
    EXPECT_EQ(SmallFile::readRegular(victim, 64), "keep");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "flag").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    // Nothing is left behind beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);

    EXPECT_FALSE(SmallFile::writeAtomically(dir / "no-folder" / "flag", "1", 0644));
}

} // namespace
} // namespace vantrel
