// The destination checks with the memo a connection keeps for a batch: the memo spares following the
// storage again for the next file into the same folder, never the check that a destination is not the
// very file the source is.

#include "VantrelHelper/DestinationCheck.h"

#include "VantrelHelper/HelperError.h"
#include "platform/UniqueFd.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {
namespace {

DeviceAccess::CheckedDevice imageSource(const std::filesystem::path& image) {
    struct stat info {};
    EXPECT_EQ(::stat(image.c_str(), &info), 0);
    DeviceAccess::CheckedDevice source;
    source.resolvedPath = image.string();
    source.fileDevice = info.st_dev;
    source.fileInode = info.st_ino;
    return source;
}

// The error code of the claim, 0 when it was granted.
int claimCode(const std::filesystem::path& path, const DeviceAccess::CheckedDevice& source, DestinationCheck::PlacementMemo* memo) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    EXPECT_TRUE(fd) << path;
    try {
        const auto claim = DestinationCheck::claim(fd.get(), path.string(), source, UserIdentity{::getuid(), ::getgid(), {}}, memo);
        return 0;
    } catch (const HelperError& refused) {
        return static_cast<int>(refused.error().code);
    }
}

TEST(DestinationCheck, TheBatchMemoNeverLetsTheSourceItselfBeWritten) {
    const test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, Bytes(64 * 1024, 7));
    const auto source = imageSource(image);
    struct Row {
        const char* name;
        bool withMemo;
        int code;
    };
    DestinationCheck::PlacementMemo memo;
    // In order: the memo learns the folder from the first file and vouches for the next ones.
    const Row rows[] = {
        {"card.img", false, EXDEV}, {"one.jpg", true, 0}, {"card.img", true, EXDEV}, {"two.jpg", true, 0},
        {"card.img", true, EXDEV},  {"three.jpg", false, 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(claimCode(dir / row.name, source, row.withMemo ? &memo : nullptr), row.code)
            << row.name << (row.withMemo ? " with the memo" : " without the memo");
    EXPECT_EQ(test::readFile(image), Bytes(64 * 1024, 7)) << "the source is never touched";
}

} // namespace
} // namespace vantrel
