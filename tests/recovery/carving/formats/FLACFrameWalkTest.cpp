// The FLAC frame walk on streams made by sox and flac at test time: with the sample total stated and
// without it (flac writing from a pipe to a pipe), alone, followed by other bytes, and damaged.
// Skipped when a tool is missing.
#include "recovery/carving/formats/FLACFrameWalk.h"

#include "tests/fixtures/SoundFiles.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::runOrFail;

// A small head and small chunks, so that frames cross the pieces the walk reads.
const test::WalkOver<FLACFrameWalk::walk> flacWalkAt{100, 4096};

std::uint64_t statedTotal(const Bytes& flac) {
    return (std::uint64_t{flac[21] & 0x0Fu} << 32) | FieldReader::u32be(flac, 22);
}

class FLACFrameWalkFiles : public test::SoundFilesTest {
protected:
    FLACFrameWalkFiles() : SoundFilesTest({"ffmpeg", "sox", "flac"}, "sine=duration=1") {}
    void SetUp() override {
        SoundFilesTest::SetUp();
        if (IsSkipped()) return;
        runOrFail({"sox", "-n", "-r", "44100", "-c", "2", path("sine.flac"), "synth", "3", "sine", "440"});
        runOrFail({"sox", "-n", "-r", "48000", "-c", "1", "-b", "24", path("noise.flac"), "synth", "2", "pinknoise"});
        // From a pipe to a pipe: the encoder knows no total and cannot go back to write one.
        runOrFail({"sh", "-c",
                   "sox -n -r 22050 -c 2 -b 16 -t raw - synth 2 sine 300 sine 500 | flac -s -8 --force-raw-format "
                   "--endian=little --sign=signed --channels=2 --bps=16 --sample-rate=22050 -c - | cat > '" +
                       path("piped.flac") + "'"});
        for (const char* name : {"sine.flac", "noise.flac", "piped.flac"}) m_files.push_back(test::readFile(m_dir / name));
    }

    std::vector<Bytes> m_files;
};

TEST_F(FLACFrameWalkFiles, StreamsEndAtTheirLastFrameWhateverFollows) {
    const Bytes junk = test::randomBytes(70000, 5);
    ASSERT_NE(statedTotal(m_files[0]), 0u);
    ASSERT_EQ(statedTotal(m_files[2]), 0u);
    for (const Bytes& file : m_files) flacWalkAt.expectOwnLengthWhateverFollows(file, junk);
}

TEST_F(FLACFrameWalkFiles, ADamagedOrCutStreamEndsAtItsLastSoundFrame) {
    for (const Bytes& file : m_files) {
        // A byte changed half way: the frame that holds it fails its CRC-16, the walk ends before it,
        // where a frame header begins.
        Bytes damaged = file;
        damaged[file.size() / 2] ^= 0x10;
        const auto end = flacWalkAt(damaged, 0);
        ASSERT_TRUE(end.has_value());
        EXPECT_LE(*end, file.size() / 2);
        EXPECT_GT(*end, file.size() / 4);
        EXPECT_EQ(damaged[*end], 0xFF);
        // The limit cuts the last frame: the one before is the end.
        const auto cut = flacWalkAt(file, 0, file.size() - 1);
        ASSERT_TRUE(cut.has_value());
        EXPECT_LT(*cut, file.size());
        EXPECT_EQ(file[*cut], 0xFF);
        // No frame at all after the metadata, or metadata past the limit.
        EXPECT_EQ(flacWalkAt(file, 0, 200), std::nullopt);
    }
    const Bytes& file = m_files[0];
    Bytes noStreamInfo = file;
    noStreamInfo[4] = 0x04;
    EXPECT_EQ(flacWalkAt(noStreamInfo, 0), std::nullopt);
}

TEST(FLACFrameWalk, ChecksumsAreTheFormatsOwn) {
    // The standard check values of CRC-8 (polynomial 07) and CRC-16 (polynomial 8005), both unreflected
    // from 0, over "123456789".
    const std::string check = "123456789";
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(check.data()), check.size());
    EXPECT_EQ(FLACFrameWalk::headerChecksum(bytes), 0xF4);
    EXPECT_EQ(FLACFrameWalk::frameChecksum(bytes), 0xFEE8);
}

} // namespace
} // namespace vantrel
