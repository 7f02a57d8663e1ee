#include "recovery/carving/SignatureCarver.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"
#include "tests/fixtures/TiffBuilder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace vantrel {
namespace {

using K = RecoveredFileKind;
constexpr std::uint64_t mebibyte = 1024 * 1024;
constexpr std::uint64_t fixedGuess = 2 * mebibyte;  // the length taken for an RTF file, whose end is not known

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

// A format whose end its first bytes do not tell: its length is the fixed guess.
const Bytes rtf{'{', '\\', 'r', 't', 'f', '1'};

void be32(Bytes& out, std::uint32_t value) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// An MP4 laid out ftyp, mdat, moov (ISO/IEC 14496-12), `media` bytes of media data.
Bytes mp4(std::uint32_t media) {
    Bytes out;
    be32(out, 20);
    for (char c : std::string_view("ftypisom\0\0\2\0mp41", 16)) out.push_back(static_cast<std::uint8_t>(c));
    be32(out, 8 + media);
    for (char c : std::string_view("mdat")) out.push_back(static_cast<std::uint8_t>(c));
    out.resize(out.size() + media, 0x11);
    be32(out, 16);
    for (char c : std::string_view("moov")) out.push_back(static_cast<std::uint8_t>(c));
    out.resize(out.size() + 8, 0x22);
    return out;
}

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
    RecoveryFilters filters = filtersFor({K::bmp, K::rtf, K::png, K::jpeg, K::mp4, K::tiff, K::cr2});
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

TEST_F(SignatureCarverTest, AHeaderInTheSharedBytesIsFoundOnceWhenItsStructureGaveItsLength) {
    Bytes device(16384, 0);
    put(device, 4032 + 10, bmp(1000));  // windows of 4096 at 0 and 4032 share [4032, 4096)
    test::ScriptedByteSource source{device};
    CarveResult run = carve(source);
    // The second window finds the header again, inside the file the first one found.
    ASSERT_EQ(run.hits.size(), 1u);
    const RecoveredHit& hit = run.hits[0];
    EXPECT_EQ(hit.kind, K::bmp);
    EXPECT_EQ(hit.byteOffset, 4042u);
    EXPECT_EQ(hit.byteLength, 1000u);
    EXPECT_EQ(hit.dimensions, (ImageDimensions{10, 10}));
    EXPECT_EQ(hit.source, HitSource::signatureCarve);
    EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    EXPECT_EQ(hit.suggestedName, "recovered_00001.bmp");

    // A guessed length passes over nothing, so both windows report the file (the application drops the
    // repeat); the hits take consecutive numbers.
    Bytes guessed(16384, 0);
    put(guessed, 4032 + 10, rtf);
    test::ScriptedByteSource guessedSource{guessed};
    run = carve(guessedSource);
    ASSERT_EQ(run.hits.size(), 2u);
    EXPECT_EQ(run.hits[0].byteOffset, run.hits[1].byteOffset);
    EXPECT_EQ(run.hits[0].suggestedName, "recovered_00001.rtf");
    EXPECT_EQ(run.hits[1].suggestedName, "recovered_00002.rtf");
    EXPECT_EQ(run.progress.back().hitsFound, 2);
}

TEST_F(SignatureCarverTest, SkipsInsideAFileOnlyWhenItsOwnStructureGaveTheLength) {
    Bytes device(64 * 1024, 0);
    // A BMP declaring 5000 bytes with another BMP header inside it: the inner one is part of the outer file.
    put(device, 0, bmp(5000));
    put(device, 100, bmp(1000));
    // RTF files lying back to back: their length is a guess, so each one is found.
    for (std::uint64_t at : {8000u, 9000u, 10000u}) put(device, at, rtf);
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 64 * 1024);
    std::vector<std::pair<std::uint64_t, K>> found;
    for (const auto& hit : run.hits) found.emplace_back(hit.byteOffset, hit.kind);
    EXPECT_EQ(found, (std::vector<std::pair<std::uint64_t, K>>{
                         {0, K::bmp}, {8000, K::rtf}, {9000, K::rtf}, {10000, K::rtf}}));
    EXPECT_EQ(run.hits[1].byteLength, 64u * 1024 - 8000);  // the rest of the device, below the fixed guess
}

TEST_F(SignatureCarverTest, PassesOverTheHeadersInsideAFileInEveryWindowButThoseOnSectorBoundaries) {
    // Windows of 64 KiB; a BMP of 300,000 bytes runs through five of them.
    Bytes device(mebibyte, 0);
    put(device, 0, bmp(300'000));
    put(device, 100'007, bmp(1000));  // chance bytes of its pixels, three windows on
    put(device, 270'001, bmp(1000));  // beyond the first 256 KiB
    put(device, 200'704, bmp(2000));  // on a sector boundary: a newer file over part of the old one
    put(device, 200'811, bmp(500));   // inside both
    put(device, 300'001, bmp(1000));  // past the end
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 64 * 1024);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const auto& hit : run.hits) found.emplace_back(hit.byteOffset, hit.byteLength);
    EXPECT_EQ(found, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                         {0, 300'000}, {200'704, 2000}, {300'001, 1000}}));
}

TEST_F(SignatureCarverTest, PassesOverMediaDataInsideAnIsoMediaFile) {
    // An MP4 whose media data holds a whole picture inside a sector: part of the movie. A picture on a
    // sector boundary inside it is a newer file and reported.
    Bytes movie = mp4(200'000);
    const Bytes picture = test::SampleContent::jpeg(320, 240, 20'000, 5);
    put(movie, 1000 + 3, picture);
    put(movie, 100 * 512, picture);
    Bytes device(mebibyte, 0);
    put(device, 4096, movie);
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 64 * 1024);
    std::vector<std::pair<std::uint64_t, K>> found;
    for (const auto& hit : run.hits) found.emplace_back(hit.byteOffset, hit.kind);
    EXPECT_EQ(found, (std::vector<std::pair<std::uint64_t, K>>{{4096, K::mp4}, {4096 + 100 * 512, K::jpeg}}));
    EXPECT_EQ(run.hits[0].byteLength, movie.size());
}

TEST_F(SignatureCarverTest, AHeaderInLiveSpacePassesOverNoMoreThanItsLiveRun) {
    Bytes device(mebibyte, 0);
    live.add(10'000, 10'000);
    put(device, 10'007, bmp(100'000));  // a live file's bytes: its declared extent runs past the live file
    put(device, 15'007, bmp(1000));     // in the same live file
    put(device, 30'007, rtf);           // deleted, after the live file ends
    put(device, 40'007, bmp(1000));
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, SignatureCarver::defaultWindowBytes);
    std::vector<std::pair<std::uint64_t, K>> found;
    for (const auto& hit : run.hits) found.emplace_back(hit.byteOffset, hit.kind);
    EXPECT_EQ(found, (std::vector<std::pair<std::uint64_t, K>>{{30'007, K::rtf}, {40'007, K::bmp}}));
}

TEST_F(SignatureCarverTest, TestsGuessedLengthsOnlyByTheirHeaderAndCutsThemAtTheNextLiveFile) {
    Bytes device(4 * mebibyte, 0);
    put(device, 1000, rtf);              // deleted, just before a live file
    put(device, 200'000, rtf);           // inside the live file
    put(device, 300'000, bmp(50'000));   // its declared extent runs into the second live file
    put(device, 300'500, bmp(1000));     // inside that dropped file: passed over all the same
    put(device, 600'000, bmp(2000));     // clear of both
    put(device, 1'000'000, rtf);         // after the last live file
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

TEST_F(SignatureCarverTest, BuildsNoHitInLiveSpaceThatRunsToTheWindowsEnd) {
    // Windows of 256 KiB at 0, 262080, 524160, 786240 and 1048320.
    Bytes device(1024 * 1024, 0);
    put(device, 100, bmp(1000));
    // A PNG without its end marker in the live file: building it would search the whole device for "IEND".
    put(device, 3000, Bytes{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    live.add(2000, device.size() - 2000);
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, 256 * 1024);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].byteOffset, 100u);
    // The windows only, and of those after the first only the heads: the live space is not searched.
    const auto bytesRead = [](const test::ScriptedByteSource& read) {
        std::uint64_t bytes = 0;
        for (const auto& [offset, count] : read.reads) bytes += static_cast<std::uint64_t>(count);
        return bytes;
    };
    EXPECT_LT(bytesRead(source), device.size());

    live = AllocatedRegionMap();
    test::ScriptedByteSource unmarked{device};
    EXPECT_EQ(carve(unmarked, 256 * 1024).hits.size(), 2u);
    EXPECT_GT(bytesRead(unmarked), device.size() + 2 * 256 * 1024);
}

// A window that is live but for the bytes it shares with the one before, or a little more, is read in its
// head only, unless a header lies there; what runs into it from the window before is read from the device.
// The hits are those of a carve that reads every window whole.
TEST_F(SignatureCarverTest, AWindowLiveButForItsHeadIsReadWholeOnlyWhenItsHeadHoldsAHeader) {
    // Windows of 256 KiB at 0, 262080 and 524160.
    constexpr std::uint64_t window = 256 * 1024, second = 262080;
    Bytes device(3 * window, 0);
    // A movie whose last box lies in the second window's head: its length is walked from the device there.
    const Bytes movie = mp4(250 * 1024);
    const std::uint64_t movieAt = 100 * 512, movieEnd = movieAt + movie.size();
    put(device, movieAt, movie);
    ASSERT_GT(movieEnd, second + 4096);
    struct Case {
        const char* what;
        std::uint64_t headerAt;  // of a BMP after the movie; 0: none
        std::uint64_t liveFrom;  // live from here to the device's end
        bool secondReadWhole;
    };
    const std::uint64_t bmpAt = (movieEnd + 511) / 512 * 512;
    const Case cases[] = {
        {"nothing in its head", 0, movieEnd, false},
        {"a header in its head", bmpAt, bmpAt + 1024, true},
    };
    const auto hitsOf = [](const CarveResult& run) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
        for (const RecoveredHit& hit : run.hits) out.emplace_back(hit.byteOffset, hit.byteLength);
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = device;
        if (c.headerAt != 0) put(image, c.headerAt, bmp(1000));
        live = AllocatedRegionMap();
        live.add(c.liveFrom, image.size() - c.liveFrom);
        test::ScriptedByteSource source{image};
        const CarveResult run = carve(source, window);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> expected{{movieAt, movie.size()}};
        if (c.headerAt != 0) expected.emplace_back(c.headerAt, 1000);
        EXPECT_EQ(hitsOf(run), expected);
        const bool readWhole = std::any_of(source.reads.begin(), source.reads.end(), [&](const auto& read) {
            return read.first <= second && read.first + static_cast<std::uint64_t>(read.second) >= second + window;
        });
        EXPECT_EQ(readWhole, c.secondReadWhole);
        EXPECT_EQ(scanned(run).back(), image.size());

        // Every window read whole, as where the live space begins later: the same hits.
        live = AllocatedRegionMap();
        live.add(image.size() - 1, 1);
        test::ScriptedByteSource whole{image};
        EXPECT_EQ(hitsOf(carve(whole, window)), expected);
    }
}

TEST_F(SignatureCarverTest, CarvesAroundAnUnreadableBlockAndCountsIt) {
    Bytes device(3 * 4096, 0);
    put(device, 100, bmp(1000));
    put(device, 3000, rtf);
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
    for (std::uint64_t i = 0; i < 200; ++i) put(device, i * 1000, rtf);
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

TEST_F(SignatureCarverTest, AnnouncesTheWindowAfterTheNextWhileABusyWindowIsCarved) {
    // Windows of 512 KiB; the first and the third hold 40 headers each, the others none. After reading the
    // second window, before carving the busy first one, the third window's read is announced; after reading
    // the fourth, before carving the busy third, the fifth's. Each announced read is the very next one asked.
    const std::int64_t window = 512 * 1024;
    const std::uint64_t step = static_cast<std::uint64_t>(window) - SignatureCarver::windowOverlapBytes;
    Bytes device(4 * 512 * 1024, 0);
    for (std::uint64_t i = 0; i < 40; ++i) {
        put(device, 1000 + 200 * i, rtf);
        put(device, 2 * step + 1000 + 200 * i, rtf);
    }
    test::ScriptedByteSource source{device};
    const CarveResult run = carve(source, window);
    EXPECT_EQ(run.hits.size(), 80u);
    ASSERT_EQ(source.announced.size(), 2u);
    EXPECT_EQ(source.announced[0].first, 2u);
    EXPECT_EQ(source.announced[1].first, 4u);
    ASSERT_EQ(source.reads.size(), 5u);  // the windows only
    for (const auto& [readsBefore, read] : source.announced) EXPECT_EQ(source.reads[readsBefore], read);
    EXPECT_EQ(source.reads[2].first, 2 * step / 4096 * 4096);
    EXPECT_EQ(source.reads[4].first, 4 * step / 4096 * 4096);

    // Windows with few headers announce nothing: their reads are not worth making on another processor.
    test::ScriptedByteSource sparse{Bytes(4 * 512 * 1024, 0)};
    put(sparse.data(), 1000, rtf);
    carve(sparse, window);
    EXPECT_TRUE(sparse.announced.empty());
}

TEST_F(SignatureCarverTest, FindsIsoMediaByItsFtypBoxIncludingOneWhoseSizeLiesInThePreviousWindow) {
    Bytes device(5 * 4096, 0);
    const Bytes movie = mp4(3000);
    put(device, 4032 - 2, movie);  // "ftyp" at offset 2 of the window at 4032
    test::ScriptedByteSource source{device};
    CarveResult run = carve(source);
    // The first window finds it; the second meets it again, without a header compare, inside that file.
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].kind, K::mp4);
    EXPECT_EQ(run.hits[0].byteOffset, 4030u);
    EXPECT_EQ(run.hits[0].byteLength, movie.size());

    // At the device's start the size field would lie before the first byte: nothing is tried.
    Bytes start(3 * 4096, 0);
    put(start, 0, Bytes(movie.begin() + 2, movie.end()));
    test::ScriptedByteSource first{start};
    EXPECT_TRUE(carve(first).hits.empty());
}

TEST_F(SignatureCarverTest, TriesTheLongerHeaderFirstAtOneOffset) {
    // A CR2 is a TIFF with "CR" after the header: its 10-byte row goes before the 4-byte tiff row, and
    // once it makes a hit the tiff candidate at the same offset is passed over.
    test::TiffBuilder cr2;
    cr2.setHeaderExtra(Bytes{'C', 'R', 2, 0, 0, 0, 0, 0});
    const auto directory = cr2.addDirectory();
    cr2.addSize(directory, 60, 40);
    cr2.addStrip(directory, 7200);
    Bytes device(64 * 1024, 0);
    put(device, 4096, cr2.build());
    test::ScriptedByteSource source{device};
    CarveResult run = carve(source, 64 * 1024);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].kind, K::cr2);
    EXPECT_EQ(run.hits[0].dimensions, (ImageDimensions{60, 40}));

    // Without the cr2 kind allowed, the same bytes make a tiff hit.
    filters = filtersFor({K::tiff});
    run = carve(source, 64 * 1024);
    ASSERT_EQ(run.hits.size(), 1u);
    EXPECT_EQ(run.hits[0].kind, K::tiff);
}

TEST_F(SignatureCarverTest, AsksForCancellationAtEachPointOfAWindow) {
    Bytes device(16 * 1024, 0);
    put(device, 100, bmp(1000));
    put(device, 2000, mp4(500));
    test::ScriptedByteSource source{device};
    std::vector<std::string> events;
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 64 * 1024);
    carver.carve(source, filters, live, [&] { events.push_back("cancel?"); return false; },
                 [&](const ScanProgress&) { events.push_back("progress"); },
                 [&](const RecoveredHit& hit) { events.push_back(std::string(FileKind::rawValue(hit.kind))); });
    const std::vector<std::string> expected{
        "cancel?",           // start of the window
        "cancel?",           // before the needle search
        "cancel?", "bmp",    // first of every 64 candidates
        "cancel?", "mp4",    // "ftyp" search from 0, in the order of the offsets
        "cancel?",           // after the candidate loop
        "cancel?",           // after the ISO media search
        "progress", "progress"};
    EXPECT_EQ(events, expected);

    // Each of those points ends the carve without a final report when the answer is yes.
    for (std::size_t stop = 1; stop <= 6; ++stop) {
        std::size_t asked = 0;
        std::vector<std::string> seen;
        carver.carve(source, filters, live, [&] { return ++asked == stop; },
                     [&](const ScanProgress&) { seen.push_back("progress"); },
                     [&](const RecoveredHit&) { seen.push_back("hit"); });
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "progress"), 0) << "stop at question " << stop;
    }
}

} // namespace
} // namespace vantrel
