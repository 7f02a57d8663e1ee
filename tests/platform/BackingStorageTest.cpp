#include "platform/disks/BackingStorage.h"

#include "tests/fixtures/FakeSysfs.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

namespace vantrel {
namespace {

using Devices = std::set<std::string>;

// sdb and sdc with one partition each, dm-0 over sdb1, md0 over sdc1 and dm-0, and two loop devices.
class BackingStorageTest : public ::testing::Test {
protected:
    BackingStorageTest() : sysfs(dir.path()) {
        sysfs.addDisk({"sdb", "pci0000:00/usb1/1-1/6:0:0:0", 1000, 8, 16, true, {}});
        sysfs.addPartition("sdb", "sdb1", 1, 900, 8, 17);
        sysfs.addDisk({"sdc", "pci0000:00/usb1/1-2/7:0:0:0", 1000, 8, 32, true, {}});
        sysfs.addPartition("sdc", "sdc1", 1, 900, 8, 33);
        sysfs.addDisk({"dm-0", "virtual/block/dm-0", 900, 253, 0, false, {}});
        sysfs.setAttribute("class/block/dm-0/slaves/sdb1", "");
        sysfs.addDisk({"md0", "virtual/block/md0", 900, 9, 0, false, {}});
        sysfs.setAttribute("class/block/md0/slaves/sdc1", "");
        sysfs.setAttribute("class/block/md0/slaves/dm-0", "");
        for (const auto& [name, minor] : {std::pair<std::string, std::uint32_t>{"loop0", 0}, {"loop1", 1}, {"loop2", 2}}) {
            sysfs.addDisk({name, "virtual/block/" + name, 100, 7, minor, false, {}});
            sysfs.setAttribute("class/block/" + name + "/loop/backing_file", "/srv/" + name + ".img\n");
        }
        roots.sysfs = sysfs.sysfsRoot();
        roots.mountInfo = sysfs.mountInfoPath();
        roots.loopBacking = [this](const std::string& name) -> std::optional<LoopBacking> {
            const auto found = backings.find(name);
            if (found == backings.end()) return std::nullopt;
            return found->second;
        };
    }

    test::TempDir dir;
    test::FakeSysfs sysfs;
    StorageRoots roots;
    std::map<std::string, LoopBacking> backings;
};

TEST_F(BackingStorageTest, FollowsPartitionsAndStackedDevicesToTheirDisks) {
    const auto partition = BackingStorage::ofBlockDevice(makedev(8, 17), roots, true);
    EXPECT_EQ(partition.devices, (Devices{"sdb"}));
    EXPECT_FALSE(partition.unresolved);

    const auto raid = BackingStorage::ofBlockDevice(makedev(9, 0), roots, true);
    EXPECT_EQ(raid.devices, (Devices{"md0", "sdc", "dm-0", "sdb"}));
    EXPECT_FALSE(raid.unresolved);
    EXPECT_TRUE(raid.meets(partition)) << "md0 rests on sdb through dm-0";
    EXPECT_FALSE(BackingStorage::ofBlockDevice(makedev(8, 32), roots, true).meets(partition));

    const auto unknown = BackingStorage::ofBlockDevice(makedev(8, 64), roots, true);
    EXPECT_EQ(unknown.unresolved, "block device 8:64 is not in sysfs");
}

TEST_F(BackingStorageTest, FollowsLoopDevicesByTheFileTheKernelReads) {
    backings["loop0"] = LoopBacking{{makedev(8, 33), 12}, 0};  // a file on sdc1
    backings["loop1"] = LoopBacking{{makedev(0, 25), 99}, makedev(8, 16)};  // a loop over the node of sdb

    // Reading loop0 reads the file, nothing else of sdc; writing to it writes into sdc as well.
    const auto read = BackingStorage::ofBlockDevice(makedev(7, 0), roots, false);
    EXPECT_EQ(read.devices, (Devices{"loop0"}));
    EXPECT_EQ(read.files, (std::set<FileIdentity>{{makedev(8, 33), 12}}));
    EXPECT_FALSE(read.unresolved);
    const auto written = BackingStorage::ofBlockDevice(makedev(7, 0), roots, true);
    EXPECT_EQ(written.devices, (Devices{"loop0", "sdc"}));
    EXPECT_TRUE(written.meets(BackingStorage::ofBlockDevice(makedev(8, 32), roots, false)));

    EXPECT_EQ(BackingStorage::ofBlockDevice(makedev(7, 1), roots, false).devices, (Devices{"loop1", "sdb"}))
        << "a loop over a device node reads that device";
    EXPECT_EQ(BackingStorage::ofBlockDevice(makedev(7, 2), roots, false).unresolved,
              "the backing file of loop2 cannot be read");
}

TEST_F(BackingStorageTest, FollowsFileSystemsWithoutADeviceThroughTheMountTable) {
    sysfs.addDisk({"sdd", "pci0000:00/usb1/1-3/8:0:0:0", 1000, 8, 48, true, {}});
    sysfs.addMount(0, 50, "/data", "btrfs", "/dev/sdc1");
    sysfs.setAttribute("fs/btrfs/5a1d-uuid/devices/sdc1", "");
    sysfs.setAttribute("fs/btrfs/5a1d-uuid/devices/sdd", "");
    sysfs.addMount(0, 40, "/run/scratch", "tmpfs", "tmpfs");
    sysfs.addMount(0, 70, "/mnt/fuse", "fuse", "exfat-fuse");
    backings["loop0"] = LoopBacking{{makedev(0, 50), 7}, 0};
    backings["loop1"] = LoopBacking{{makedev(0, 40), 8}, 0};
    backings["loop2"] = LoopBacking{{makedev(0, 70), 9}, 0};

    const auto onBtrfs = BackingStorage::ofBlockDevice(makedev(7, 0), roots, true);
    EXPECT_EQ(onBtrfs.devices, (Devices{"loop0", "sdc", "sdd"}));
    EXPECT_FALSE(onBtrfs.unresolved);
    const auto inMemory = BackingStorage::ofBlockDevice(makedev(7, 1), roots, true);
    EXPECT_EQ(inMemory.devices, (Devices{"loop1"}));
    EXPECT_FALSE(inMemory.unresolved);
    EXPECT_EQ(BackingStorage::ofBlockDevice(makedev(7, 2), roots, true).unresolved,
              "the fuse file system at /mnt/fuse does not show which disks hold it");
    // Without following files, the backing file's file system does not matter.
    EXPECT_FALSE(BackingStorage::ofBlockDevice(makedev(7, 2), roots, false).unresolved);
}

TEST_F(BackingStorageTest, ANetworkShareMeetsOnlyWhatLiesOnThatShare) {
    sysfs.addMount(0, 60, "/mnt/nas", "nfs4", "nas:/photos");
    sysfs.addMount(0, 61, "/mnt/laptop", "fuse.sshfs", "me@laptop:");
    // A loop device over an image kept on the share, and one over an image on another share.
    backings["loop0"] = LoopBacking{{makedev(0, 60), 7}, 0};
    backings["loop1"] = LoopBacking{{makedev(0, 61), 8}, 0};
    const auto loopOnNas = BackingStorage::ofBlockDevice(makedev(7, 0), roots, true);
    EXPECT_FALSE(loopOnNas.unresolved);
    EXPECT_EQ(loopOnNas.shares, (std::set<dev_t>{makedev(0, 60)}));

    // A folder on the share, as a destination: its files have the share's device number.
    StoragePlaces folderOnNas;
    folderOnNas.files.insert({makedev(0, 60), 99});
    folderOnNas.shares.insert(makedev(0, 60));
    EXPECT_TRUE(folderOnNas.meets(loopOnNas));
    EXPECT_FALSE(folderOnNas.meets(BackingStorage::ofBlockDevice(makedev(7, 1), roots, true)));
    EXPECT_FALSE(folderOnNas.meets(BackingStorage::ofBlockDevice(makedev(8, 17), roots, false))) << "a local card";
    StoragePlaces imageOnNas;
    imageOnNas.files.insert({makedev(0, 60), 12});
    EXPECT_TRUE(folderOnNas.meets(imageOnNas));
}

TEST_F(BackingStorageTest, EndsOnDevicesThatNameEachOther) {
    sysfs.addDisk({"dm-1", "virtual/block/dm-1", 900, 253, 1, false, {}});
    sysfs.addDisk({"dm-2", "virtual/block/dm-2", 900, 253, 2, false, {}});
    sysfs.setAttribute("class/block/dm-1/slaves/dm-2", "");
    sysfs.setAttribute("class/block/dm-2/slaves/dm-1", "");
    const auto places = BackingStorage::ofBlockDevice(makedev(253, 1), roots, true);
    EXPECT_EQ(places.devices, (Devices{"dm-1", "dm-2"}));
}

} // namespace
} // namespace vantrel
