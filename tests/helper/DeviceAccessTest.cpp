#include "VantrelHelper/DeviceAccess.h"

#include "platform/UniqueFd.h"
#include "support/VantrelError.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

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

TEST_F(DeviceAccessTest, RefusesUnwritableDestinationsAndTheImageItself) {
    test::TempDir dir;
    allowImages(true);
    const auto image = dir / "card.img";
    test::writeFile(image, test::randomBytes(1024, 2));
    const auto device = DeviceAccess::checkDevicePath(image);
    const auto codeFor = [&](int fd) {
        UniqueFd owned(fd);
        try {
            DeviceAccess::checkDestination(fd, "destination", device);
        } catch (const HelperError& error) {
            return error.error().code;
        }
        return std::int64_t{0};
    };
    EXPECT_EQ(codeFor(::open(image.c_str(), O_RDWR | O_CLOEXEC)), EXDEV);
    EXPECT_EQ(codeFor(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC)), EINVAL);
    EXPECT_EQ(codeFor(-1), EBADF);
    const auto other = dir / "out.bin";
    test::writeFile(other, {});
    EXPECT_EQ(codeFor(::open(other.c_str(), O_RDONLY | O_CLOEXEC)), EBADF);
    EXPECT_EQ(codeFor(::open(other.c_str(), O_WRONLY | O_CLOEXEC)), 0);
}

} // namespace
} // namespace vantrel
