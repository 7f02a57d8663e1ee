#include "platform/disks/DiskMounter.h"

#include "tests/fixtures/FakeSysfs.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vantrel {
namespace {

TEST(DiskMounter, FindsTheMountsOfADiskAndItsPartitionsDeepestFirst) {
    test::TempDir dir;
    test::FakeSysfs sysfs(dir.path());
    sysfs.addDisk({"sda", "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", 1000000, 8, 0, false, {}});
    sysfs.addPartition("sda", "sda1", 1, 900000, 8, 1);
    sysfs.addDisk({"sdb", "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", 100000, 8, 16, true, {}});
    sysfs.addPartition("sdb", "sdb1", 1, 50000, 8, 17);
    sysfs.addPartition("sdb", "sdb2", 2, 40000, 8, 18);
    sysfs.addMount(8, 1, "/", "ext4", "/dev/sda1");
    sysfs.addMount(8, 17, "/media/card", "vfat", "/dev/sdb1");
    sysfs.addMount(0, 40, "/media/card/tmp", "tmpfs", "tmpfs");
    sysfs.addMount(8, 18, "/media/card/inner", "exfat", "/dev/sdb2");
    sysfs.addMount(8, 17, "/srv/again", "vfat", "/dev/sdb1");

    const auto table = MountTable::read(sysfs.mountInfoPath());
    ASSERT_TRUE(table);
    std::vector<std::string> targets;
    for (const auto& entry : DiskMounter::mountsOfDisk("sdb", *table, sysfs.sysfsRoot())) targets.push_back(entry.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"/media/card/inner", "/srv/again", "/media/card"}));
    EXPECT_EQ(DiskMounter::kernelName(8, 18, sysfs.sysfsRoot()), "sdb2");
    EXPECT_FALSE(DiskMounter::kernelName(9, 9, sysfs.sysfsRoot()));
    EXPECT_TRUE(DiskMounter::mountsOfDisk("sdc", *table, sysfs.sysfsRoot()).empty());
}

TEST(DiskMounter, ReplaysPerMountAndSuperblockOptionsOnce) {
    MountEntry entry;
    entry.mountOptions = "rw,nosuid,nodev,relatime";
    entry.superOptions = "rw,fmask=0022,dmask=0022,codepage=437,errors=remount-ro";
    EXPECT_EQ(DiskMounter::replayOptions(entry), "rw,nosuid,nodev,relatime,fmask=0022,dmask=0022,codepage=437,errors=remount-ro");
}

TEST(DiskMounter, MountsBackOnlyOntoTheVeryFolderItWasTakenFrom) {
    const ProcessRunner runner(std::vector<std::filesystem::path>{});
    EXPECT_EQ(DiskMounter::remount({"tmpfs", "/mnt", "tmpfs", "rw"}, runner), "not a device mount: tmpfs");
    EXPECT_EQ(DiskMounter::remount({"/dev/sdb1", "/mnt", "vfat", "rw"}, runner),
              "the folder /mnt was not found when it was unmounted");

    test::TempDir dir;
    const auto folder = dir / "card";
    std::filesystem::create_directory(folder);
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    UnmountedMount record{"/dev/sdb1", folder.string(), "vfat", "rw"};
    record.folderDevice = info.st_dev;
    record.folderInode = info.st_ino;
    // The folder as it was: only the runner (which may run nothing here) stands in the way.
    EXPECT_EQ(DiskMounter::remount(record, runner), "mount could not start: Permission denied");

    // Renamed away and replaced by another folder, or by a link to the folder itself: refused.
    std::filesystem::rename(folder, dir / "moved");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(DiskMounter::remount(record, runner), "the mount point " + folder.string() + " is no longer the folder it was unmounted from");
    std::filesystem::remove(folder);
    std::filesystem::create_directory_symlink(dir / "moved", folder);
    const auto throughLink = DiskMounter::remount(record, runner);
    ASSERT_TRUE(throughLink);
    EXPECT_NE(throughLink->find("cannot be reached without following a link (" + folder.string() + " is a symbolic link)"),
              std::string::npos)
        << *throughLink;
}

TEST(DiskMounter, TellsWhoAMountIsForAndWhetherItIsABindMount) {
    const auto entry = [](const std::string& line) { return MountTable::parseLine(line).value(); };
    const auto card = entry("40 30 8:17 / /mnt/card rw,nosuid - vfat /dev/sdb1 rw,uid=1000,gid=1000,fmask=0022");
    EXPECT_EQ(DiskMounter::mountOwner(card), 1000u);
    EXPECT_FALSE(DiskMounter::isBindMount(card));
    const auto fuse = entry("41 30 8:18 / /mnt/ntfs rw - fuseblk /dev/sdb2 rw,user_id=1001,group_id=1001,allow_other");
    EXPECT_EQ(DiskMounter::mountOwner(fuse), 1001u);
    const auto rootsOwn = entry("42 30 8:33 / /mnt/stick rw,relatime - ext4 /dev/sdc1 rw");
    EXPECT_FALSE(DiskMounter::mountOwner(rootsOwn));
    // /media/root/... names root's folder; a mount right at /media/NAME is no user's disk folder.
    EXPECT_EQ(DiskMounter::mountOwner(entry("43 30 8:33 / /media/root/STICK rw - ext4 /dev/sdc1 rw")), 0u);
    EXPECT_FALSE(DiskMounter::mountOwner(entry("44 30 8:33 / /media/root rw - ext4 /dev/sdc1 rw")));

    EXPECT_TRUE(DiskMounter::isBindMount(entry("45 30 8:33 /photos /srv/photos rw - ext4 /dev/sdc1 rw")));
    EXPECT_FALSE(DiskMounter::isBindMount(entry("46 30 0:50 /home /home rw - btrfs /dev/sdd1 rw,subvolid=256,subvol=/home")))
        << "a subvolume mounted by name is put back by its options";
}

} // namespace
} // namespace vantrel
