#include "platform/disks/DiskMounter.h"

#include "tests/fixtures/FakeSysfs.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

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

TEST(DiskMounter, RefusesToReplayAMountThatIsNoDevice) {
    const ProcessRunner runner(std::vector<std::filesystem::path>{});
    EXPECT_EQ(DiskMounter::remount({"tmpfs", "/mnt", "tmpfs", "rw"}, runner), "not a device mount: tmpfs");
    EXPECT_EQ(DiskMounter::remount({"/dev/sdb1", "/mnt", "vfat", "rw"}, runner), "mount could not start: Permission denied");
}

} // namespace
} // namespace vantrel
