#include "platform/disks/DiskIdentity.h"

#include "FakeSysfs.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace vantrel;

namespace {

DiskIdentity serial(const std::string& number) {
    DiskIdentity identity;
    identity.serialNumber = number;
    return identity;
}

} // namespace

TEST(DiskIdentity, ComparesByTheStrongestIdBothKnow) {
    DiskIdentity card = serial("S1");
    card.partitionTableId = "PT1";
    card.fileSystemIds = {"FS1", "FS2"};
    DiskIdentity reformatted = serial("S1");
    reformatted.partitionTableId = "PT9";
    EXPECT_EQ(card.compare(reformatted), DiskIdentity::Verdict::same);
    EXPECT_EQ(card.compare(serial("S2")), DiskIdentity::Verdict::different);
    DiskIdentity table;
    table.partitionTableId = "PT1";
    EXPECT_EQ(card.compare(table), DiskIdentity::Verdict::same);
    DiskIdentity fileSystems;
    fileSystems.fileSystemIds = {"FS9", "FS2"};
    EXPECT_EQ(card.compare(fileSystems), DiskIdentity::Verdict::same);
    fileSystems.fileSystemIds = {"FS9"};
    EXPECT_EQ(card.compare(fileSystems), DiskIdentity::Verdict::different);
    EXPECT_EQ(card.compare(DiskIdentity{}), DiskIdentity::Verdict::unknown);
    EXPECT_EQ(serial("S1").compare(table), DiskIdentity::Verdict::unknown);
}

TEST(DiskIdentity, ReadsSerialPartitionTableAndFileSystemIdsFromUdevAndSysfs) {
    vantrel::test::TempDir root;
    vantrel::test::FakeSysfs sysfs(root.path());
    const DiskInventoryRoots roots{sysfs.sysfsRoot(), sysfs.mountInfoPath(), sysfs.udevRoot()};

    // A USB stick known to udev.
    sysfs.addDisk({"sdb", "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", 1000, 8, 16, true, {}});
    sysfs.addPartition("sdb", "sdb1", 1, 900, 8, 17);
    sysfs.addPartition("sdb", "sdb2", 2, 90, 8, 18);
    sysfs.setUdevProperties(8, 16, {{"ID_SERIAL", "Vendor_Stick_ABC123-0:0"}, {"ID_SERIAL_SHORT", " ABC123 "},
                                    {"ID_PART_TABLE_UUID", "6f5e4d3c"}});
    sysfs.setUdevProperties(8, 17, {{"ID_FS_UUID", "1234-ABCD"}});
    sysfs.setUdevProperties(8, 18, {{"ID_FS_UUID", "bad\x01id"}});
    auto identity = DiskIdentity::read("sdb", roots);
    EXPECT_EQ(identity.serialNumber, "ABC123");
    EXPECT_EQ(identity.partitionTableId, "6f5e4d3c");
    EXPECT_EQ(identity.fileSystemIds, std::vector<std::string>{"1234-ABCD"});

    // Without udev: an SD card's own serial, and a USB disk's from its USB device, never from the hub
    // or controller above it.
    sysfs.addDisk({"mmcblk0", "platform/soc/mmc0/mmc0:0001", 1000, 179, 0, false, {{"serial", "0x1a2b3c4d"}}});
    EXPECT_EQ(DiskIdentity::read("mmcblk0", roots).serialNumber, "0x1a2b3c4d");
    sysfs.addDisk({"sdc", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0", 1000, 8, 32, true, {}});
    sysfs.setAttribute("devices/pci0000:00/0000:00:14.0/usb2/idVendor", "1d6b");
    sysfs.setAttribute("devices/pci0000:00/0000:00:14.0/usb2/serial", "0000:00:14.0");
    sysfs.setAttribute("devices/pci0000:00/0000:00:14.0/usb2/2-1/idVendor", "0781");
    EXPECT_EQ(DiskIdentity::read("sdc", roots).serialNumber, std::nullopt);
    sysfs.setAttribute("devices/pci0000:00/0000:00:14.0/usb2/2-1/serial", "4C530001\n");
    EXPECT_EQ(DiskIdentity::read("sdc", roots).serialNumber, "4C530001");

    EXPECT_TRUE(DiskIdentity::read("sdz", roots).isEmpty());
    EXPECT_TRUE(DiskIdentity::read("../sdb", roots).isEmpty());
}
