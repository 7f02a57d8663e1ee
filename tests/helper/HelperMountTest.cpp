// As root: a loop device over an ext4 image is unmounted when the helper opens it for a probe and
// mounted back on remount, and a destination on that disk is refused.

#include "HelperHarness.h"
#include "MountedLoop.h"

#include <fcntl.h>

namespace vantrel {
namespace {

using test::SpawnedHelper;

using test::canMakeLoopDevices;
using test::MountedLoop;
using test::mountAt;

constexpr std::uint64_t imageBytes = MountedLoop::imageBytes;

TEST(HelperMount, UnmountsALoopDiskForReadingAndMountsItBackOnRemount) {
    if (!canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    MountedLoop loop(dir);
    ASSERT_FALSE(loop.device().empty());
    const auto before = mountAt(loop.target());
    ASSERT_TRUE(before);

    SpawnedHelper spawned;
    test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
    spawned.helper->probeDeviceWithPath(loop.device(), probe.callback());
    const auto [length, probeError] = probe.get();
    EXPECT_FALSE(probeError) << probeError->message;
    EXPECT_EQ(length, static_cast<std::int64_t>(imageBytes));
    EXPECT_FALSE(mountAt(loop.target())) << "the probe unmounts the disk";

    test::ErrorAnswer remount;
    spawned.helper->remountDisksWithBsdNames({}, remount.callback());
    const auto remountError = test::waitError(remount);
    EXPECT_FALSE(remountError) << remountError->message;
    EXPECT_TRUE(spawned.client.saw("Remounting 1 disk(s)…"));
    EXPECT_TRUE(spawned.client.saw("Remount complete."));
    const auto after = mountAt(loop.target());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->fileSystemType, "ext4");
    EXPECT_EQ(after->source, before->source);
    EXPECT_EQ(test::readFile(loop.target() / "kept.txt"), test::randomBytes(100, 9));

    // A destination on the disk being read is refused, and nothing is written into it.
    const auto destination = loop.target() / "hit.bin";
    test::ErrorAnswer extract;
    spawned.helper->extractHitWithPath(loop.device(), 0, 4096, destination, SpawnedHelper::destination(destination),
                                       "signatureCarve", 0, 0, "", 0, 0, extract.callback());
    const auto error = test::waitError(extract);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EXDEV);
    EXPECT_EQ(std::filesystem::file_size(destination), 0u);
    EXPECT_TRUE(mountAt(loop.target())) << "an extraction does not unmount";
}

// The helper the application spawns serves one connection (its standard input, when started through
// pkexec): when the application goes, the helper ends and mounts back what it unmounted.
TEST(HelperMount, ASpawnedHelperWhoseConnectionEndsMountsBackAndExits) {
    if (!canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    MountedLoop loop(dir);
    SpawnedHelper spawned;
    test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
    spawned.helper->probeDeviceWithPath(loop.device(), probe.callback());
    EXPECT_FALSE(std::get<1>(probe.get()));
    ASSERT_FALSE(mountAt(loop.target()));
    spawned.helper.reset();
    spawned.connection.reset();
    EXPECT_EQ(spawned.process->waitForExit(), 0);
    EXPECT_TRUE(mountAt(loop.target()));
}

TEST(HelperMount, LoopDevicesNeedTheImageSwitch) {
    if (!canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    MountedLoop loop(dir);
    SpawnedHelper spawned(std::vector<std::string>{});
    test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
    spawned.helper->probeDeviceWithPath(loop.device(), probe.callback());
    const auto [length, error] = probe.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOTBLK);
    EXPECT_TRUE(mountAt(loop.target())) << "a refused device is not unmounted";
}

} // namespace
} // namespace vantrel
