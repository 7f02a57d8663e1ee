#include "support/volumes/VolumeDiscovery.h"

#include "tests/fixtures/FakeDiskScenario.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantrel {
namespace {

using VolumeDiscovery::DiskMeta;

std::vector<std::string> namesOf(const std::vector<ExternalVolume>& volumes) {
    std::vector<std::string> names;
    for (const auto& volume : volumes) names.push_back(volume.bsdName);
    return names;
}

class FakeMachine : public ::testing::Test {
protected:
    FakeMachine() : tree(dir.path()) { test::buildFakeDiskScenario(tree); }
    DiskInventory inventory() const { return DiskInventory({tree.sysfsRoot(), tree.mountInfoPath(), tree.udevRoot()}, {}); }

    test::TempDir dir;
    test::FakeSysfs tree;
};

TEST_F(FakeMachine, ListsOnlyExternalDisksUnlessAsked) {
    EXPECT_EQ(namesOf(VolumeDiscovery::discover(inventory(), false)), (std::vector<std::string>{"mmcblk0", "sdb"}));
    EXPECT_EQ(namesOf(VolumeDiscovery::discover(inventory(), true)),
              (std::vector<std::string>{"loop0", "mmcblk0", "nvme0n1", "sdb"}));
}

TEST_F(FakeMachine, SolderedEmmcIsInternal) {
    tree.addDisk({"mmcblk1", "platform/fe330000.mmc/mmc_host/mmc1/mmc1:0001", 30535680, 179, 32, false,
                  {{"name", "DA4032"}, {"type", "MMC"}}});
    EXPECT_EQ(namesOf(VolumeDiscovery::discover(inventory(), false)), (std::vector<std::string>{"mmcblk0", "sdb"}));
    const auto all = VolumeDiscovery::discover(inventory(), true);
    const auto chip = std::find_if(all.begin(), all.end(), [](const ExternalVolume& v) { return v.bsdName == "mmcblk1"; });
    ASSERT_NE(chip, all.end());
    EXPECT_EQ(chip->protocolName, "eMMC");
    EXPECT_EQ(chip->name, "DA4032");
    EXPECT_FALSE(chip->isEjectable);
}

TEST_F(FakeMachine, DescribesEachDiskAsTheUserSeesIt) {
    auto volumes = VolumeDiscovery::discover(inventory(), true);
    VolumeDiscovery::sortByName(volumes);
    ASSERT_EQ(namesOf(volumes), (std::vector<std::string>{"sdb", "nvme0n1", "mmcblk0", "loop0"}));

    const auto& stick = volumes[0];
    EXPECT_EQ(stick.name, "CAMERA");
    EXPECT_EQ(stick.path, "/media/user/CAMERA");
    EXPECT_TRUE(stick.isMounted);
    EXPECT_TRUE(stick.isEjectable);
    EXPECT_EQ(stick.protocolName, "USB");
    EXPECT_EQ(stick.sizeBytes, test::usbStickSectors * 512);
    EXPECT_EQ(stick.fileSystemName, "FAT");
    EXPECT_EQ(stick.partitionScheme, "MBR");
    EXPECT_TRUE(stick.supportsQuickUndeleteScan());

    const auto& internal = volumes[1];
    EXPECT_EQ(internal.fileSystemName, "FAT \u00B7 ext4");
    EXPECT_EQ(internal.partitionScheme, "GPT");
    EXPECT_EQ(internal.path, "/");
    EXPECT_FALSE(internal.isEjectable);
    EXPECT_EQ(internal.protocolName, "NVMe");

    const auto& card = volumes[2];
    EXPECT_EQ(card.name, "EOS_DIGITAL");
    EXPECT_FALSE(card.isMounted);
    EXPECT_FALSE(card.path);
    EXPECT_EQ(card.protocolName, "Secure Digital");
    EXPECT_TRUE(card.isEjectable);
    EXPECT_EQ(card.fileSystemName, "exFAT");

    const auto& image = volumes[3];
    EXPECT_EQ(image.name, "IMAGE");
    EXPECT_EQ(image.protocolName, "Disk Image");
    EXPECT_EQ(image.fileSystemName, "FAT");
    EXPECT_FALSE(image.partitionScheme);
}

TEST_F(FakeMachine, WithoutSysfsMountedRemovableVolumesStandIn) {
    DiskInventory blind({dir / "no-sysfs", tree.mountInfoPath(), tree.udevRoot()}, {});
    const auto volumes = VolumeDiscovery::discover(blind, false);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].bsdName, "sdb1");  // from the mount source
    EXPECT_EQ(volumes[0].name, "CAMERA");
    EXPECT_TRUE(volumes[0].isMounted);
    EXPECT_FALSE(volumes[0].fileSystemName);
    EXPECT_EQ(namesOf(VolumeDiscovery::discover(blind, true)), (std::vector<std::string>{"sdb1", "nvme0n1p2"}));
}

TEST(VolumeDiscoveryFallback, TakesTheDeviceFromTheMountSourceNeverFromTheName) {
    const auto mounts = MountTable::parse(
        "1 0 8:17 / /media/user/sdc rw - vfat /dev/sdb1 rw\n"     // named like another disk
        "2 0 0:40 / /media/user/share rw - nfs server:/x rw\n"    // not a block device
        "3 0 0:41 / /media/user/tmp rw - tmpfs tmpfs rw\n"
        "4 0 8:17 / /media/user/again rw - vfat /dev/sdb1 rw\n"   // the same device twice
        "5 0 8:33 / /run/media/u/CARD rw - exfat /dev/sdc1 rw\n"
        "6 0 8:2 / /home rw - ext4 /dev/sda2 rw\n");
    const auto capacity = [](const std::string& target) -> std::uint64_t { return target.size() * 1000; };
    const auto volumes = VolumeDiscovery::fallbackVolumes(mounts, false, capacity);
    ASSERT_EQ(namesOf(volumes), (std::vector<std::string>{"sdb1", "sdc1"}));
    EXPECT_EQ(volumes[0].name, "sdc");
    EXPECT_EQ(volumes[0].rawDevicePath(), "/dev/sdb1");
    EXPECT_EQ(volumes[0].sizeBytes, std::string("/media/user/sdc").size() * 1000);
    EXPECT_TRUE(volumes[1].isEjectable);
    EXPECT_EQ(namesOf(VolumeDiscovery::fallbackVolumes(mounts, true, capacity)),
              (std::vector<std::string>{"sdb1", "sdc1", "sda2"}));
}

TEST(VolumeDiscoveryRules, ExternalCandidates) {
    const auto meta = [](bool internal, bool removable, bool ejectable, std::optional<std::string> protocol,
                         std::optional<std::string> media = std::nullopt, std::optional<std::string> kind = "Physical") {
        DiskMeta m;
        m.isInternal = internal;
        m.isRemovable = removable;
        m.isEjectable = ejectable;
        m.protocolName = std::move(protocol);
        m.mediaName = std::move(media);
        m.virtualOrPhysical = std::move(kind);
        return m;
    };
    EXPECT_TRUE(meta(false, true, false, "USB").isExternalCandidate());
    EXPECT_FALSE(meta(true, false, false, "PCI-Express").isExternalCandidate());
    EXPECT_TRUE(meta(true, false, false, "Secure Digital").isExternalCandidate());
    EXPECT_TRUE(meta(true, false, false, "Thunderbolt").isExternalCandidate());
    EXPECT_TRUE(meta(false, false, false, std::nullopt).isExternalCandidate());
    // Disk images and virtual disks are never external, even when ejectable.
    EXPECT_FALSE(meta(false, true, true, "Disk Image").isExternalCandidate());
    EXPECT_FALSE(meta(false, true, true, "USB", std::nullopt, "Virtual").isExternalCandidate());
    EXPECT_FALSE(meta(false, true, true, "Virtual Interface").isExternalCandidate());
    EXPECT_FALSE(meta(false, true, true, "USB", "disk image").isExternalCandidate());
}

TEST(VolumeDiscoveryRules, NamesAndSchemes) {
    EXPECT_EQ(VolumeDiscovery::displayName("MASSSTORAGECLASS", "sdb"), "sdb");
    EXPECT_EQ(VolumeDiscovery::displayName("Disk Image", "loop0"), "loop0");
    EXPECT_EQ(VolumeDiscovery::displayName("", "sdb"), "sdb");
    EXPECT_EQ(VolumeDiscovery::displayName("Mass Storage Class", "sdb"), "Mass Storage Class");
    EXPECT_EQ(VolumeDiscovery::partitionScheme("GUID_partition_scheme"), "GPT");
    EXPECT_EQ(VolumeDiscovery::partitionScheme("guid_PARTITION_scheme"), "GPT");
    EXPECT_EQ(VolumeDiscovery::partitionScheme("FDisk_partition_scheme"), "MBR");
    EXPECT_EQ(VolumeDiscovery::partitionScheme("Apple_partition_scheme"), "APM");
    EXPECT_FALSE(VolumeDiscovery::partitionScheme("Apple_HFS"));
}

TEST(VolumeDiscoveryRules, FileSystemNameTable) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> table = {
        {"GUID_partition_scheme", std::nullopt},
        {"Apple_APFS", "APFS"},
        {"APFS", "APFS"},
        {"Apple_HFS", "HFS+"},
        {"Apple_HFSX", "HFS+"},
        {"HFS+", "HFS+"},
        {"hfs", "HFS"},
        {"Mac OS Extended (Journaled)", "HFS"},
        {"ExFAT", "exFAT"},
        {"MS-DOS FAT32", "FAT"},
        {"MS-DOS FAT12", "FAT"},
        {"Windows_FAT_32", "FAT"},
        {"DOS_FAT_32", std::nullopt},  // an underscore, and no rule above names it
        {"FAT", "FAT"},
        {"fat16", "FAT"},
        {"NTFS", "NTFS"},
        {"Windows_NTFS", "NTFS"},
        {"Microsoft Basic Data", std::nullopt},
        {"EFI", std::nullopt},
        {"Apple_Boot", std::nullopt},
        {"Apple_Free", std::nullopt},
        {"Linux Recovery", std::nullopt},
        {"crypto_LUKS", std::nullopt},
        {"ext4", "ext4"},
        {"sixteen-chars-ok", "sixteen-chars-ok"},
        {"", std::nullopt},
    };
    for (const auto& [text, name] : table) EXPECT_EQ(VolumeDiscovery::fileSystemName(text), name) << text;
}

TEST(VolumeDiscoveryRules, SortsByNameIgnoringCaseAndKeepsTies) {
    std::vector<ExternalVolume> volumes;
    for (const auto& [name, bsdName] : {std::pair{"b", "sdb"}, {"A", "sdc"}, {"a", "sdd"}, {"B", "sde"}}) {
        volumes.emplace_back();
        volumes.back().name = name;
        volumes.back().bsdName = bsdName;
    }
    VolumeDiscovery::sortByName(volumes);
    EXPECT_EQ(namesOf(volumes), (std::vector<std::string>{"sdc", "sdd", "sdb", "sde"}));
}

} // namespace
} // namespace vantrel
