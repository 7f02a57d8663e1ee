#include "platform/disks/DiskInventory.h"
#include "platform/disks/DiskInventoryUdev.h"
#include "platform/disks/WholeDiskName.h"

#include "tests/fixtures/FakeDiskScenario.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantrel {
namespace {

class FakeTree : public ::testing::Test {
protected:
    FakeTree() : tree(dir.path()) { test::buildFakeDiskScenario(tree); }

    DiskInventory inventory() const {
        // No blkid: the fake devices exist only as sysfs folders, so udev's records and the mount table speak.
        return DiskInventory({tree.sysfsRoot(), tree.mountInfoPath(), tree.udevRoot()}, {});
    }

    const DiskFacts& find(const std::vector<DiskFacts>& disks, const std::string& name) {
        const auto found = std::find_if(disks.begin(), disks.end(), [&](const DiskFacts& d) { return d.disk.name == name; });
        if (found == disks.end()) throw std::runtime_error("no disk " + name);
        return *found;
    }

    test::TempDir dir;
    test::FakeSysfs tree;
};

TEST_F(FakeTree, ListsDisksWithAMediumAndLeavesOutMemoryDisks) {
    const auto disks = inventory().list();
    ASSERT_TRUE(disks);
    std::vector<std::string> names;
    for (const auto& facts : *disks) names.push_back(facts.disk.name);
    EXPECT_EQ(names, (std::vector<std::string>{"loop0", "mmcblk0", "nvme0n1", "sdb"}));
}

TEST_F(FakeTree, UsbStickHasItsBusModelPartitionsAndMount) {
    const auto disks = *inventory().list();
    const auto& stick = find(disks, "sdb");
    EXPECT_EQ(stick.bus, DiskBus::usb);
    EXPECT_TRUE(stick.isRemovable);
    EXPECT_TRUE(stick.isHotplug);
    EXPECT_EQ(stick.model, "Cruzer Blade");
    EXPECT_EQ(stick.disk.sizeBytes, test::usbStickSectors * 512);
    EXPECT_EQ(stick.partitionScheme, "MBR");
    ASSERT_EQ(stick.partitions.size(), 1u);
    const auto& partition = stick.partitions[0];
    EXPECT_EQ(partition.name, "sdb1");
    EXPECT_EQ(partition.devicePath(), "/dev/sdb1");
    EXPECT_EQ(partition.fileSystemType, "vfat");
    EXPECT_EQ(partition.fileSystemName, "MS-DOS FAT32");
    EXPECT_EQ(partition.label, "CAMERA");
    ASSERT_EQ(partition.mounts.size(), 1u);
    EXPECT_EQ(partition.mounts[0].target, "/media/user/CAMERA");
    EXPECT_FALSE(stick.disk.fileSystemName);
}

TEST_F(FakeTree, SdCardNvmeDiskAndLoopImage) {
    const auto disks = *inventory().list();
    const auto& card = find(disks, "mmcblk0");
    EXPECT_EQ(card.bus, DiskBus::mmc);
    EXPECT_FALSE(card.isHotplug);
    EXPECT_TRUE(card.isRemovable);  // an SD card can always be taken out of its slot
    EXPECT_EQ(card.model, "SD64G");
    EXPECT_EQ(card.partitions.at(0).fileSystemName, "ExFAT");

    const auto& internal = find(disks, "nvme0n1");
    EXPECT_EQ(internal.bus, DiskBus::nvme);
    EXPECT_FALSE(internal.isRemovable);
    EXPECT_FALSE(internal.isHotplug);  // the slot says "fixed"
    EXPECT_EQ(internal.partitionScheme, "GPT");
    ASSERT_EQ(internal.partitions.size(), 2u);
    EXPECT_EQ(internal.partitions[0].name, "nvme0n1p1");  // by partition number, not folder order
    EXPECT_EQ(internal.partitions[1].name, "nvme0n1p2");
    // No probe record: the mount table's type stands in.
    EXPECT_EQ(internal.partitions[1].fileSystemType, "ext4");
    EXPECT_EQ(internal.partitions[1].fileSystemName, "ext4");

    const auto& image = find(disks, "loop0");
    EXPECT_TRUE(image.isDiskImage());
    EXPECT_TRUE(image.isVirtual());
    EXPECT_EQ(image.disk.fileSystemName, "MS-DOS FAT16");
    EXPECT_TRUE(image.partitions.empty());
    EXPECT_FALSE(image.partitionScheme);
}

TEST_F(FakeTree, AProbeTakesPrecedenceAndDescribeFindsOneDisk) {
    DiskInventory probed({tree.sysfsRoot(), tree.mountInfoPath(), tree.udevRoot()},
                         [](const std::string& name) -> DiskInventory::ProbeResult {
                             if (name == "sdb") return {{"PTTYPE", "gpt"}};
                             if (name == "sdb1") return {{"TYPE", "hfsplus"}, {"LABEL", "Mac\x01Stick"}};
                             return {};
                         });
    const auto stick = probed.describe("sdb");
    ASSERT_TRUE(stick);
    EXPECT_EQ(stick->partitionScheme, "GPT");
    EXPECT_EQ(stick->partitions.at(0).fileSystemName, "HFS+");
    EXPECT_EQ(stick->partitions.at(0).label, "Mac Stick");  // control characters from the disk are blanked
    EXPECT_FALSE(probed.describe("sdz"));
    EXPECT_FALSE(probed.describe("../block"));
    EXPECT_FALSE(probed.describe("loop1"));  // no medium
}

TEST_F(FakeTree, NoSysfsMeansNoList) {
    DiskInventory missing({dir / "nothing", tree.mountInfoPath(), tree.udevRoot()}, {});
    EXPECT_FALSE(missing.list());
}

TEST_F(FakeTree, WholeDiskNameAsksSysfsFirst) {
    const auto sys = tree.sysfsRoot();
    EXPECT_EQ(wholeDiskName("sdb1", sys), "sdb");
    EXPECT_EQ(wholeDiskName("/dev/sdb1", sys), "sdb");
    EXPECT_EQ(wholeDiskName("sdb", sys), "sdb");
    EXPECT_EQ(wholeDiskName("mmcblk0p1", sys), "mmcblk0");
    EXPECT_EQ(wholeDiskName("nvme0n1p2", sys), "nvme0n1");
    EXPECT_EQ(wholeDiskName("loop0", sys), "loop0");
    // A partition whose name does not follow the usual shape is still found through its folder.
    tree.addPartition("loop0", "odd7", 1, 100, 7, 9);
    EXPECT_EQ(wholeDiskName("odd7", sys), "loop0");
}

TEST(WholeDiskName, FallsBackToTheNameShape) {
    test::TempDir empty;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sdb1", "sdb"},     {"sdab12", "sdab"},  {"mmcblk0p1", "mmcblk0"}, {"nvme0n1p2", "nvme0n1"},
        {"nvme0n1", "nvme0n1"}, {"loop3p1", "loop3"}, {"loop3", "loop3"},   {"sr0", "sr0"},
        {"vda2", "vda"},     {"xvda1", "xvda"},   {"mmcblk0", "mmcblk0"},   {"dm-0", "dm-0"},
        {"/dev/sdc3", "sdc"}, {"", ""},           {"..", ".."},             {"a/b1", "a/b1"},
    };
    for (const auto& [name, disk] : cases) EXPECT_EQ(wholeDiskName(name, empty.path()), disk) << name;
}

TEST(DiskInventoryText, BlkidExportAndNames) {
    const auto facts = DiskInventory::parseBlkidExport("DEVNAME=/dev/sdb1\nLABEL=MY\\ CARD\nTYPE=vfat\nVERSION=FAT16\n=x\nnoequals\n");
    EXPECT_EQ(facts.at("LABEL"), "MY CARD");
    EXPECT_EQ(facts.at("TYPE"), "vfat");
    EXPECT_EQ(facts.size(), 4u);
    EXPECT_EQ(DiskInventory::fileSystemDisplayName("vfat", "FAT12"), "MS-DOS FAT12");
    EXPECT_EQ(DiskInventory::fileSystemDisplayName("vfat", ""), "MS-DOS FAT");
    EXPECT_EQ(DiskInventory::fileSystemDisplayName("exfat", "1.0"), "ExFAT");
    EXPECT_EQ(DiskInventory::fileSystemDisplayName("apfs", ""), "APFS");
    EXPECT_FALSE(DiskInventory::fileSystemDisplayName("fuseblk", ""));
    EXPECT_FALSE(DiskInventory::fileSystemDisplayName("", ""));
    EXPECT_EQ(DiskInventory::partitionSchemeName("dos"), "MBR");
    EXPECT_EQ(DiskInventory::partitionSchemeName("mac"), "APM");
    EXPECT_FALSE(DiskInventory::partitionSchemeName("atari"));
}

TEST(DiskBusInfo, DecidesByPrecedence) {
    EXPECT_EQ(DiskBusInfo::fromDevicePath("loop2", "/sys/devices/virtual/block/loop2"), DiskBus::loop);
    // A card reader on USB is a USB disk even though its name is sdX and its path has a SCSI target.
    EXPECT_EQ(DiskBusInfo::fromDevicePath("sdc", "/sys/devices/pci0/usb2/2-1/2-1:1.0/host3/target3:0:0/3:0:0:1/block/sdc"),
              DiskBus::usb);
    EXPECT_EQ(DiskBusInfo::fromDevicePath("sda", "/sys/devices/pci0/ata1/host0/target0:0:0/0:0:0:0/block/sda"), DiskBus::ata);
    EXPECT_EQ(DiskBusInfo::fromDevicePath("vda", "/sys/devices/pci0/virtio1/block/vda"), DiskBus::virtio);
    EXPECT_EQ(DiskBusInfo::fromDevicePath("dm-0", "/sys/devices/virtual/block/dm-0"), DiskBus::virtualDevice);
    EXPECT_EQ(DiskBusInfo::fromDevicePath("xyz", "/sys/devices/platform/xyz"), DiskBus::other);
    EXPECT_EQ(DiskBusInfo::protocolName(DiskBus::loop), "Disk Image");
    EXPECT_EQ(DiskBusInfo::protocolName(DiskBus::other), "");
}

// On the system's own roots the device database is asked through libudev, which also knows a device
// udev never recorded (no udev runs in a container) by what sysfs says of it; a device that does not
// exist, and a malformed "dev" attribute, give nothing.
TEST(DiskInventoryUdev, OnTheSystemsRootsTheDatabaseIsAskedThroughLibudev) {
    std::error_code error;
    std::optional<std::pair<std::string, std::string>> device;  // name, MAJOR:MINOR
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/block", error)) {
        const auto dev = test::readFile(entry.path() / "dev");
        device = {entry.path().filename().string(), std::string(dev.begin(), dev.end())};
        if (!device->second.empty() && device->second.back() == '\n') device->second.pop_back();
        break;
    }
    if (!device) GTEST_SKIP() << "no block device in /sys/class/block";
    const DiskInventoryRoots system;
    const auto properties = udevDatabaseProperties(device->second, system);
    ASSERT_TRUE(properties.count("DEVNAME")) << device->first;
    EXPECT_EQ(properties.at("DEVNAME"), "/dev/" + device->first);
    EXPECT_TRUE(udevDatabaseProperties(4095, 1048575, system).empty());
    for (const char* malformed : {"", "8", "8:", ":1", "8:1x", "-8:1"}) EXPECT_TRUE(udevDatabaseProperties(malformed, system).empty()) << malformed;
}

} // namespace
} // namespace vantrel
