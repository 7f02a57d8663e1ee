#include "recovery/carving/SignatureCarver.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace vantrel {
namespace {

using K = RecoveredFileKind;
constexpr std::uint64_t mebibyte = 1024 * 1024;
constexpr std::uint64_t fixedGuess = 2 * mebibyte;  // the length taken for an mp3 whose end is not known

void put(Bytes& device, std::uint64_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), device.begin() + static_cast<std::ptrdiff_t>(at));
}

void le32(Bytes& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A 24-bit BMP of 10 × 10 pixels whose file header declares `size` bytes.
Bytes bmp(std::uint32_t size) {
    Bytes out(size, 0x00);
    out[0] = 'B';
    out[1] = 'M';
    le32(out, 2, size);
    le32(out, 10, 54);
    le32(out, 14, 40);
    le32(out, 18, 10);
    le32(out, 22, 10);
    out[26] = 1;
    out[28] = 24;
    return out;
}

const Bytes id3{'I', 'D', '3', 0x04, 0x00};

struct CarveResult {
    std::vector<RecoveredHit> hits;
    std::vector<ScanProgress> progress;
};

RecoveryFilters filtersFor(RecoveredFileKindSet kinds) {
    RecoveryFilters filters;
    filters.allowedKinds = std::move(kinds);
    return filters;
}

class SignatureCarverTest : public ::testing::Test {
protected:
    RecoveryFilters filters = filtersFor({K::bmp, K::mp3, K::png, K::jpeg});
    AllocatedRegionMap live;
    std::function<bool()> shouldCancel = [] { return false; };

    CarveResult carve(ByteSource& source, std::int64_t windowSize = 4096) {
        CarveResult run;
        const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, windowSize);
        carver.carve(source, filters, live, shouldCancel,
                     [&](const ScanProgress& progress) { run.progress.push_back(progress); },
                     [&](const RecoveredHit& hit) { run.hits.push_back(hit); });
        return run;
    }
};

std::vector<std::uint64_t> scanned(const CarveResult& run) {
    std::vector<std::uint64_t> out;
    for (const auto& progress : run.progress) out.push_back(progress.bytesScanned);
    return out;
}

TEST_F(SignatureCarverTest, RefusesAWindowThatCannotAdvance) {
    EXPECT_THROW(SignatureCarver(SignatureCatalog::carveMVP(), 512, 64), std::invalid_argument);
    EXPECT_THROW(SignatureCarver(SignatureCatalog::carveMVP(), 512, -1), std::invalid_argument);
    EXPECT_NO_THROW(SignatureCarver(SignatureCatalog::carveMVP(), 512, 65));
    EXPECT_EQ(SignatureCarver(SignatureCatalog::carveMVP(), 512).windowSize(), 4 * 1024 * 1024);
}

TEST_F(SignatureCarverTest, AnEmptyDeviceReportsOnceAndReadsNothing) {
    test::ScriptedByteSource source{Bytes{}};
    const CarveResult run = carve(source);
    EXPECT_TRUE(source.reads.empty());
    ASSERT_EQ(run.progress.size(), 1u);
    EXPECT_EQ(run.progress[0], (ScanProgress{0, 0, 0, 0}));
}

TEST_F(SignatureCarverTest, WindowsShareSixtyFourBytesAndTheLastStateIsReportedTwice) {
    test::ScriptedByteSource source{Bytes(10 * mebibyte, 0)};
    const CarveResult run = carve(source, SignatureCarver::defaultWindowBytes);
    EXPECT_EQ(scanned(run), (std::vector<std::uint64_t>{4194240, 8388480, 10 * mebibyte, 10 * mebibyte}));
    // Each window is read once, in order (from the block boundary at or before it).
    ASSERT_EQ(source.reads.size(), 3u);
    EXPECT_EQ(source.reads[1].first, 4194240u / 4096 * 4096);
    EXPECT_EQ(source.reads[2].first, 8388480u / 4096 * 4096);

    test::ScriptedByteSource one{Bytes(4096, 0)};
    const CarveResult single = carve(one);
    ASSERT_EQ(single.progress.size(), 2u);
    EXPECT_EQ(single.progress[0], (ScanProgress{4096, 4096, 0, 0}));
    EXPECT_EQ(single.progress[1], single.progress[0]);
}

TEST_F(SignatureCarverTest, AHeaderInTheSharedBytesIsFoundInBothWindows) {
    Bytes device(16384, 0);
    put(device, 4032 + 10, bmp(1000));  // windows of 4096 at 0 and 4032 share [4032, 4096)
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source);
    ASSERT_EQ(run.hits.size(), 2u);
    for (const auto& hit : run.hits) {
        EXPECT_EQ(hit.kind, K::bmp);
        EXPECT_EQ(hit.byteOffset, 4042u);
        EXPECT_EQ(hit.byteLength, 1000u);
        EXPECT_EQ(hit.dimensions, (ImageDimensions{10, 10}));
        EXPECT_EQ(hit.source, HitSource::signatureCarve);
        EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    }
    EXPECT_EQ(run.hits[0].suggestedName, "recovered_00001.bmp");
    EXPECT_EQ(run.hits[1].suggestedName, "recovered_00002.bmp");
    EXPECT_EQ(run.progress.back().hitsFound, 2);
}

TEST_F(SignatureCarverTest, SkipsInsideAFileOnlyWhenItsOwnStructureGaveTheLength) {
    Bytes device(64 * 1024, 0);
    // A BMP declaring 5000 bytes with another BMP header inside it: the inner one is part of the outer file.
    put(device, 0, bmp(5000));
    put(device, 100, bmp(1000));
    // mp3 files lying back to back: their length is a guess, so each one is found.
    for (std::uint64_t at : {8000u, 9000u, 10000u}) put(device, at, id3);
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 64 * 1024);
    std::vector<std::pair<std::uint64_t, K>> found;
    for (const auto& hit : run.hits) found.emplace_back(hit.byteOffset, hit.kind);
    EXPECT_EQ(found, (std::vector<std::pair<std::uint64_t, K>>{
                         {0, K::bmp}, {8000, K::mp3}, {9000, K::mp3}, {10000, K::mp3}}));
    EXPECT_EQ(run.hits[1].byteLength, 64u * 1024 - 8000);  // the rest of the device, below the fixed guess
}

TEST_F(SignatureCarverTest, TestsGuessedLengthsOnlyByTheirHeaderAndCutsThemAtTheNextLiveFile) {
    Bytes device(4 * mebibyte, 0);
    put(device, 1000, id3);              // deleted, just before a live file
    put(device, 200'000, id3);           // inside the live file
    put(device, 300'000, bmp(50'000));   // its declared extent runs into the second live file
    put(device, 600'000, bmp(2000));     // clear of both
    put(device, 1'000'000, id3);         // after the last live file
    live.add(100'000, 150'000);
    live.add(320'000, 10'000);
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, SignatureCarver::defaultWindowBytes);
    ASSERT_EQ(run.hits.size(), 3u);
    EXPECT_EQ(run.hits[0].byteOffset, 1000u);
    EXPECT_EQ(run.hits[0].byteLength, 99'000u);
    EXPECT_EQ(run.hits[1].byteOffset, 600'000u);
    EXPECT_EQ(run.hits[1].byteLength, 2000u);
    // After the last live file the guess runs its full length.
    EXPECT_EQ(run.hits[2].byteOffset, 1'000'000u);
    EXPECT_EQ(run.hits[2].byteLength, fixedGuess);
}

TEST_F(SignatureCarverTest, CarvesAroundAnUnreadableBlockAndCountsIt) {
    Bytes device(3 * 4096, 0);
    put(device, 100, bmp(1000));
    put(device, 3000, id3);
    test::ScriptedByteSource source{device};
    source.failRange(2048, 2049);  // one 512-byte block of the first window, outside the shared bytes
    const CarveResult run = carve(source);
    ASSERT_EQ(run.hits.size(), 2u);
    EXPECT_EQ(run.hits[0].byteOffset, 100u);
    EXPECT_EQ(run.hits[1].byteOffset, 3000u);
    EXPECT_EQ(run.progress.back().readErrors, 1);
    EXPECT_EQ(run.progress.back().bytesScanned, device.size());
}

TEST_F(SignatureCarverTest, AWholeUnreadableWindowCountsEveryBlockAndTheCarveGoesOn) {
    Bytes device(3 * 4096, 0);
    put(device, 9000, bmp(1000));
    test::ScriptedByteSource source{device};
    source.failRange(0, 4096);
    const CarveResult run = carve(source);
    // Window [0, 4096) fails in all 8 blocks; the next window, [4032, 8128), meets the last one again.
    EXPECT_EQ(run.progress.back().readErrors, 8);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].byteOffset, 9000u);
}

TEST_F(SignatureCarverTest, ADeviceThatGoesAwayEndsTheCarveWithItsError) {
    test::ScriptedByteSource source{Bytes(5 * 4096, 0)};
    source.failRange(8192, UINT64_MAX, ENODEV);
    try {
        carve(source);
        ADD_FAILURE() << "the carve ended as if complete";
    } catch (const PosixError& error) {
        EXPECT_EQ(error.code(), ENODEV);
    }
    test::ScriptedByteSource gone{Bytes(5 * 4096, 0)};
    gone.failRange(0, 10, ENOMEDIUM);
    EXPECT_THROW(carve(gone), PosixError);
}

TEST_F(SignatureCarverTest, AnUnreadableSpotInsideACandidateDropsOnlyThatCandidate) {
    // Windows [0, 8192) and [8128, 16320) are in memory while the first is carved; the head of the file at
    // 4000 reaches the device's end and so past both, into the unreadable block.
    Bytes device(4 * 4096, 0);
    put(device, 4000, bmp(1000));
    put(device, 12000, bmp(1000));
    test::ScriptedByteSource source{device};
    source.failRange(16330, 16331, EIO);
    const CarveResult run = carve(source, 8192);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].byteOffset, 12000u);
    EXPECT_EQ(run.progress.back().readErrors, 1);
}

TEST_F(SignatureCarverTest, CancelsBetweenWindowsWithoutAFinalReport) {
    test::ScriptedByteSource source{Bytes(5 * 4096, 0)};
    int reports = 0;
    shouldCancel = [&] { return reports >= 2; };
    CarveResult run;
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 4096);
    carver.carve(source, filters, live, shouldCancel, [&](const ScanProgress& progress) {
        ++reports;
        run.progress.push_back(progress);
    }, [](const RecoveredHit&) {});
    EXPECT_EQ(run.progress.size(), 2u);
    EXPECT_EQ(run.progress.back().bytesScanned, 2u * 4032);

    shouldCancel = [] { return true; };
    const CarveResult none = carve(source);
    EXPECT_TRUE(none.progress.empty());
}

TEST_F(SignatureCarverTest, CancelsWithinEverySixtyFourCandidates) {
    Bytes device(256 * 1024, 0);
    for (std::uint64_t i = 0; i < 200; ++i) put(device, i * 1000, id3);
    test::ScriptedByteSource source{device};
    std::size_t delivered = 0;
    shouldCancel = [&] { return delivered >= 10; };
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 256 * 1024);
    carver.carve(source, filters, live, shouldCancel, [](const ScanProgress&) {},
                 [&](const RecoveredHit&) { ++delivered; });
    EXPECT_EQ(delivered, 64u);
}

TEST_F(SignatureCarverTest, FiltersThatRejectEveryKindStillReadAndReport) {
    Bytes device(3 * 4096, 0);
    put(device, 100, bmp(1000));
    test::ScriptedByteSource source{device};
    filters = filtersFor({});
    const CarveResult run = carve(source);
    EXPECT_TRUE(run.hits.empty());
    EXPECT_EQ(scanned(run), (std::vector<std::uint64_t>{4032, 8064, 12096, 12288, 12288}));
    EXPECT_EQ(source.reads.size(), 4u);
}

TEST_F(SignatureCarverTest, ReadsPastAWindowComeFromTheNextWindowInMemory) {
    // Windows of 512 KiB at 0, 524224, 1048448 and 1572672; the first 256 KiB of the file lie across the first two.
    Bytes device(1536 * 1024, 0);
    put(device, 524'000, bmp(3000));
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 512 * 1024);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].byteLength, 3000u);
    EXPECT_EQ(source.reads.size(), 4u);  // the windows, and nothing besides
}

} // namespace
} // namespace vantrel
