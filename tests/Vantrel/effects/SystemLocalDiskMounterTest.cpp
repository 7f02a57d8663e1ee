// Mounting a disk's volumes locally, on a fake sysfs, udev and mount table, with stand-ins for
// udisksctl and mount(8) that record how they were called.

#include "FakeDiskScenario.h"
#include "TestSupport.h"

#include "Vantrel/effects/SystemLocalDiskMounter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>
#include <sstream>
#include <sys/stat.h>

namespace vantrel {
namespace {

class SystemLocalDiskMounterTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The process runner starts only programs owned by root.
        if (!test::runningAsRoot()) GTEST_SKIP() << "the stand-in tools must be owned by root";
        test::buildFakeDiskScenario(tree);
        options.roots = {tree.sysfsRoot(), tree.mountInfoPath(), tree.udevRoot()};
        options.prober = nullptr;  // udev's records of the fake tree, never the real disks
        options.udisksctl = {tool("udisksctl", 0)};
        options.mount = {tool("mount", 0)};
    }

    // A stand-in that appends its name and arguments to the call log and exits with the status.
    std::filesystem::path tool(const std::string& name, int status) {
        const auto path = folder / (name + std::to_string(status));
        std::ofstream(path) << "#!/bin/sh\necho " << name << " \"$@\" >> " << callLog().string() << "\nexit " << status
                            << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::filesystem::path callLog() const { return folder / "calls"; }
    std::string calls() const {
        std::ifstream file(callLog());
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    test::TempDir folder;
    test::FakeSysfs tree{folder / "tree"};
    LocalMountOptions options;
};

TEST_F(SystemLocalDiskMounterTest, ADiskWhoseVolumesAreMountedIsDoneWithoutATool) {
    const SystemLocalDiskMounter mounter(options);
    EXPECT_EQ(mounter.mountNow("sdb"), std::nullopt);
    EXPECT_EQ(calls(), "");
}

// What a scan is to unmount, and so to mount again afterwards: only a disk with a mounted volume.
TEST_F(SystemLocalDiskMounterTest, OnlyADiskWithAMountedVolumeHoldsMounts) {
    const SystemLocalDiskMounter mounter(options);
    EXPECT_TRUE(mounter.holdsMounts("sdb"));
    EXPECT_TRUE(mounter.holdsMounts("sdb1")) << "a partition names its whole disk";
    EXPECT_FALSE(mounter.holdsMounts("mmcblk0"));
    EXPECT_FALSE(mounter.holdsMounts("sdz")) << "not attached";
    EXPECT_EQ(calls(), "");
}

TEST_F(SystemLocalDiskMounterTest, AnUnmountedVolumeIsMountedThroughUdisksAlsoWhenAPartitionIsNamed) {
    const SystemLocalDiskMounter mounter(options);
    EXPECT_EQ(mounter.mountNow("mmcblk0p1"), std::nullopt);
    EXPECT_EQ(calls(), "udisksctl mount --no-user-interaction --block-device /dev/mmcblk0p1\n");
}

TEST_F(SystemLocalDiskMounterTest, WithoutUdisksMountGetsTheDeviceAlone) {
    options.udisksctl = {folder / "missing-udisksctl"};
    const SystemLocalDiskMounter mounter(options);
    EXPECT_EQ(mounter.mountNow("mmcblk0"), std::nullopt);
    EXPECT_EQ(calls(), "mount /dev/mmcblk0p1\n");
}

TEST_F(SystemLocalDiskMounterTest, OnlyVolumesWithAFileSystemAreTriedAndEachFailureIsNamed) {
    tree.addDisk({"sdc", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/host7/target7:0:0/7:0:0:0", 2097152, 8, 32, true, {}});
    tree.addPartition("sdc", "sdc1", 1, 65536, 8, 33);
    tree.addPartition("sdc", "sdc2", 2, 2, 8, 34);  // an extended partition's entry: nothing to mount
    tree.addPartition("sdc", "sdc3", 3, 65536, 8, 35);
    tree.addPartition("sdc", "sdc5", 5, 65536, 8, 37);
    tree.setUdevProperties(8, 33, {{"ID_FS_TYPE", "swap"}});
    tree.setUdevProperties(8, 35, {{"ID_FS_TYPE", "vfat"}});
    tree.setUdevProperties(8, 37, {{"ID_FS_TYPE", "exfat"}});
    options.udisksctl = {tool("udisksctl", 1)};
    const SystemLocalDiskMounter mounter(options);
    const auto error = mounter.mountNow("sdc");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "Vantrel");
    EXPECT_EQ(error->message, "Could not mount /dev/sdc3 (exit status 1), /dev/sdc5 (exit status 1).");
    EXPECT_EQ(calls(), "udisksctl mount --no-user-interaction --block-device /dev/sdc3\n"
                       "udisksctl mount --no-user-interaction --block-device /dev/sdc5\n");
}

TEST_F(SystemLocalDiskMounterTest, ADiskThatIsGoneOrANameThatIsNoDiskIsAnError) {
    const SystemLocalDiskMounter mounter(options);
    const auto gone = mounter.mountNow("sdz");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->message, "sdz is not attached.");
    EXPECT_TRUE(mounter.mountNow("../sdb"));
    options.udisksctl = {folder / "missing-udisksctl"};
    options.mount = {folder / "missing-mount"};
    const auto untooled = SystemLocalDiskMounter(options).mountNow("mmcblk0");
    ASSERT_TRUE(untooled);
    EXPECT_NE(untooled->message.find("Neither udisksctl nor mount"), std::string::npos);
    EXPECT_EQ(calls(), "");
}

TEST_F(SystemLocalDiskMounterTest, MountDiskAnswersOnceFromAThreadOfItsOwn) {
    SystemLocalDiskMounter mounter(options);
    std::promise<std::optional<ErrorObject>> answer;
    const auto caller = std::this_thread::get_id();
    std::thread::id answeringThread;
    mounter.mountDisk("mmcblk0", [&](std::optional<ErrorObject> error) {
        answeringThread = std::this_thread::get_id();
        answer.set_value(std::move(error));
    });
    EXPECT_EQ(answer.get_future().get(), std::nullopt);
    EXPECT_NE(answeringThread, caller);
    EXPECT_EQ(calls(), "udisksctl mount --no-user-interaction --block-device /dev/mmcblk0p1\n");
}

} // namespace
} // namespace vantrel
