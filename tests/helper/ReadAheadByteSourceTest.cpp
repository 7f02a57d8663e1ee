#include "VantrelHelper/ReadAheadByteSource.h"

#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/FaultyByteSource.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <random>
#include <thread>

namespace vantrel {
namespace {

using Read = std::pair<std::uint64_t, std::int64_t>;

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

Bytes sliceOf(const Bytes& bytes, std::uint64_t offset, std::int64_t count) {
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    return Bytes(begin, begin + count);
}

// Passes every call on to another source, taking its time over reads, and notes a call that begins while
// another is still running: the source behind a read-ahead must only ever be used by one thread at a time.
class OneAtATimeSource final : public ByteSource {
public:
    explicit OneAtATimeSource(ByteSource& inner) : m_inner(inner) {}
    std::uint64_t length() const override { return m_inner.length(); }
    std::uint64_t currentLength() override {
        const Busy busy(*this);
        return m_inner.currentLength();
    }
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override {
        const Busy busy(*this);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        m_inner.readInto(offset, count, out);
    }
    bool overlapped() const { return m_overlapped; }

private:
    struct Busy {
        explicit Busy(OneAtATimeSource& source) : m_source(source) {
            if (m_source.m_busy.exchange(true)) m_source.m_overlapped = true;
        }
        ~Busy() { m_source.m_busy = false; }
        OneAtATimeSource& m_source;
    };
    ByteSource& m_inner;
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_overlapped{false};
};

std::vector<Read> sorted(std::vector<Read> reads) {
    std::sort(reads.begin(), reads.end());
    return reads;
}

TEST(ReadAheadByteSource, HandsTheAnnouncedReadOverAndMakesOtherReadsBeforeOrAfterIt) {
    const Bytes data = pattern(64 * 1024);
    test::ScriptedByteSource inner{data};
    Bytes out;
    {
        ReadAheadByteSource source(inner);
        EXPECT_EQ(source.length(), data.size());
        source.willRead(8192, 32768);
        source.readInto(100, 10, out);  // before or after the read ahead, never beside it
        EXPECT_EQ(out, sliceOf(data, 100, 10));
        source.readInto(8192, 32768, out);
        EXPECT_EQ(out, sliceOf(data, 8192, 32768));
        // Handed over in the storage it was read into: page-aligned, as every large read buffer.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(out.data()) % 4096, 0u);
        // Asked for again, it is read again: a read ahead is handed over once.
        source.readInto(8192, 32768, out);
        EXPECT_EQ(out, sliceOf(data, 8192, 32768));
        // A read at the end is clamped there as the source does, ahead or not.
        source.willRead(60000, 10000);
        source.readInto(60000, 10000, out);
        EXPECT_EQ(out, sliceOf(data, 60000, static_cast<std::int64_t>(data.size()) - 60000));
    }
    ASSERT_EQ(inner.reads.size(), 4u);
    EXPECT_EQ(sorted({inner.reads[0], inner.reads[1]}), (std::vector<Read>{{100, 10}, {8192, 32768}}));
    EXPECT_EQ(inner.reads[2], (Read{8192, 32768}));
    EXPECT_EQ(inner.reads[3], (Read{60000, 10000}));
}

TEST(ReadAheadByteSource, AnAnnouncementNotAskedForIsReplacedByTheNextAndOneLeftIsDropped) {
    const Bytes data = pattern(16384);
    test::ScriptedByteSource inner{data};
    Bytes out;
    {
        ReadAheadByteSource source(inner);
        source.willRead(0, 4096);
        source.willRead(4096, 4096);
        source.readInto(4096, 4096, out);
        EXPECT_EQ(out, sliceOf(data, 4096, 4096));
        source.readInto(0, 4096, out);
        EXPECT_EQ(out, sliceOf(data, 0, 4096));
        source.willRead(8192, 4096);  // never asked for: dropped, or waited for when already under way
    }
    ASSERT_GE(inner.reads.size(), 3u);
    EXPECT_EQ(std::vector<Read>(inner.reads.begin(), inner.reads.begin() + 3),
              (std::vector<Read>{{0, 4096}, {4096, 4096}, {0, 4096}}));
    if (inner.reads.size() > 3) {
        EXPECT_EQ(inner.reads, (std::vector<Read>{{0, 4096}, {4096, 4096}, {0, 4096}, {8192, 4096}}));
    }
}

TEST(ReadAheadByteSource, AReadAheadThatFailsFailsTheReadThatAsksForItWithTheSameError) {
    test::ScriptedByteSource inner{pattern(16384)};
    inner.failRange(5000, 5001, EIO);
    inner.failRange(9000, 9001);
    inner.failRange(12288, UINT64_MAX, ENODEV);
    ReadAheadByteSource source(inner);
    Bytes out = pattern(100);
    source.willRead(4096, 4096);
    try {
        source.readInto(4096, 4096, out);
        ADD_FAILURE() << "a failed read ahead passed for a read";
    } catch (const PosixError& error) {
        EXPECT_EQ(error.code(), EIO);
        EXPECT_TRUE(out.empty());  // nothing that was not read
    }
    source.willRead(8192, 4096);
    EXPECT_THROW(source.readInto(8192, 4096, out), ByteSourceError);
    source.willRead(12288, 4096);
    try {
        source.readInto(12288, 4096, out);
        ADD_FAILURE() << "a device that went away passed for a read";
    } catch (const PosixError& error) {
        EXPECT_EQ(error.code(), ENODEV);
    }
    // The failure was handed over; the same read asked for again goes to the device again.
    EXPECT_THROW(source.readInto(4096, 4096, out), PosixError);
    EXPECT_EQ(inner.reads.size(), 4u);
}

TEST(ReadAheadByteSource, GivesTheRightBytesOneReadAtATimeWhateverTheThreadIsDoingWhenAsked) {
    // Announced reads asked for at once, after other reads, or never, while the thread is anywhere in its
    // work: every answer is the device's bytes, and the source behind is never read twice at once.
    const Bytes data = pattern(256 * 1024);
    test::ScriptedByteSource inner{data};
    OneAtATimeSource guarded(inner);
    std::mt19937 random(7);
    {
        ReadAheadByteSource source(guarded);
        Bytes out;
        for (int round = 0; round < 300; ++round) {
            const std::uint64_t offset = random() % 200'000;
            const std::int64_t count = 1 + static_cast<std::int64_t>(random() % 60'000);
            source.willRead(offset, count);
            if (random() % 3 == 0) {
                const std::uint64_t other = random() % 250'000;
                source.readInto(other, 100, out);
                ASSERT_EQ(out, sliceOf(data, other, std::min<std::int64_t>(100, static_cast<std::int64_t>(data.size() - other))));
            }
            if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
            if (random() % 5 == 0) continue;  // never asked for
            source.readInto(offset, count, out);
            ASSERT_EQ(out, sliceOf(data, offset, std::min<std::int64_t>(count, static_cast<std::int64_t>(data.size() - offset))));
        }
        EXPECT_EQ(source.currentLength(), data.size());
    }
    EXPECT_FALSE(guarded.overlapped());
}

// ---- A whole carve through the read-ahead source gives what the carve of the source itself gives. ----

struct Carved {
    std::vector<RecoveredHit> hits;
    std::vector<ScanProgress> progress;
    std::string failure;
};

Carved carve(ByteSource& source, std::int64_t windowBytes, int cancelAfterReports = -1) {
    RecoveryFilters filters;
    for (const auto kind : FileKind::allKinds())
        if (kind != RecoveredFileKind::unknown) filters.allowedKinds.insert(kind);
    Carved carved;
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, windowBytes);
    try {
        carver.carve(
            source, filters, AllocatedRegionMap(),
            [&] { return cancelAfterReports >= 0 && static_cast<int>(carved.progress.size()) >= cancelAfterReports; },
            [&](const ScanProgress& progress) { carved.progress.push_back(progress); },
            [&](const RecoveredHit& hit) { carved.hits.push_back(hit); });
    } catch (const std::exception& error) {
        carved.failure = error.what();
    }
    return carved;
}

void expectSameCarve(const Carved& ahead, const Carved& plain) {
    EXPECT_EQ(ahead.failure, plain.failure);
    EXPECT_EQ(ahead.progress, plain.progress);
    ASSERT_EQ(ahead.hits.size(), plain.hits.size());
    for (std::size_t i = 0; i < plain.hits.size(); ++i) {
        EXPECT_EQ(ahead.hits[i].kind, plain.hits[i].kind) << i;
        EXPECT_EQ(ahead.hits[i].byteOffset, plain.hits[i].byteOffset) << i;
        EXPECT_EQ(ahead.hits[i].byteLength, plain.hits[i].byteLength) << i;
        EXPECT_EQ(ahead.hits[i].dimensions, plain.hits[i].dimensions) << i;
        EXPECT_EQ(ahead.hits[i].suggestedName, plain.hits[i].suggestedName) << i;
        EXPECT_EQ(ahead.hits[i].isFragmented, plain.hits[i].isFragmented) << i;
    }
}

// The reads made through the read-ahead source are the source's own, plus at most the window that was
// read ahead when a failure ended the carve before it was asked for.
void expectSameReads(const std::vector<Read>& ahead, const std::vector<Read>& plain, bool ended) {
    std::vector<Read> extra;
    const std::vector<Read> a = sorted(ahead), p = sorted(plain);
    EXPECT_TRUE(std::includes(a.begin(), a.end(), p.begin(), p.end()));
    std::set_difference(a.begin(), a.end(), p.begin(), p.end(), std::back_inserter(extra));
    EXPECT_LE(extra.size(), ended ? 1u : 0u);
}

// A card of real photos and documents shipped with Debian packages where they are installed, and files
// made in memory, on 4 KiB boundaries with random bytes between some of them.
Bytes card() {
    std::vector<Bytes> files;
    const std::filesystem::path photos = "/usr/share/doc/imagemagick-6-common/html/images";
    for (const char* name : {"wizard.jpg", "bluebells_lin.jpg", "examples.jpg"})
        if (std::filesystem::exists(photos / name)) files.push_back(test::readFile(photos / name));
    for (const char* pdf : {"/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf",
                            "/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf"})
        if (std::filesystem::exists(pdf)) files.push_back(test::readFile(pdf));
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        files.push_back(test::SampleContent::jpeg(800, 600, 70'000 + 9000 * seed, seed));
        files.push_back(test::SampleContent::pdf(20'000 + 3000 * seed, seed));
        files.push_back(test::SampleContent::png(64, 48, 30'000, seed));
        files.push_back(test::SampleContent::isoMedia("isom", 90'000, seed));
    }
    Bytes device;
    // Two clusters of small files, one at the start and one in the middle, so that the carve reads ahead
    // over them and not over the rest.
    auto cluster = [&](std::uint64_t seed) {
        for (std::uint64_t i = 0; i < 60; ++i) {
            const Bytes small = i % 2 == 0 ? test::SampleContent::pdf(700, seed + i) : test::SampleContent::png(16, 16, 600, seed + i);
            device.insert(device.end(), small.begin(), small.end());
        }
    };
    cluster(100);
    std::uint64_t state = 12345;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i == files.size() / 2) cluster(200);
        device.resize((device.size() + 4095) / 4096 * 4096, 0);
        device.insert(device.end(), files[i].begin(), files[i].end());
        if (i % 3 == 0) {
            for (int k = 0; k < 5000; ++k) {
                state = state * 6364136223846793005u + 1442695040888963407u;
                device.push_back(static_cast<std::uint8_t>(state >> 56));
            }
        }
    }
    device.resize((device.size() + 4095) / 4096 * 4096 + 1000, 0);
    return device;
}

TEST(ReadAheadByteSource, ACarveFindsWhatTheSourceItselfGivesWithTheSameReads) {
    const Bytes device = card();
    for (const std::int64_t window : {std::int64_t{64 * 1024}, std::int64_t{300'000}, std::int64_t{1024 * 1024}}) {
        test::ScriptedByteSource plainSource{device};
        const Carved plain = carve(plainSource, window);
        test::ScriptedByteSource inner{device};
        OneAtATimeSource guarded(inner);
        Carved ahead;
        {
            ReadAheadByteSource source(guarded);
            ahead = carve(source, window);
        }
        SCOPED_TRACE(window);
        EXPECT_GT(plain.hits.size(), 140u);
        EXPECT_GE(plainSource.announced.size(), 1u) << "the carve announced nothing to read ahead";
        expectSameCarve(ahead, plain);
        EXPECT_FALSE(guarded.overlapped());
        // Each read once: the windows read ahead, the rest as the carve asks.
        expectSameReads(inner.reads, plainSource.reads, false);
    }
}

TEST(ReadAheadByteSource, ACarveMeetsBadSpotsAndAVanishingDeviceAsTheSourceItselfDoes) {
    const Bytes device = card();
    const std::int64_t window = 64 * 1024;
    auto withFaults = [&](test::ScriptedByteSource& source, int scenario) {
        switch (scenario) {
        case 0:  // single blocks inside windows, one in the bytes windows share, one run across two windows
            source.failRange(70'000, 70'001, EIO);
            source.failRange(3 * 65'472 + 10, 3 * 65'472 + 11);
            source.failRange(200'000, 330'000, EIO);
            break;
        case 1:  // the device is gone from some point on
            source.failRange(device.size() / 2, UINT64_MAX, ENODEV);
            break;
        default:  // a whole window is unreadable, and the device's last block
            source.failRange(5 * 65'472, 6 * 65'472);
            source.failRange(device.size() - 10, device.size(), EIO);
            break;
        }
    };
    for (int scenario = 0; scenario < 3; ++scenario) {
        test::ScriptedByteSource plainSource{device};
        withFaults(plainSource, scenario);
        const Carved plain = carve(plainSource, window);
        test::ScriptedByteSource inner{device};
        withFaults(inner, scenario);
        OneAtATimeSource guarded(inner);
        Carved ahead;
        {
            ReadAheadByteSource source(guarded);
            ahead = carve(source, window);
        }
        SCOPED_TRACE(scenario);
        if (scenario == 1) {
            EXPECT_NE(plain.failure.find("No such device"), std::string::npos) << plain.failure;
        } else {
            ASSERT_FALSE(plain.progress.empty());
            EXPECT_GT(plain.progress.back().readErrors, 0);
        }
        expectSameCarve(ahead, plain);
        EXPECT_FALSE(guarded.overlapped());
        expectSameReads(inner.reads, plainSource.reads, !plain.failure.empty());
    }

    // A device that is shorter now than when it was opened ends the carve before its first window.
    test::FaultyByteSource shrunk{device};
    shrunk.shrinkTo(device.size() / 3);
    const Carved plain = carve(shrunk, window);
    ReadAheadByteSource source(shrunk);
    const Carved ahead = carve(source, window);
    EXPECT_FALSE(plain.failure.empty());
    expectSameCarve(ahead, plain);
}

TEST(ReadAheadByteSource, ACancelledCarveStopsWhereTheSourceItselfStops) {
    const Bytes device = card();
    for (const int reports : {0, 1, 4, 9}) {
        test::ScriptedByteSource plainSource{device};
        const Carved plain = carve(plainSource, 64 * 1024, reports);
        test::ScriptedByteSource inner{device};
        Carved ahead;
        {
            ReadAheadByteSource source(inner);
            ahead = carve(source, 64 * 1024, reports);
        }
        SCOPED_TRACE(reports);
        expectSameCarve(ahead, plain);
        EXPECT_EQ(ahead.progress.size(), static_cast<std::size_t>(reports));
    }
}

} // namespace
} // namespace vantrel
