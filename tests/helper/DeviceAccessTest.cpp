#include "VantrelHelper/DeviceAccess.h"

#include "platform/UniqueFd.h"
#include "support/VantrelError.h"
#include "tests/fixtures/FakeSysfs.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vantrel {
namespace {

ErrorObject refusal(const std::string& path) {
    try {
        DeviceAccess::checkDevicePath(path);
    } catch (const HelperError& error) {
        return error.error();
    }
    ADD_FAILURE() << path << " was accepted";
    return {};
}

class DeviceAccessTest : public ::testing::Test {
protected:
    void allowImages(bool allow) { DeviceAccess::configure({allow, {}, "VantrelHelper"}); }
    void TearDown() override { allowImages(false); }
};

TEST_F(DeviceAccessTest, AcceptsImageFilesOnlyWithTheSwitchAndResolvesLinks) {
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, test::randomBytes(1024, 1));
    std::filesystem::create_symlink(image, dir / "link.img");

    allowImages(false);
    EXPECT_EQ(refusal(image).code, ENOTBLK);
    EXPECT_EQ(refusal("/dev/null").code, ENOTBLK) << "a character device";
    EXPECT_EQ(refusal("relative.img").code, ENOTBLK);
    EXPECT_EQ(refusal((dir / "missing").string()).code, ENOENT);

    allowImages(true);
    const auto checked = DeviceAccess::checkDevicePath(dir / "link.img");
    EXPECT_EQ(checked.resolvedPath, std::filesystem::canonical(image).string());
    EXPECT_FALSE(checked.isBlockDevice);
    EXPECT_EQ(refusal(dir.path().string()).code, ENOTBLK) << "a folder";
    EXPECT_EQ(DeviceAccess::candidateNodes("/dev/sdb1"), std::vector<std::string>{"/dev/sdb1"})
        << "a partition never falls back to its disk: the byte base would change";
}

// What a look-up of /dev/sdb answers.
DeviceAccess::CheckedDevice checkedSdb() {
    DeviceAccess::CheckedDevice device;
    device.resolvedPath = "/dev/sdb";
    device.isBlockDevice = true;
    device.diskName = "sdb";
    device.blockDevice = makedev(8, 16);
    return device;
}

// A look-up is reused for the same path only, for at most the reuse limit from when it began, and
// never once forgotten.
TEST(DeviceAccessLookupMemo, ReusesALookUpForTheSamePathWithinItsLimitOnly) {
    using namespace std::chrono_literals;
    using Memo = DeviceAccess::LookupMemo;
    const auto start = std::chrono::steady_clock::time_point(1h);
    const auto device = checkedSdb();
    Memo memo;
    EXPECT_FALSE(memo.recall("/dev/sdb", start)) << "nothing looked up yet";
    memo.remember("/dev/sdb", device, start);
    struct Row {
        const char* path;
        std::chrono::milliseconds after;
        bool reused;
    };
    const Row rows[] = {
        {"/dev/sdb", 0ms, true},
        {"/dev/sdb", Memo::reuseLimit, true},
        {"/dev/sdb", Memo::reuseLimit + 1ms, false},
        {"/dev/sdb1", 0ms, false},
        {"/dev/sdb", -1ms, false},  // a clock that went back tells nothing of the age
    };
    for (const auto& row : rows) {
        const auto recalled = memo.recall(row.path, start + row.after);
        EXPECT_EQ(recalled.has_value(), row.reused) << row.path << " after " << row.after.count() << " ms";
        if (recalled) {
            EXPECT_TRUE(DeviceAccess::sameDevice(*recalled, device));
            EXPECT_EQ(recalled->resolvedPath, "/dev/sdb");
            EXPECT_EQ(recalled->diskName, "sdb");
        }
    }
    memo.forget();
    EXPECT_FALSE(memo.recall("/dev/sdb", start));
}

// The peer's right to read an answer is recalled with that answer only: granted for another path or
// device it counts for nothing, and a new look-up or a forgotten one has to be granted again.
TEST(DeviceAccessLookupMemo, RecallsThePeersRightWithTheAnswerItWasGrantedFor) {
    using namespace std::chrono_literals;
    const auto start = std::chrono::steady_clock::time_point(1h);
    const auto device = checkedSdb();
    auto other = device;
    other.blockDevice = makedev(8, 32);
    const auto readable = [&](DeviceAccess::LookupMemo& memo, std::chrono::milliseconds after) {
        bool granted = true;
        const auto recalled = memo.recall("/dev/sdb", start + after, &granted);
        return recalled && granted;
    };
    DeviceAccess::LookupMemo memo;
    memo.remember("/dev/sdb", device, start);
    EXPECT_FALSE(readable(memo, 0ms)) << "looked up, not granted yet";
    memo.readableRemembered("/dev/sdb1", device);
    memo.readableRemembered("/dev/sdb", other);
    EXPECT_FALSE(readable(memo, 0ms)) << "granted for another path or device";
    memo.readableRemembered("/dev/sdb", device);
    EXPECT_TRUE(readable(memo, 0ms));
    EXPECT_TRUE(readable(memo, DeviceAccess::LookupMemo::reuseLimit));
    EXPECT_FALSE(readable(memo, DeviceAccess::LookupMemo::reuseLimit + 1ms)) << "no longer than the answer";
    memo.remember("/dev/sdb", device, start + 2s);
    EXPECT_FALSE(readable(memo, 2s)) << "a new look-up is granted anew";
    memo.readableRemembered("/dev/sdb", device);
    memo.forget();
    memo.remember("/dev/sdb", device, start + 3s);
    EXPECT_FALSE(readable(memo, 3s));
}

TEST_F(DeviceAccessTest, MapsARefusalByTheSystemToTheDiskAccessError) {
    const auto mapped = DeviceAccess::mapOpenError(ErrorObject::posix(EACCES, "/dev/sdb"), "/dev/sdb", "/usr/libexec/vantrel/VantrelHelper");
    EXPECT_EQ(mapped.domain, "Vantrel");
    EXPECT_EQ(mapped.code, 12);
    EXPECT_EQ(mapped.path, "/dev/sdb");
    EXPECT_NE(mapped.message.find(" Helper: /usr/libexec/vantrel/VantrelHelper"), std::string::npos);
    const auto other = ErrorObject::posix(EIO, "/dev/sdb");
    EXPECT_EQ(DeviceAccess::mapOpenError(other, "/dev/sdb", std::nullopt), other);
}

TEST_F(DeviceAccessTest, RemountLeavesLeasedDisksAndHostileNamesAlone) {
    EXPECT_FALSE(DeviceAccess::mountDisk("../etc"));
    EXPECT_FALSE(DeviceAccess::mountDisk(""));
    EXPECT_TRUE(DeviceAccess::mountDisk("sdz9")) << "nothing recorded: nothing to do";
    {
        const auto lease = DeviceAccess::leaseDisk("sdz");
        const auto second = DeviceAccess::leaseDisk("sdz");
        EXPECT_TRUE(DeviceAccess::isLeased("sdz"));
        EXPECT_FALSE(DeviceAccess::mountDisk("sdz1")) << "a running scan reads the disk";
    }
    EXPECT_FALSE(DeviceAccess::isLeased("sdz"));
    EXPECT_TRUE(DeviceAccess::unmountedDisks().empty());
}

TEST_F(DeviceAccessTest, ServesUsersOtherThanRootOnlyExternalDisksWithoutSystemMounts) {
    test::TempDir dir;
    test::FakeSysfs sysfs(dir.path());
    sysfs.addDisk({"sda", "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", 1000000, 8, 0, false, {}});
    sysfs.addPartition("sda", "sda1", 1, 900000, 8, 1);
    sysfs.addDisk({"sdb", "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", 100000, 8, 16, true, {}});
    sysfs.addPartition("sdb", "sdb1", 1, 50000, 8, 17);
    sysfs.addDisk({"sdc", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0", 100000, 8, 32, true, {}});
    sysfs.addPartition("sdc", "sdc1", 1, 50000, 8, 33);
    sysfs.addMount(8, 1, "/home", "ext4", "/dev/sda1");
    sysfs.addMount(8, 17, "/media/card", "vfat", "/dev/sdb1");
    sysfs.addMount(8, 33, "/", "ext4", "/dev/sdc1");
    DeviceAccess::configure({false, {sysfs.sysfsRoot(), sysfs.mountInfoPath()}, "VantrelHelper"});

    EXPECT_TRUE(DeviceAccess::servesUnprivilegedPeers("sdb"));
    EXPECT_FALSE(DeviceAccess::servesUnprivilegedPeers("sda")) << "internal";
    EXPECT_FALSE(DeviceAccess::servesUnprivilegedPeers("sdc")) << "a USB disk the system runs from";
    EXPECT_FALSE(DeviceAccess::servesUnprivilegedPeers("sdx")) << "not attached";

    DeviceAccess::CheckedDevice internal;
    internal.resolvedPath = "/dev/sda";
    internal.isBlockDevice = true;
    internal.diskName = "sda";
    EXPECT_NO_THROW(DeviceAccess::checkPeerMayRead(internal, {}));
    try {
        DeviceAccess::checkPeerMayRead(internal, {1000, 1000, {}});
        ADD_FAILURE() << "a user read an internal disk";
    } catch (const HelperError& error) {
        // The helper's own rule, not the system's refusal: no "blocked raw disk access" for it.
        EXPECT_EQ(error.error().domain, "Vantrel");
        EXPECT_EQ(error.error().code, 17);
        EXPECT_EQ(error.error().message, "Only root may read /dev/sda: it is an internal or system disk");
        EXPECT_FALSE(VantrelError::isDiskAccessDenied(error.error()));
        EXPECT_EQ(DeviceAccess::mapOpenError(error.error(), "/dev/sda", "VantrelHelper"), error.error());
    }
}

TEST_F(DeviceAccessTest, ResolvesPathsForOtherUsersWithTheirOwnRights) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to act as another user";
    allowImages(true);
    test::TempDir dir;
    const auto closed = dir / "closed";
    std::filesystem::create_directory(closed);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(closed.c_str(), 0700), 0);
    const auto image = closed / "card.img";
    test::writeFile(image, test::randomBytes(4096, 3));
    ASSERT_EQ(::chmod(image.c_str(), 0644), 0);
    const UserIdentity nobody{65534, 65534, {}};

    EXPECT_NO_THROW(DeviceAccess::checkDevicePath(image, {})) << "root resolves it";
    const auto answer = [&](const std::filesystem::path& path) {
        try {
            DeviceAccess::checkDevicePath(path, nobody);
        } catch (const HelperError& error) {
            return error.error();
        }
        return ErrorObject{};
    };
    // An existing file in a folder closed to the user and a missing one get the same answer.
    const auto existing = answer(image);
    const auto missing = answer(closed / "missing.img");
    EXPECT_EQ(existing.domain, "Vantrel");
    EXPECT_EQ(existing.code, 17);
    EXPECT_EQ(existing.message, image.string() + " does not exist or you may not read it");
    EXPECT_EQ(missing.code, existing.code);
    EXPECT_EQ(missing.message, (closed / "missing.img").string() + " does not exist or you may not read it");
    EXPECT_EQ(DeviceAccess::checkDevicePath(image, {}).resolvedPath, image.string()) << "the thread is root again";
}

} // namespace
} // namespace vantrel
