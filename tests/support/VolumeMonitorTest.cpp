#include "support/volumes/VolumeMonitor.h"

#include "platform/disks/DiskInventory.h"
#include "platform/disks/WholeDiskName.h"
#include "support/volumes/VolumeDiscovery.h"
#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

ExternalVolume named(const std::string& name, const std::string& bsdName) {
    ExternalVolume volume;
    volume.name = name;
    volume.bsdName = bsdName;
    return volume;
}

// Counts passes and lets a test wait for the n-th published list.
class Published {
public:
    VolumeMonitor::Observer observer() {
        return [this](const std::vector<ExternalVolume>& volumes) {
            std::lock_guard lock(m_mutex);
            m_lists.push_back(volumes);
            m_changed.notify_all();
        };
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_lists.size() >= count; });
    }
    std::vector<ExternalVolume> last() {
        std::lock_guard lock(m_mutex);
        return m_lists.back();
    }
    std::size_t count() {
        std::lock_guard lock(m_mutex);
        return m_lists.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::vector<ExternalVolume>> m_lists;
};

TEST(VolumeMonitor, PublishesASortedListAndRepeatsEveryInterval) {
    std::atomic<int> passes{0};
    VolumeMonitor monitor(
        [&](bool) {
            ++passes;
            return std::vector<ExternalVolume>{named("b", "sdb"), named("A", "sdc")};
        },
        20ms);
    Published published;
    monitor.setObserver(published.observer());
    EXPECT_TRUE(monitor.volumes().empty());
    monitor.start();
    ASSERT_TRUE(published.waitForCount(3));
    EXPECT_EQ(published.last(), (std::vector<ExternalVolume>{named("A", "sdc"), named("b", "sdb")}));
    EXPECT_EQ(monitor.volumes(), published.last());

    monitor.stop();
    std::this_thread::sleep_for(50ms);  // a pass already under way may still end
    const int stoppedAt = passes;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(passes, stoppedAt);
}

TEST(VolumeMonitor, NeverBlocksItsCallerWhileDiscoveryRuns) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> lastShowInternal{false};
    std::promise<void> entered;
    std::atomic<int> passes{0};
    VolumeMonitor monitor(
        [&](bool showInternal) {
            lastShowInternal = showInternal;
            if (++passes == 1) entered.set_value();
            released.wait();
            return std::vector<ExternalVolume>{named("card", "mmcblk0")};
        },
        1h);
    Published published;
    monitor.setObserver(published.observer());

    const auto started = std::chrono::steady_clock::now();
    monitor.start();
    entered.get_future().wait();
    monitor.setShowInternal(true);
    monitor.refresh();
    EXPECT_TRUE(monitor.volumes().empty());
    EXPECT_TRUE(monitor.showInternal());
    monitor.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);

    release.set_value();
    // The first pass, then the refresh asked for while it ran, which sees the new switch.
    ASSERT_TRUE(published.waitForCount(2));
    EXPECT_TRUE(lastShowInternal);
    EXPECT_EQ(monitor.volumes().at(0).bsdName, "mmcblk0");
}

TEST(VolumeMonitor, RefreshWorksWithoutStartAndAFailedPassKeepsTheList) {
    std::atomic<int> passes{0};
    VolumeMonitor monitor(
        [&](bool) -> std::vector<ExternalVolume> {
            if (++passes == 2) throw std::runtime_error("sysfs went away");
            return {named("stick", "sdb")};
        },
        1h);
    Published published;
    monitor.setObserver(published.observer());
    monitor.refresh();
    ASSERT_TRUE(published.waitForCount(1));
    monitor.refresh();
    for (int i = 0; i < 500 && passes < 2; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(passes, 2);
    EXPECT_EQ(published.count(), 1u);
    EXPECT_EQ(monitor.volumes().size(), 1u);
    monitor.refresh();
    ASSERT_TRUE(published.waitForCount(2));
}

TEST(VolumeMonitor, DestructionWaitsForThePassAndSilencesTheObserver) {
    std::atomic<bool> observed{false};
    {
        VolumeMonitor monitor(
            [](bool) {
                std::this_thread::sleep_for(100ms);
                return std::vector<ExternalVolume>{named("x", "sdx")};
            },
            1h);
        monitor.setObserver([&](const std::vector<ExternalVolume>&) { observed = true; });
        monitor.start();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(observed);
}

// Waits for a path the kernel makes after a partition scan (half a second at most).
bool waitForPath(const std::filesystem::path& path) {
    for (int i = 0; i < 25; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class RealMachine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to attach loop devices";
        for (const auto* tool : {"losetup", "mkfs.fat", "truncate", "blkid"})
            if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        if (!std::filesystem::exists("/dev/loop-control")) GTEST_SKIP() << "no loop devices on this machine";
    }
    test::TempDir dir;
};

TEST_F(RealMachine, MonitorListsALoopDeviceHoldingAFatImage) {
    const auto image = dir / "card.img";
    test::runOrFail({"truncate", "-s", "32M", image.string()});
    test::runOrFail({"mkfs.fat", "-n", "LOOPCARD", image.string()});
    const test::LoopDevice loop(image, 512, false);
    if (loop.name().empty()) GTEST_SKIP() << "losetup could not attach a loop device";

    // A disk image counts as internal, so it is listed only when internal disks are shown.
    VolumeMonitor monitor;
    monitor.setShowInternal(true);
    Published published;
    monitor.setObserver(published.observer());
    monitor.start();
    ASSERT_TRUE(published.waitForCount(1, 30s));
    const auto volumes = published.last();
    const auto found = std::find_if(volumes.begin(), volumes.end(), [&](const ExternalVolume& v) { return v.bsdName == loop.name(); });
    ASSERT_NE(found, volumes.end());
    EXPECT_EQ(found->name, "LOOPCARD");
    EXPECT_EQ(found->sizeBytes, 32u * 1024 * 1024);
    EXPECT_EQ(found->protocolName, "Disk Image");
    EXPECT_EQ(found->fileSystemName, "FAT");
    EXPECT_TRUE(found->supportsQuickUndeleteScan());
    EXPECT_EQ(found->rawDevicePath(), "/dev/" + loop.name());
    monitor.stop();

    const auto external = VolumeDiscovery::discover(DiskInventory(), false);
    EXPECT_TRUE(std::none_of(external.begin(), external.end(), [&](const ExternalVolume& v) { return v.bsdName == loop.name(); }));
}

TEST_F(RealMachine, PartitionedImageShowsItsSchemeAndPartitions) {
    const auto image = dir / "disk.img";
    constexpr std::uint32_t imageSectors = 40 * 2048;
    constexpr std::uint32_t firstSector = 2048;
    // A classic MBR (sector 0) with one FAT32 LBA partition: entry 1 at offset 446, type 0x0C at +4,
    // first sector at +8 and sector count at +12 (little endian), signature 55 AA at 510.
    Bytes disk(std::size_t{imageSectors} * 512, 0);
    const auto putU32 = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) disk[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    disk[446 + 4] = 0x0C;
    putU32(446 + 8, firstSector);
    putU32(446 + 12, imageSectors - firstSector);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    test::writeFile(image, disk);
    const test::LoopDevice loop(image, 512, false, true);
    if (loop.name().empty()) GTEST_SKIP() << "losetup could not attach a loop device";
    // The partition map is read from the whole disk even where the kernel does not scan partitions.
    const auto unscanned = DiskInventory().describe(loop.name());
    ASSERT_TRUE(unscanned);
    EXPECT_EQ(unscanned->partitionScheme, "MBR");

    const std::string partition = loop.name() + "p1";
    if (!waitForPath("/sys/class/block/" + partition) || !waitForPath("/dev/" + partition))
        GTEST_SKIP() << "the kernel did not scan the loop device's partitions here";
    test::runOrFail({"mkfs.fat", "-F", "32", "-n", "PARTED", "/dev/" + partition});

    EXPECT_EQ(wholeDiskName(partition), loop.name());
    const auto facts = DiskInventory().describe(loop.name());
    ASSERT_TRUE(facts);
    EXPECT_TRUE(facts->isDiskImage());
    EXPECT_EQ(facts->partitionScheme, "MBR");
    ASSERT_EQ(facts->partitions.size(), 1u);
    EXPECT_EQ(facts->partitions[0].name, partition);
    EXPECT_EQ(facts->partitions[0].fileSystemName, "MS-DOS FAT32");
    EXPECT_EQ(facts->partitions[0].label, "PARTED");
    const auto volume = VolumeDiscovery::volumeFromDisk(*facts);
    EXPECT_EQ(volume.name, "PARTED");
    EXPECT_EQ(volume.partitionScheme, "MBR");
    EXPECT_EQ(volume.fileSystemName, "FAT");
}

} // namespace
} // namespace vantrel
