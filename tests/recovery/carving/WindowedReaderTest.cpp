#include "recovery/carving/WindowedReader.h"

#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

class WindowedReaderTest : public ::testing::Test {
protected:
    Bytes device = test::randomBytes(1000, 7);
    test::ScriptedByteSource source{device};
    ByteView bytes(std::uint64_t offset, std::uint64_t length) const {
        return ByteView(device).subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
    Bytes expected(std::uint64_t offset, std::uint64_t length) const {
        const ByteView view = bytes(offset, length);
        return Bytes(view.begin(), view.end());
    }
};

Bytes readAll(WindowedReader& reader, std::uint64_t offset, std::uint64_t count) {
    Bytes scratch;
    const ByteView view = reader.read(offset, count, scratch);
    return Bytes(view.begin(), view.end());
}

TEST_F(WindowedReaderTest, ReadsInsideTheWindowNeverTouchTheSourceAndCopyNothing) {
    source.failAll();
    WindowedReader reader(source, {bytes(100, 200), 100});
    Bytes scratch;
    const ByteView view = reader.read(150, 50, scratch);
    EXPECT_EQ(view.data(), device.data() + 150);
    EXPECT_EQ(view.size(), 50u);
    EXPECT_EQ(readAll(reader, 100, 200), expected(100, 200));
    EXPECT_TRUE(readAll(reader, 5000, 0).empty());
    EXPECT_TRUE(source.reads.empty());
}

TEST_F(WindowedReaderTest, FillsBytesOutsideTheWindowFromTheSource) {
    WindowedReader reader(source, {bytes(100, 200), 100});
    EXPECT_EQ(readAll(reader, 90, 20), expected(90, 20));
    EXPECT_EQ(readAll(reader, 250, 100), expected(250, 100));
    EXPECT_EQ(readAll(reader, 0, 1000), expected(0, 1000));
    EXPECT_EQ(readAll(reader, 400, 10), expected(400, 10));
    const std::vector<std::pair<std::uint64_t, std::int64_t>> reads{{90, 10}, {300, 50}, {0, 100}, {300, 700},
                                                                    {400, 10}};
    EXPECT_EQ(source.reads, reads);
}

TEST_F(WindowedReaderTest, ServesReadsPastTheWindowFromTheNextWindowAlreadyRead) {
    source.failAll();
    // Windows of 200 bytes sharing 64: [100, 300) and [236, 436).
    WindowedReader reader(source, {bytes(100, 200), 100}, {bytes(236, 200), 236});
    EXPECT_EQ(readAll(reader, 120, 300), expected(120, 300));
    EXPECT_EQ(readAll(reader, 250, 100), expected(250, 100));
    EXPECT_TRUE(source.reads.empty());
    EXPECT_THROW(readAll(reader, 120, 400), ByteSourceError);
    source.clearFailures();
    EXPECT_EQ(readAll(reader, 120, 400), expected(120, 400));
}

TEST_F(WindowedReaderTest, ServesReadsAcrossTheSeamFromOneCopyUntilTheWindowsMove) {
    source.failAll();
    // Windows of 200 bytes sharing 64, [100, 300) and [236, 436): the seam is at 300, reached 50 bytes each side.
    WindowedReader::Seam seam(50);
    const auto inSeam = [&](ByteView view) {
        return !view.empty() && view.data() >= seam.bytes.data() && view.data() + view.size() <= seam.bytes.data() + seam.bytes.size();
    };
    {
        WindowedReader reader(source, {bytes(100, 200), 100}, {bytes(236, 200), 236}, &seam);
        for (std::uint64_t offset = 100; offset < 436; ++offset) {
            for (const std::uint64_t count : {1, 2, 20, 49, 50, 51, 99, 100, 101, 200}) {
                if (offset + count > 436) continue;
                Bytes scratch;
                const ByteView view = reader.read(offset, count, scratch);
                ASSERT_EQ(Bytes(view.begin(), view.end()), expected(offset, count)) << offset << "+" << count;
                const bool crossesWithinReach = offset < 300 && offset + count > 300 && offset >= 250 && offset + count <= 350;
                EXPECT_EQ(inSeam(view), crossesWithinReach) << offset << "+" << count;
            }
        }
    }
    EXPECT_EQ(seam.offset, 250u);
    ASSERT_EQ(seam.bytes.size(), 100u);
    // The copy is made once for the windows: a later reader over them takes it as it is.
    seam.bytes[50] ^= 0xff;
    {
        WindowedReader reader(source, {bytes(100, 200), 100}, {bytes(236, 200), 236}, &seam);
        EXPECT_EQ(readAll(reader, 290, 20)[10], static_cast<std::uint8_t>(device[300] ^ 0xff));
    }
    // Windows that moved, or other buffers at the same places, are copied anew.
    const Bytes copy = expected(100, 336);
    {
        WindowedReader reader(source, {ByteView(copy).first(200), 100}, {ByteView(copy).subspan(136, 200), 236}, &seam);
        EXPECT_EQ(readAll(reader, 290, 20), expected(290, 20));
        EXPECT_EQ(seam.offset, 250u);
    }
    {
        WindowedReader reader(source, {bytes(236, 200), 236}, {bytes(372, 200), 372}, &seam);
        EXPECT_EQ(readAll(reader, 420, 50), expected(420, 50));
        EXPECT_EQ(seam.offset, 386u);
    }
    // Without a next window that reaches the seam, reads go as before: to the source.
    source.clearFailures();
    {
        WindowedReader reader(source, {bytes(100, 200), 100}, {}, &seam);
        EXPECT_EQ(readAll(reader, 290, 20), expected(290, 20));
        WindowedReader apart(source, {bytes(100, 200), 100}, {bytes(400, 200), 400}, &seam);
        EXPECT_EQ(readAll(apart, 290, 20), expected(290, 20));
    }
    const std::vector<std::pair<std::uint64_t, std::int64_t>> reads{{300, 10}, {300, 10}};
    EXPECT_EQ(source.reads, reads);
}

// A head is a view of the seam, and the walk over it reads on across the seam while the head is still in
// use: the seam copies only what is asked for, and filling more of it leaves every earlier view intact.
TEST_F(WindowedReaderTest, FillsTheSeamOnlyAsFarAsAskedAndKeepsEarlierViewsIntact) {
    source.failAll();
    WindowedReader::Seam seam(50);
    WindowedReader reader(source, {bytes(100, 200), 100}, {bytes(236, 200), 236}, &seam);
    Bytes scratch;
    const ByteView first = reader.read(290, 20, scratch);
    EXPECT_EQ(seam.filledFrom, 290u);
    EXPECT_EQ(seam.filledTo, 310u);
    const std::uint8_t* buffer = seam.bytes.data();
    std::vector<ByteView> views{first};
    // Growing after the filled stretch, then before it, then both; inside it, nothing more is copied.
    for (const auto& [offset, count] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {295, 30}, {270, 31}, {251, 98}, {299, 2}, {250, 100}}) {
        views.push_back(reader.read(offset, count, scratch));
        ASSERT_EQ(Bytes(views.back().begin(), views.back().end()), expected(offset, count)) << offset << "+" << count;
    }
    EXPECT_EQ(seam.bytes.data(), buffer);
    EXPECT_EQ(seam.filledFrom, 250u);
    EXPECT_EQ(seam.filledTo, 350u);
    EXPECT_EQ(Bytes(first.begin(), first.end()), expected(290, 20));
    EXPECT_EQ(Bytes(views[1].begin(), views[1].end()), expected(295, 30));
    EXPECT_TRUE(source.reads.empty());
}

TEST_F(WindowedReaderTest, ReadsUpToAWindowsEndInPlaceAndElsewhereAsARead) {
    // Windows of 200 bytes sharing 64, [100, 300) and [236, 436).
    WindowedReader reader(source, {bytes(100, 200), 100}, {bytes(236, 200), 236});
    Bytes scratch;
    for (const auto& [offset, count, size] : std::vector<std::tuple<std::uint64_t, std::uint64_t, std::size_t>>{
             {150, 50, 50}, {150, 500, 150}, {299, 10, 1}, {300, 500, 136}, {435, 5, 1}}) {
        const ByteView view = reader.readUpTo(offset, count, scratch);
        EXPECT_EQ(view.data(), device.data() + offset) << offset;
        EXPECT_EQ(view.size(), size) << offset;
    }
    EXPECT_TRUE(source.reads.empty());
    // Outside the windows it reads all that is asked, to the device's end.
    const ByteView before = reader.readUpTo(50, 100, scratch);
    EXPECT_EQ(Bytes(before.begin(), before.end()), expected(50, 100));
    EXPECT_EQ(reader.readUpTo(436, 1000, scratch).size(), 564u);
    EXPECT_TRUE(reader.readUpTo(150, 0, scratch).empty());
    EXPECT_TRUE(reader.readUpTo(1000, 10, scratch).empty());
}

TEST_F(WindowedReaderTest, ClampsAtTheEndOfTheDeviceWithoutPadding) {
    WindowedReader reader(source, {bytes(900, 100), 900});
    EXPECT_EQ(readAll(reader, 850, 1LL << 40), expected(850, 150));
    EXPECT_EQ(readAll(reader, 950, 1000), expected(950, 50));
    EXPECT_TRUE(readAll(reader, 1000, 1).empty());
}

} // namespace
} // namespace vantrel
