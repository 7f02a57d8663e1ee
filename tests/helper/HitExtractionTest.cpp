#include "VantrelHelper/HitExtraction.h"

#include "VantrelHelper/HelperError.h"
#include "platform/UniqueFd.h"
#include "support/VantrelError.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/stat.h>

namespace vantrel {
namespace {

constexpr std::uint64_t oneMebibyte = 1024 * 1024;

std::int64_t invalidCode(const HitExtraction::HitDescription& description) {
    try {
        HitExtraction::hitFor(description);
    } catch (const HelperError& error) {
        return error.error().code;
    }
    return 0;
}

TEST(HitExtraction, BuildsTheHitToReadBackFromTheRequest) {
    const auto plain = HitExtraction::hitFor({7, 0, "noSuchSource", 1, 4096, "fat32"});
    EXPECT_EQ(plain.byteOffset, 7u);
    EXPECT_EQ(plain.byteLength, 0u);
    EXPECT_EQ(plain.source, HitSource::signatureCarve);
    EXPECT_EQ(plain.suggestedName, "extract.bin");
    EXPECT_FALSE(plain.clusterHint) << "cluster 1 is no data cluster";
    EXPECT_FALSE(HitExtraction::hitFor({0, 10, "fatUndelete", 8, 0, ""}).clusterHint);
    EXPECT_FALSE(HitExtraction::hitFor({0, 10, "fatUndelete", 8, 0, "FAT32"}).clusterHint);

    const auto chained = HitExtraction::hitFor({100, 10, "exfatUndelete", 8, 1048576, "exfat"});
    EXPECT_EQ(chained.source, HitSource::exfatUndelete);
    ASSERT_TRUE(chained.clusterHint);
    EXPECT_EQ(chained.clusterHint->firstCluster, 8u);
    EXPECT_EQ(chained.clusterHint->partitionOffset, 1048576u);
    EXPECT_EQ(chained.clusterHint->fileSystem, DetectedFileSystem::exfat);

    try {
        HitExtraction::hitFor({0, 10, "fatUndelete", std::int64_t{UINT32_MAX} + 1, 0, "fat32"});
        ADD_FAILURE() << "no error";
    } catch (const HelperError& error) {
        EXPECT_EQ(error.error().code, EINVAL);
        EXPECT_EQ(error.error().message, "First cluster 4294967296 is out of range");
    }
    // A negative offset once read the last bytes of a 64-bit range, a negative length gave an empty "hit".
    EXPECT_EQ(invalidCode({-1, 10, "signatureCarve", 0, 0, ""}), EINVAL);
    EXPECT_EQ(invalidCode({0, -5, "signatureCarve", 0, 0, ""}), EINVAL);
    EXPECT_EQ(invalidCode({0, 10, "fatUndelete", 8, -512, "fat32"}), EINVAL);

    // A picture in two pieces: the second after the first, holding some of the file but not all.
    EXPECT_EQ(HitExtraction::hitFor({100, 30, "signatureCarve", 0, 0, "", 200, 10}).secondPiece, (HitPiece{200, 10}));
    EXPECT_FALSE(HitExtraction::hitFor({100, 30, "signatureCarve", 0, 0, "", 0, 0}).secondPiece);
    for (const auto& [offset, length] : {std::pair<std::int64_t, std::int64_t>{110, 10}, {200, 30}, {-1, 10}, {200, -10}})
        EXPECT_EQ(invalidCode({100, 30, "signatureCarve", 0, 0, "", offset, length}), EINVAL) << offset << " " << length;
}

class Destination {
public:
    explicit Destination(const test::TempDir& dir) : path(dir / "out.bin") {
        test::writeFile(path, Bytes(100, 0xEE));  // something to be replaced
        ::chmod(path.c_str(), 0600);
        fd.reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    }
    std::filesystem::path path;
    UniqueFd fd;
};

// Small hits, and large ones written back window by window: below the first window, at one, just past
// it, past the windows kept ahead (the first ones waited for and let go), and a last part of a window.
TEST(HitExtraction, WritesAHitOverWhateverTheDestinationHeldAndLeavesItsMode) {
    const std::uint64_t window = HitExtraction::writebackWindowBytes;
    const std::uint64_t kept = HitExtraction::writebackWindowsAhead * window;
    MemoryByteSource source(test::randomBytes(kept + 3 * window, 1));
    for (const std::uint64_t length : {std::uint64_t{3}, 2 * oneMebibyte + 3, HitExtraction::writebackMinBytes + 4095, window,
                                       window + 5, kept + window, kept + 2 * window + oneMebibyte + 7}) {
        SCOPED_TRACE(length);
        test::TempDir dir;
        Destination destination(dir);
        RecoveredHit hit;
        hit.byteOffset = 10;
        hit.byteLength = length;
        EXPECT_EQ(HitExtraction::writeHit(source, hit, destination.fd.get(), destination.path), hit.byteLength);
        EXPECT_EQ(test::readFile(destination.path), source.read(10, static_cast<std::int64_t>(hit.byteLength)));
        EXPECT_EQ(::fcntl(destination.fd.get(), F_GETFL) & O_DIRECT, 0) << "the descriptor is left as it came";
        struct stat info {};
        ASSERT_EQ(::stat(destination.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << "the mode is the creator's";
    }
}

// A hit or a copy that cannot be finished fails and says why, never as written: a device that ends
// before the hit, a connection that closes (the write stops at the next chunk), a device unplugged or cut
// short under the copy (no longer the one the copy began on), a cancelled copy, and a full destination.
TEST(HitExtraction, AHitOrACopyThatCannotFinishFailsAndSaysWhy) {
    test::TempDir dir;
    // The device has shrunk since the scan: 1,057 of 3,172 bytes remain past the hit's offset.
    test::writeFile(dir / "shrunk.img", test::randomBytes(4096 + 1057, 5));
    FileByteSource shrunk((dir / "shrunk.img").string());
    RecoveredHit tail;
    tail.byteOffset = 4096;
    tail.byteLength = 3172;
    MemoryByteSource large(test::randomBytes(8 * oneMebibyte, 6));
    RecoveredHit whole;
    whole.byteLength = 8 * oneMebibyte;
    test::FaultyByteSource gone(test::randomBytes(oneMebibyte, 3));
    gone.unplug();
    test::writeFile(dir / "card.img", test::randomBytes(oneMebibyte, 5));
    FileByteSource truncated((dir / "card.img").string());
    std::filesystem::resize_file(dir / "card.img", 100 * 1024);
    HitExtraction::CopyCallbacks cancelling;
    cancelling.isCancelled = [] { return true; };
    int asked = 0;

    using Path = std::filesystem::path;
    const struct {
        const char* what;
        std::function<void(int fd, const Path& path)> call;
        std::string domain;
        std::optional<int> code;
        std::optional<std::string> message;
    } rows[] = {
        {"the device ends before the hit", [&](int fd, const Path& path) { HitExtraction::writeHit(shrunk, tail, fd, path); },
         ByteSourceError::domain, std::nullopt, "Only 1057 of 3172 bytes could be read: the device ends before the hit does"},
        {"the connection closes",
         [&](int fd, const Path& path) { HitExtraction::writeHit(large, whole, fd, path, [&] { return ++asked > 2; }); },
         std::string(VantrelError::domain), 15, "Extraction cancelled"},
        {"the device is unplugged", [&](int fd, const Path& path) { HitExtraction::copyDevice(gone, fd, path, {}); },
         std::string(ErrorObject::posixDomain), std::nullopt, std::nullopt},
        {"the image is cut short", [&](int fd, const Path& path) { HitExtraction::copyDevice(truncated, fd, path, {}); },
         ByteSourceError::domain, static_cast<int>(ByteSourceError::Kind::deviceChanged), std::nullopt},
        {"the copy is cancelled", [&](int fd, const Path& path) { HitExtraction::copyDevice(large, fd, path, cancelling); },
         std::string(VantrelError::domain), 15, "Copy cancelled"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Destination destination(dir);
        try {
            row.call(destination.fd.get(), destination.path);
            ADD_FAILURE() << "reported as written";
        } catch (const std::exception& failure) {
            const auto error = HelperError::toErrorObject(failure);
            EXPECT_EQ(error.domain, row.domain);
            EXPECT_EQ(error.code, row.code.value_or(error.code));
            EXPECT_EQ(error.message, row.message.value_or(error.message));
        }
        EXPECT_LT(std::filesystem::file_size(destination.path), 8 * oneMebibyte);
    }

    if (!test::runningAsRoot()) return;
    const auto small = dir / "small";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=6m") != 0) return;
    {
        UniqueFd full(::open((small / "full.bin").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        try {
            HitExtraction::writeHit(large, whole, full.get(), small / "full.bin");
            ADD_FAILURE() << "a hit that did not fit was reported as written";
        } catch (const PosixError& error) {
            EXPECT_EQ(error.code(), ENOSPC);
        }
    }
    ::umount(small.c_str());
}

// The windows of a large hit that were written back are out of the page cache when the hit is written,
// so a hit of any length holds only the last few windows of it.
TEST(HitExtraction, ALargeHitLetsGoOfThePagesWrittenBack) {
    test::TempDir dir;
    struct statfs where {};
    ASSERT_EQ(::statfs(dir.path().c_str(), &where), 0);
    if (where.f_type == TMPFS_MAGIC) GTEST_SKIP() << "a tmpfs file is its pages: nothing to write back";
    Destination destination(dir);
    const std::uint64_t window = HitExtraction::writebackWindowBytes;
    const std::uint64_t length = (HitExtraction::writebackWindowsAhead + 3) * window;
    MemoryByteSource source(test::randomBytes(length, 7));
    RecoveredHit hit;
    hit.byteLength = length;
    ASSERT_EQ(HitExtraction::writeHit(source, hit, destination.fd.get(), destination.path), length);

    const UniqueFd file(::open(destination.path.c_str(), O_RDONLY | O_CLOEXEC));
    void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, file.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident(length / page);
    ASSERT_EQ(::mincore(mapped, length, resident.data()), 0);
    ::munmap(mapped, length);
    // The first two windows were written back and let go; the last window was written after them.
    const auto pagesOf = [&](std::uint64_t from, std::uint64_t to) {
        return std::count_if(resident.begin() + static_cast<std::ptrdiff_t>(from / page),
                             resident.begin() + static_cast<std::ptrdiff_t>(to / page), [](unsigned char bits) { return bits & 1; });
    };
    EXPECT_EQ(pagesOf(0, 2 * window), 0) << "pages of the written-back windows stayed in the cache";
    EXPECT_EQ(test::readFile(destination.path), source.read(0, static_cast<std::int64_t>(length)));
}

TEST(HitExtraction, CopiesInChunksReportingProgressAndUnreadableChunks) {
    test::TempDir dir;
    Destination destination(dir);
    test::FaultyByteSource source(test::randomBytes(10 * oneMebibyte, 2));
    source.addBadRange(5 * oneMebibyte, 1);
    std::vector<int> percentages;
    std::vector<std::int64_t> unreadableSeen;
    std::vector<std::string> lines;
    HitExtraction::CopyCallbacks callbacks;
    callbacks.onProgress = [&](std::uint64_t, std::uint64_t total, std::int64_t unreadable, int percentage) {
        EXPECT_EQ(total, 10 * oneMebibyte);
        percentages.push_back(percentage);
        unreadableSeen.push_back(unreadable);
    };
    callbacks.onUnreadableChunk = [&](const std::string& line) { lines.push_back(line); };

    const auto outcome = HitExtraction::copyDevice(source, destination.fd.get(), destination.path, callbacks);
    EXPECT_EQ(outcome.copied, 10 * oneMebibyte);
    EXPECT_EQ(outcome.unreadableChunks, 1);
    EXPECT_EQ(percentages, (std::vector<int>{40, 80, 100}));
    EXPECT_EQ(unreadableSeen, (std::vector<std::int64_t>{0, 1, 1}));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("copy read error @4194304: ", 0), 0u) << lines[0];

    auto expected = source.data();
    std::fill(expected.begin() + 4 * oneMebibyte, expected.begin() + 8 * oneMebibyte, 0);
    EXPECT_EQ(test::readFile(destination.path), expected);

    // An empty device gives an empty image and no progress.
    MemoryByteSource empty;
    percentages.clear();
    EXPECT_EQ(HitExtraction::copyDevice(empty, destination.fd.get(), destination.path, callbacks).copied, 0u);
    EXPECT_TRUE(percentages.empty());
    EXPECT_TRUE(test::readFile(destination.path).empty());
}

} // namespace
} // namespace vantrel
