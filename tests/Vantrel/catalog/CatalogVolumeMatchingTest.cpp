#include "Vantrel/catalog/CatalogVolumeMatching.h"

#include "FakeSysfs.h"
#include "SampleVolume.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <map>

using namespace vantrel;
using namespace vantrel::CatalogVolumeMatching;
using vantrel::test::sampleVolume;

namespace {

ScanCatalog::Source source(std::optional<std::string> bsdName, std::optional<std::string> rawPath, std::uint64_t size,
                           const std::string& name = "CARD") {
    ScanCatalog::Source result;
    result.displayName = name;
    result.bsdName = std::move(bsdName);
    result.rawDevicePath = std::move(rawPath);
    result.sizeBytes = size;
    return result;
}

DiskIdentity serial(const std::string& number) {
    DiskIdentity identity;
    identity.serialNumber = number;
    return identity;
}

// Volumes of a fake machine with identities by kernel name; whole-disk names from an empty sysfs, so the
// names' own shape decides.
struct FakeInventory {
    vantrel::test::TempDir sysfs;
    std::map<std::string, DiskIdentity> identities;

    Inventory of(std::vector<ExternalVolume> volumes) {
        Inventory inventory;
        inventory.volumes = std::move(volumes);
        inventory.sysfsRoot = sysfs.path();
        inventory.identityOf = [this](const ExternalVolume& attached) {
            const auto found = identities.find(attached.bsdName);
            return found == identities.end() ? DiskIdentity{} : found->second;
        };
        return inventory;
    }
};

std::string matched(const std::optional<ExternalVolume>& found) { return found ? found->bsdName : "none"; }

} // namespace

TEST(CatalogVolumeMatching, FindsTheDiskByNameThenDevicePathThenSize) {
    FakeInventory machine;
    const auto two = machine.of({sampleVolume("sda", 500), sampleVolume("sdb", 1000)});
    // A partition's name finds its whole disk, and a whole disk a volume listed by one of its partitions.
    EXPECT_EQ(matched(findVolume(source("sdb1", std::nullopt, 0), two)), "sdb");
    EXPECT_EQ(matched(findVolume(source("mmcblk0", std::nullopt, 0), machine.of({sampleVolume("sda", 1), sampleVolume("mmcblk0p1", 2)}))),
              "mmcblk0p1");
    EXPECT_EQ(matched(findVolume(source("sdc", "/dev/sdb", 0), two)), "sdb");
    EXPECT_EQ(matched(findVolume(source("sdc", "/dev/sdc", 500), two)), "sda");
    EXPECT_EQ(matched(findVolume(source(std::nullopt, std::nullopt, 0), two)), "none");
    EXPECT_EQ(matched(findVolume(source("sdb", std::nullopt, 1000), machine.of({}))), "none");

    // Several of the catalog's size: only the display name can pick one.
    const auto twins = machine.of({sampleVolume("sdb", 1000, "A"), sampleVolume("sdc", 1000, "B")});
    EXPECT_EQ(matched(findVolume(source("sdd", std::nullopt, 1000, "C"), twins)), "none");
    EXPECT_EQ(matched(findVolume(source("sdd", std::nullopt, 1000, "B"), twins)), "sdc");
    EXPECT_EQ(matched(findVolume(source("sdd", std::nullopt, 1000, "A"),
                                 machine.of({sampleVolume("sdb", 1000, "A"), sampleVolume("sdc", 1000, "A")}))),
              "none");
}

TEST(CatalogVolumeMatching, AnIdentityBothSidesKnowDecidesOverNamePathAndSize) {
    FakeInventory machine;
    machine.identities["sdb"] = serial("OTHER-CARD");
    machine.identities["sdc"] = serial("CARD-1");
    auto card = source("sdb", "/dev/sdb", 1000);
    card.identity = serial("CARD-1");
    // The card moved to the second reader; another card of the same size sits in the first.
    EXPECT_EQ(matched(findVolume(card, machine.of({sampleVolume("sdb", 1000), sampleVolume("sdc", 1000)}))), "sdc");
    // Only the other card is attached: name, path and size all point at it, and none of them counts.
    EXPECT_EQ(matched(findVolume(card, machine.of({sampleVolume("sdb", 1000)}))), "none");
    // A disk whose identity cannot be read is matched by the other rules.
    EXPECT_EQ(matched(findVolume(card, machine.of({sampleVolume("sdd", 1000)}))), "sdd");
    // A catalog without an identity (an older one) is matched by the other rules alone.
    EXPECT_EQ(matched(findVolume(source("sdb", std::nullopt, 0), machine.of({sampleVolume("sdb", 1000)}))), "sdb");
}

TEST(CatalogVolumeMatching, ReconcileFollowsTheSelectedDiskThroughListChanges) {
    FakeInventory machine;
    const ExternalVolume selected = sampleVolume("sdb", 1000);
    const DiskIdentity none;
    EXPECT_FALSE(reconcile(selected, "/dev/sdb", none, machine.of({sampleVolume("sda", 1), selected})));

    ExternalVolume unmounted = selected;
    unmounted.isMounted = false;
    EXPECT_EQ(reconcile(selected, "/dev/sdb", none, machine.of({unmounted})), unmounted);
    // Listed by a partition's name.
    EXPECT_EQ(matched(reconcile(sampleVolume("sdb1", 1000), std::nullopt, none, machine.of({sampleVolume("sdb", 1000)}))), "sdb");
    // Gone: the selection stays (nothing to change).
    EXPECT_FALSE(reconcile(selected, "/dev/sdb", none, machine.of({sampleVolume("sda", 1)})));
    // Re-attached under another name: found again by size.
    EXPECT_EQ(matched(reconcile(selected, "/dev/sdb", none, machine.of({sampleVolume("sda", 1), sampleVolume("sdc", 1000)}))), "sdc");

    // Another card in the same reader is not the selected disk, even under its name.
    machine.identities["sdb"] = serial("OTHER");
    machine.identities["sdc"] = serial("MINE");
    EXPECT_FALSE(reconcile(selected, "/dev/sdb", serial("MINE"), machine.of({sampleVolume("sdb", 999)})));
    EXPECT_EQ(matched(reconcile(selected, "/dev/sdb", serial("MINE"), machine.of({sampleVolume("sdb", 999), sampleVolume("sdc", 1000)}))),
              "sdc");
}

TEST(CatalogVolumeMatching, SourceAndSynthesisedVolumeCarryTheDisk) {
    ExternalVolume card = sampleVolume("sdb", 1000, "EOS_DIGITAL");
    const auto recorded = sourceFor(card, std::nullopt, serial("S1"));
    EXPECT_EQ(recorded.kind, ScanCatalog::Source::Kind::volume);
    EXPECT_EQ(recorded.displayName, "EOS_DIGITAL");
    EXPECT_EQ(recorded.bsdName, "sdb");
    EXPECT_EQ(recorded.rawDevicePath, "/dev/sdb");
    EXPECT_EQ(recorded.sizeBytes, 1000u);
    EXPECT_EQ(recorded.identity, serial("S1"));
    EXPECT_EQ(sourceFor(card, "/dev/sdc", {}).rawDevicePath, "/dev/sdc");

    // An image file is recorded as one, its path never taken for a disk name.
    ExternalVolume image = sampleVolume("/srv/cards/card.img", 1000, "card.img");
    const auto fromImage = sourceFor(image, std::nullopt, {});
    EXPECT_EQ(fromImage.kind, ScanCatalog::Source::Kind::diskImage);
    EXPECT_FALSE(fromImage.bsdName);
    EXPECT_EQ(fromImage.rawDevicePath, "/srv/cards/card.img");

    const ExternalVolume standIn = synthesisedVolume(recorded, std::string("sdb"));
    EXPECT_EQ(standIn.name, "EOS_DIGITAL");
    EXPECT_EQ(standIn.bsdName, "sdb");
    EXPECT_EQ(standIn.sizeBytes, 1000u);
    EXPECT_TRUE(standIn.isEjectable);
    EXPECT_FALSE(standIn.isMounted);
    EXPECT_FALSE(standIn.path || standIn.protocolName || standIn.fileSystemName || standIn.partitionScheme);
}
