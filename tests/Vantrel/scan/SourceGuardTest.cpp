// The application's own guard of the disk being read, against the kernel: a folder on a loop device over
// the scanned image (or the scanned loop device) is on the source, a folder beside the image is not, a
// folder that cannot be opened is unknown; and the rules by which a disk seen now is the scanned one.

#include "Vantrel/scan/SourceGuard.h"

#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vantrel {
namespace {

using BackingStorage::Overlap;

TEST(SourceGuard, AFolderOnALoopDeviceOverTheScannedImageIsOnTheSource) {
    const auto reason = test::LoopDevice::unavailableReason();
    if (!reason.empty() || !test::haveProgram("mkfs.ext4")) GTEST_SKIP() << "needs loop devices and mkfs.ext4: " << reason;
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::runOrFail({"mkfs.ext4", "-q", "-F", "-b", "4096", image.string(), "16M"});
    test::LoopDevice loop(image, 512, false);
    ASSERT_FALSE(loop.path().empty());
    const auto card = dir / "card";
    std::filesystem::create_directory(card);
    test::runOrFail({"mount", "-t", "ext4", loop.path(), card.string()});
    struct Unmount {
        std::filesystem::path target;
        ~Unmount() { test::run({"umount", target.string()}); }
    } unmount{card};
    std::filesystem::create_directory(card / "DCIM");

    // Scanned as the image file or as the loop device over it, mounted again by the user.
    for (const std::string& source : {image.string(), loop.path()}) {
        EXPECT_EQ(SourceGuard::folderOverlap(source, card).overlap, Overlap::meets) << source;
        EXPECT_EQ(SourceGuard::folderOverlap(source, card / "DCIM").overlap, Overlap::meets) << source;
        EXPECT_EQ(SourceGuard::folderOverlap(source, dir / "missing").overlap, Overlap::destinationUnknown) << source;
    }
    // What the kernel shows of the loop device: its size, and a medium number that a new attachment changes.
    const auto seen = SourceGuard::observe(loop.path(), {});
    EXPECT_TRUE(seen.isBlockDevice);
    EXPECT_EQ(seen.sizeBytes, std::optional<std::uint64_t>(16 << 20));
    if (seen.mediaSequence) {
        EXPECT_TRUE(SourceGuard::sameDisk(seen, SourceGuard::observe(loop.path(), {})));
    }
    EXPECT_TRUE(SourceGuard::observe(image.string(), {}).imageFile);

    // Beside the image, on the file system that holds it: writing there changes no byte of the image.
    const auto beside = SourceGuard::folderOverlap(image.string(), dir.path());
    EXPECT_TRUE(beside.overlap == Overlap::apart || beside.overlap == Overlap::destinationUnknown) << beside.reason;
    EXPECT_EQ(SourceGuard::folderOverlap((dir / "nothing").string(), dir.path()).overlap, Overlap::sourceUnknown);
}

TEST(SourceGuard, ALoopDevicesBackingFileIsFoundByNameWhereTheKernelDoesNotTellIt) {
    test::TempDir sysfs;
    test::TempDir files;
    const auto backing = files / "card.img";
    test::writeFile(backing, {1, 2, 3});
    std::filesystem::create_directories(sysfs / "block" / "loop987" / "loop");
    const std::string name = backing.string() + "\n";
    test::writeFile(sysfs / "block" / "loop987" / "loop" / "backing_file", Bytes(name.begin(), name.end()));
    struct stat info {};
    ASSERT_EQ(::stat(backing.c_str(), &info), 0);
    // No node /dev/loop987 to ask: the name sysfs shows, by the identity of the file there now.
    const auto found = SourceGuard::storageRoots(sysfs.path()).loopBacking("loop987");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->file, (FileIdentity{info.st_dev, info.st_ino}));
    // A file the kernel marks as deleted is not looked for under its old name.
    const std::string deleted = backing.string() + " (deleted)";
    test::writeFile(sysfs / "block" / "loop987" / "loop" / "backing_file", Bytes(deleted.begin(), deleted.end()));
    EXPECT_FALSE(SourceGuard::storageRoots(sysfs.path()).loopBacking("loop987"));
}

TEST(SourceGuard, TheSameDiskByMediumOrByIdsAndNeverWhenAnIdDisagrees) {
    auto disk = [](std::optional<std::uint64_t> medium, std::optional<std::string> serial, std::optional<std::string> table,
                   std::vector<std::string> fileSystems) {
        SourceGuard::DiskMark mark;
        mark.isBlockDevice = true;
        mark.mediaSequence = medium;
        mark.identity.serialNumber = std::move(serial);
        mark.identity.partitionTableId = std::move(table);
        mark.identity.fileSystemIds = std::move(fileSystems);
        return mark;
    };
    const auto scanned = disk(5, "READER-1", "aaaa", {"1234-ABCD"});
    EXPECT_TRUE(SourceGuard::sameDisk(scanned, disk(5, "READER-1", "aaaa", {"1234-ABCD"})));
    EXPECT_TRUE(SourceGuard::sameDisk(disk(5, {}, {}, {}), disk(5, {}, {}, {}))) << "the same medium, no ids";
    EXPECT_FALSE(SourceGuard::sameDisk(disk(5, {}, {}, {}), disk(6, {}, {}, {}))) << "a new medium, no ids";
    EXPECT_TRUE(SourceGuard::sameDisk(scanned, disk(6, "READER-1", "aaaa", {"1234-ABCD"}))) << "taken out and put back";
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, disk(6, "READER-1", "bbbb", {"1234-ABCD"})))
        << "another card in the same reader: its serial number is the reader's";
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, disk(6, "READER-1", {}, {"9999-0000"})));
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, disk(5, "READER-2", "aaaa", {"1234-ABCD"})));
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, disk(6, {}, {}, {}))) << "nothing tells";
    EXPECT_FALSE(SourceGuard::sameDisk(disk(std::nullopt, {}, {}, {}), disk(std::nullopt, {}, {}, {})));

    // A catalog's disk without ids on either side: only at the catalog's size, and never one with ids.
    auto sized = [&](std::optional<std::uint64_t> medium, std::optional<std::string> serial, std::uint64_t bytes,
                     std::string name = "sdb") {
        auto mark = disk(medium, std::move(serial), {}, {});
        mark.sizeBytes = bytes;
        mark.diskName = std::move(name);
        return mark;
    };
    EXPECT_FALSE(SourceGuard::sameDisk(sized({}, {}, 32 << 20), sized(12, {}, 32 << 20, "sdc"))) << "another name";
    EXPECT_TRUE(SourceGuard::sameDisk(sized({}, {}, 32 << 20), sized(12, {}, 32 << 20)));
    EXPECT_FALSE(SourceGuard::sameDisk(sized({}, {}, 32 << 20), sized(12, {}, 64 << 20)));
    EXPECT_FALSE(SourceGuard::sameDisk(sized({}, {}, 32 << 20), sized(12, "INTERNAL", 32 << 20))) << "a disk with ids";
    EXPECT_FALSE(SourceGuard::sameDisk(sized(11, {}, 32 << 20), sized(12, {}, 32 << 20)))
        << "in the scan's session a new medium is another card, whatever its size";

    SourceGuard::DiskMark image;
    image.imageFile = FileIdentity{1, 2};
    auto moved = image;
    moved.imageFile = FileIdentity{1, 3};
    EXPECT_TRUE(SourceGuard::sameDisk(image, image));
    EXPECT_FALSE(SourceGuard::sameDisk(image, moved)) << "another file under the image's name";
    EXPECT_FALSE(SourceGuard::sameDisk(image, scanned));
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, image));
    EXPECT_FALSE(SourceGuard::sameDisk(scanned, SourceGuard::DiskMark{})) << "nothing at the node";
}

} // namespace
} // namespace vantrel
