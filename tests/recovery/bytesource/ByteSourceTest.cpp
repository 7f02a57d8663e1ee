#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"

#include "tests/fuzz/VolumeByteSource.h"

#include "LoopDevice.h"
#include "StrictByteSource.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

using namespace vantrel;
using vantrel::test::LoopDevice;
using vantrel::test::TempDir;

namespace {

template <typename Body>
void expectByteSourceError(ByteSourceError::Kind kind, Body body) {
    try {
        body();
        ADD_FAILURE() << "no error";
    } catch (const ByteSourceError& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
    }
}

Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

} // namespace

TEST(FileByteSource, ServesAFileExactlyWithClampingAtTheEnd) {
    TempDir dir;
    const Bytes content = test::randomBytes(1000, 1);
    test::writeFile(dir / "image.bin", content);
    FileByteSource source((dir / "image.bin").string());
    EXPECT_EQ(source.length(), 1000u);
    EXPECT_EQ(source.blockSize(), 512u);
    EXPECT_EQ(source.read(0, 1000), content);
    EXPECT_EQ(source.read(513, 7), slice(content, 513, 7));
    EXPECT_EQ(source.read(990, 100), slice(content, 990, 10));  // the last block is partial
    EXPECT_TRUE(source.read(5000, 0).empty());
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(1000, 1); });
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(0, -1); });
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(UINT64_MAX, 2); });
    EXPECT_EQ(source.read(999, INT64_MAX), slice(content, 999, 1));
}

TEST(FileByteSource, ReadsLargerThanOneTransferArriveWhole) {
    TempDir dir;
    const std::size_t size = 10 * 1024 * 1024 + 333;
    const Bytes content = test::randomBytes(size, 2);
    test::writeFile(dir / "big.bin", content);
    FileByteSource source((dir / "big.bin").string());
    Bytes out;
    source.readInto(17, static_cast<std::int64_t>(size), out);
    EXPECT_EQ(out, slice(content, 17, size - 17));
    source.readInto(4 * 1024 * 1024, 4 * 1024 * 1024, out);  // aligned: straight into the caller's buffer
    EXPECT_EQ(out, slice(content, 4 * 1024 * 1024, 4 * 1024 * 1024));
}

// The kernel copies out of the page cache at a third of its speed into a buffer a few bytes past a page
// boundary: every byte buffer of a page or more starts on one, however it was made or grown.
TEST(ByteBuffers, BuffersOfAPageOrMoreStartOnAPageBoundary) {
    auto pageAligned = [](const Bytes& bytes) { return reinterpret_cast<std::uintptr_t>(bytes.data()) % ioPageBytes == 0; };
    std::vector<Bytes> kept;  // held, so that later buffers cannot reuse a lucky block
    for (std::size_t size : {std::size_t{4096}, std::size_t{256 * 1024}, std::size_t{1024 * 1024}, std::size_t{4 * 1024 * 1024 + 8192}}) {
        kept.emplace_back(size);
        EXPECT_TRUE(pageAligned(kept.back())) << size;
        kept.emplace_back(Bytes(size, 7));
        EXPECT_TRUE(pageAligned(kept.back())) << size;
    }
    Bytes grown;
    for (int i = 0; i < 70'000; ++i) grown.push_back(static_cast<std::uint8_t>(i));
    EXPECT_TRUE(pageAligned(grown));
    EXPECT_EQ(grown[65'537], static_cast<std::uint8_t>(65'537));
    Bytes copied(grown.begin(), grown.end());
    EXPECT_TRUE(pageAligned(copied));
    EXPECT_EQ(copied, grown);

    TempDir dir;
    const Bytes content = test::randomBytes(300'000, 3);
    test::writeFile(dir / "card.bin", content);
    FileByteSource source((dir / "card.bin").string());
    Bytes window;
    source.readInto(4096, 200'000, window);
    EXPECT_TRUE(pageAligned(window));
    EXPECT_EQ(window, slice(content, 4096, 200'000));
    // Small buffers keep working as before.
    Bytes small{1, 2, 3};
    small.insert(small.end(), {4, 5});
    EXPECT_EQ(small, (Bytes{1, 2, 3, 4, 5}));
}

TEST(FileByteSource, OpenFailuresNameThePathAndEmptyFilesHaveNoSize) {
    TempDir dir;
    try {
        FileByteSource source((dir / "missing.bin").string());
        ADD_FAILURE() << "opened a missing file";
    } catch (const PosixError& error) {
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_EQ(error.path(), (dir / "missing.bin").string());
        EXPECT_FALSE(error.isDeviceGone());
    }
    test::writeFile(dir / "empty.bin", {});
    expectByteSourceError(ByteSourceError::Kind::deviceSizeUnknown, [&] { FileByteSource source((dir / "empty.bin").string()); });
}

TEST(FileByteSource, SizeFallsBackToSysfsByName) {
    TempDir dir;
    // A character device has no size of its own; the size comes from the block tree under the same name.
    std::filesystem::create_directories(dir / "block" / "null");
    test::writeFile(dir / "block" / "null" / "size", Bytes{'8', '\n'});
    FileByteSource source("/dev/null", (dir / "block").string());
    EXPECT_EQ(source.length(), 4096u);
    expectByteSourceError(ByteSourceError::Kind::readFailed, [&] { source.read(0, 10); });
    expectByteSourceError(ByteSourceError::Kind::deviceSizeUnknown, [&] { FileByteSource other("/dev/null", (dir / "none").string()); });
}

TEST(FileByteSource, LoopDeviceWith4KSectorsIsReadAligned) {
    if (const auto reason = LoopDevice::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    TempDir dir;
    const Bytes content = test::randomBytes(1024 * 1024, 3);
    test::writeFile(dir / "disk.img", content);
    LoopDevice loop(dir / "disk.img", 4096);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device available";
    FileByteSource source(loop.path());
    EXPECT_EQ(source.blockSize(), 4096u);
    EXPECT_EQ(source.length(), content.size());
    EXPECT_EQ(source.read(5000, 10), slice(content, 5000, 10));
    EXPECT_EQ(source.read(content.size() - 10, 100), slice(content, content.size() - 10, 10));
    EXPECT_EQ(source.read(4095, 8194), slice(content, 4095, 8194));
}

TEST(FileByteSource, AdoptsAnOpenDescriptor) {
    TempDir dir;
    const Bytes content = test::randomBytes(2048, 4);
    test::writeFile(dir / "a.bin", content);
    const int fd = ::open((dir / "a.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FileByteSource source(fd, (dir / "a.bin").string());
    EXPECT_EQ(source.read(100, 50), slice(content, 100, 50));
}

TEST(MemoryByteSource, ClampsAtTheEndLikeADevice) {
    const Bytes content = test::randomBytes(16, 5);
    MemoryByteSource source(content);
    EXPECT_EQ(source.length(), 16u);
    EXPECT_EQ(source.read(8, 8), slice(content, 8, 8));
    EXPECT_EQ(source.read(8, 9), slice(content, 8, 8));
    EXPECT_EQ(source.read(15, INT64_MAX), slice(content, 15, 1));
    EXPECT_TRUE(source.read(16, 0).empty());
    EXPECT_TRUE(source.read(UINT64_MAX, 0).empty());
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(16, 1); });
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(UINT64_MAX, 1); });
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(0, -1); });
}

TEST(VolumeByteSource, ClampsLikeADeviceAndStopsTheRunOnAReadOutsideTheVolume) {
    const Bytes content = test::randomBytes(1024, 8);
    fuzz::VolumeByteSource source(content.data(), content.size());
    EXPECT_EQ(source.read(1000, 100), slice(content, 1000, 24));
    EXPECT_DEATH(source.read(1024, 1), "read outside the volume");
    EXPECT_DEATH(source.read(0, -1), "read outside the volume");
    source.limitTo(512, 256);
    EXPECT_EQ(source.read(700, 100), slice(content, 700, 100)) << "a read may run past the volume's end, clamped by the device only";
    EXPECT_DEATH(source.read(100, 1), "read outside the volume");
    EXPECT_DEATH(source.read(768, 1), "read outside the volume");
}

TEST(StrictByteSource, RefusesEveryRangeNotWhollyInside) {
    const Bytes content = test::randomBytes(16, 5);
    test::StrictByteSource source(content);
    EXPECT_EQ(source.read(8, 8), slice(content, 8, 8));
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(8, 9); });
    expectByteSourceError(ByteSourceError::Kind::outOfBounds, [&] { source.read(UINT64_MAX, 2); });
    EXPECT_EQ(source.refusedReads(), 2);
}

TEST(FileByteSource, AFileTruncatedAfterOpeningIsADeviceChangeNotABadSpot) {
    TempDir dir;
    const Bytes content = test::randomBytes(64 * 1024, 6);
    test::writeFile(dir / "image.bin", content);
    FileByteSource source((dir / "image.bin").string());
    std::filesystem::resize_file(dir / "image.bin", 10000);
    EXPECT_EQ(source.length(), content.size()) << "the length found at opening stays";
    EXPECT_EQ(source.currentLength(), 10000u);
    EXPECT_EQ(source.read(0, 9000), slice(content, 0, 9000));
    for (const std::uint64_t offset : {std::uint64_t{9000}, std::uint64_t{20000}}) {
        try {
            source.read(offset, 4096);
            ADD_FAILURE() << "read past the new end at " << offset;
        } catch (const ByteSourceError& error) {
            EXPECT_EQ(error.kind(), ByteSourceError::Kind::deviceChanged);
            EXPECT_EQ(error.offset(), 10000u);
            EXPECT_NE(std::string(error.what()).find("device changed"), std::string::npos) << error.what();
        }
    }
}

TEST(FileByteSource, ALoopDeviceResizedAfterOpeningIsADeviceChange) {
    if (const auto reason = LoopDevice::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    TempDir dir;
    const Bytes content = test::randomBytes(4 * 1024 * 1024, 7);
    test::writeFile(dir / "disk.img", content);
    LoopDevice loop(dir / "disk.img", 4096);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device available";
    FileByteSource source(loop.path());
    std::filesystem::resize_file(dir / "disk.img", 1024 * 1024);
    ASSERT_TRUE(loop.refreshCapacity());
    EXPECT_EQ(source.currentLength(), 1024u * 1024);
    EXPECT_EQ(source.read(1024 * 1024 - 4096, 4096), slice(content, 1024 * 1024 - 4096, 4096));
    expectByteSourceError(ByteSourceError::Kind::deviceChanged, [&] { source.read(2 * 1024 * 1024, 4096); });
}
