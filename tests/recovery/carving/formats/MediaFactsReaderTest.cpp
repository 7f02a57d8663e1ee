// The duration and picture size readers of the sound and video containers: Debian's own sounds
// (sound-theme-freedesktop) against ffprobe's reading of them, the same sound and test videos put in
// every container by ffmpeg at test time, files cut short, and crafted damaged headers.
#include "recovery/carving/formats/MediaFactsReader.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

#define REQUIRE_PROGRAMS(...)                                                   \
    for (const char* program : {__VA_ARGS__})                                   \
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed"

const std::filesystem::path debianSounds = "/usr/share/sounds/freedesktop/stereo";

void putU32be(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::optional<MediaFacts> factsOf(RecoveredFileKind kind, const Bytes& bytes) {
    MemoryByteSource source{Bytes(bytes)};
    return MediaFactsReader::read(kind, source);
}

std::optional<MediaFacts> factsOf(RecoveredFileKind kind, const std::filesystem::path& file) {
    return factsOf(kind, test::readFile(file));
}

Bytes cut(const Bytes& bytes, double share) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(bytes.size()) * share));
}

// ffprobe's reading of the whole file's duration, in milliseconds.
double probedMilliseconds(const std::filesystem::path& file) {
    const std::string seconds = test::runOrFail(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file.string()});
    return std::round(std::stod(seconds) * 1000);
}

// -1 for none.
double milliseconds(const std::optional<MediaFacts>& facts) {
    return facts && facts->durationMilliseconds ? static_cast<double>(*facts->durationMilliseconds) : -1;
}

TEST(MediaFactsReader, DebianSoundsLastAsLongAsFfprobeSays) {
    REQUIRE_PROGRAMS("ffprobe");
    if (!std::filesystem::is_directory(debianSounds)) GTEST_SKIP() << "sound-theme-freedesktop is not installed";
    int read = 0;
    for (const auto& entry : std::filesystem::directory_iterator(debianSounds)) {
        if (entry.path().extension() != ".oga") continue;
        const auto facts = factsOf(K::ogg, entry.path());
        ASSERT_TRUE(facts) << entry.path();
        EXPECT_FALSE(facts->durationEstimated);
        EXPECT_FALSE(facts->pictureSize);
        EXPECT_NEAR(milliseconds(facts), probedMilliseconds(entry.path()), 30) << entry.path();
        ++read;
    }
    EXPECT_GT(read, 10);
}

class MediaFactsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PROGRAMS("ffmpeg", "ffprobe", "lame");
        if (!std::filesystem::exists(debianSounds / "complete.oga")) GTEST_SKIP() << "sound-theme-freedesktop is not installed";
        // A real sound, played four times over so that it lasts a few seconds.
        make({"-stream_loop", "3", "-i", (debianSounds / "complete.oga").string(), "-c:a", "pcm_s16le"}, "sound.wav");
    }
    std::filesystem::path make(std::vector<std::string> arguments, const std::string& name) {
        std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back((m_dir / name).string());
        test::runOrFail(argv);
        return m_dir / name;
    }
    std::filesystem::path sound() const { return m_dir / "sound.wav"; }

    test::TempDir m_dir;
};

TEST_F(MediaFactsFiles, EachSoundContainerStatesTheSoundsDuration) {
    const double length = probedMilliseconds(sound());
    ASSERT_GT(length, 2000);
    struct Case {
        RecoveredFileKind kind;
        std::filesystem::path file;
        double tolerance;  // what the encoder adds at either end
        bool estimated;
    };
    const std::vector<Case> cases = {
        {K::wav, sound(), 1, false},
        {K::flac, make({"-i", sound().string(), "-c:a", "flac"}, "sound.flac"), 1, false},
        {K::m4a, make({"-i", sound().string(), "-c:a", "aac"}, "sound.m4a"), 50, false},
        {K::ogg, make({"-i", sound().string(), "-c:a", "libopus"}, "sound.opus"), 30, false},
        {K::ogg, make({"-i", sound().string(), "-c:a", "libvorbis"}, "sound.ogg"), 30, false},
        {K::mp3, make({"-i", sound().string(), "-c:a", "libmp3lame", "-q:a", "4"}, "vbr.mp3"), 80, false},
        // Without the Xing header the frames' bytes at the bitrate: close, and said to be an estimate.
        {K::mp3, make({"-i", sound().string(), "-c:a", "libmp3lame", "-b:a", "64k", "-write_xing", "0"}, "cbr.mp3"), 100, true},
        // Compressed: its fact chunk counts the samples.
        {K::wav, make({"-i", sound().string(), "-c:a", "adpcm_ima_wav"}, "adpcm.wav"), 50, false},
    };
    for (const Case& c : cases) {
        const auto facts = factsOf(c.kind, c.file);
        ASSERT_TRUE(facts) << c.file;
        EXPECT_NEAR(milliseconds(facts), length, c.tolerance) << c.file;
        EXPECT_EQ(facts->durationEstimated, c.estimated) << c.file;
        EXPECT_FALSE(facts->pictureSize) << c.file;
    }
    // lame's own ID3v2 and ID3v1 tags are passed over.
    test::runOrFail({"lame", "--quiet", "-b", "64", "--tt", "Complete", "--add-id3v2", sound().string(),
                     (m_dir / "tagged.mp3").string()});
    EXPECT_NEAR(milliseconds(factsOf(K::mp3, m_dir / "tagged.mp3")), length, 60);
}

TEST_F(MediaFactsFiles, VideosStateTheirDurationAndPictureSizeAsShown) {
    const std::vector<std::string> picture = {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=2"};
    auto video = [&](std::vector<std::string> codec, const std::string& name) {
        std::vector<std::string> arguments = picture;
        arguments.insert(arguments.end(), {"-i", sound().string(), "-shortest"});
        arguments.insert(arguments.end(), codec.begin(), codec.end());
        return make(arguments, name);
    };
    const auto mp4 = video({"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}, "clip.mp4");
    const auto mov = video({"-c:v", "mjpeg", "-c:a", "pcm_s16le"}, "clip.mov");
    const auto faststart = video({"-c:v", "libx264", "-pix_fmt", "yuv420p", "-an", "-movflags", "+faststart"}, "front.mp4");
    for (const auto& [kind, file] : {std::pair(K::mp4, mp4), std::pair(K::mov, mov), std::pair(K::mp4, faststart)}) {
        const auto facts = factsOf(kind, file);
        ASSERT_TRUE(facts) << file;
        EXPECT_NEAR(milliseconds(facts), 2000, 60) << file;
        ASSERT_TRUE(facts->pictureSize) << file;
        EXPECT_EQ(*facts->pictureSize, (ImageDimensions{320, 240})) << file;
        EXPECT_FALSE(facts->durationEstimated);
    }
    // Filmed upright on a phone: stored on its side with a quarter turn in the track's matrix (this
    // ffmpeg writes none, so the matrix a phone writes is put in the track header).
    Bytes turned = test::readFile(faststart);
    const auto tkhd = std::search(turned.begin(), turned.end(), std::begin("tkhd"), std::end("tkhd") - 1);
    ASSERT_NE(tkhd, turned.end());
    ASSERT_EQ(tkhd[4], 0) << "a version 0 track header";
    const auto matrix = static_cast<std::size_t>(tkhd - turned.begin()) + 4 + 40;
    putU32be(turned, matrix, 0);
    putU32be(turned, matrix + 4, 0x00010000);
    putU32be(turned, matrix + 12, 0xFFFF0000);
    putU32be(turned, matrix + 16, 0);
    const auto turnedFacts = factsOf(K::mp4, turned);
    ASSERT_TRUE(turnedFacts && turnedFacts->pictureSize);
    EXPECT_EQ(*turnedFacts->pictureSize, (ImageDimensions{240, 320}));

    // A cut file: with the movie box in front its facts are still there; at the end, it was lost.
    const Bytes front = test::readFile(faststart);
    EXPECT_EQ(factsOf(K::mp4, cut(front, 0.5)), factsOf(K::mp4, front));
    EXPECT_FALSE(factsOf(K::mp4, cut(test::readFile(mp4), 0.5)));
    // Sound alone: no picture size.
    const auto m4a = factsOf(K::m4a, make({"-i", sound().string(), "-c:a", "aac"}, "sound.m4a"));
    ASSERT_TRUE(m4a);
    EXPECT_FALSE(m4a->pictureSize);
}

TEST_F(MediaFactsFiles, AnAviStatesItsFramesAndSizeAndCutSoundsKeepTheirStatedLength) {
    const auto avi = make({"-f", "lavfi", "-i", "testsrc=size=176x144:rate=10:duration=3", "-c:v", "mjpeg"}, "clip.avi");
    MemoryByteSource source{test::readFile(avi)};
    // The RIFF reader serves the wav kind; an AVI is read by its form type.
    const auto facts = MediaFactsReader::read(K::wav, source);
    ASSERT_TRUE(facts && facts->pictureSize);
    EXPECT_NEAR(milliseconds(facts), 3000, 100);
    EXPECT_EQ(*facts->pictureSize, (ImageDimensions{176, 144}));

    // A cut WAVE or FLAC states the length the whole file had; a cut Ogg sound lasts up to its last
    // whole page.
    const double length = probedMilliseconds(sound());
    EXPECT_NEAR(milliseconds(factsOf(K::wav, cut(test::readFile(sound()), 0.5))), length, 1);
    const auto flac = make({"-i", sound().string(), "-c:a", "flac"}, "sound.flac");
    EXPECT_NEAR(milliseconds(factsOf(K::flac, cut(test::readFile(flac), 0.3))), length, 1);
    const auto ogg = make({"-i", sound().string(), "-c:a", "libvorbis"}, "sound.ogg");
    const auto cutOgg = milliseconds(factsOf(K::ogg, cut(test::readFile(ogg), 0.5)));
    EXPECT_GT(cutOgg, 0);
    EXPECT_LT(cutOgg, length * 3 / 4);
}

// ---- Crafted damage ----

void putU32le(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}
void append(Bytes& bytes, std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }

// A box of the type with the contents.
Bytes box(std::string_view type, const Bytes& contents) {
    Bytes bytes(4);
    putU32be(bytes, 0, static_cast<std::uint32_t>(8 + contents.size()));
    append(bytes, type);
    bytes.insert(bytes.end(), contents.begin(), contents.end());
    return bytes;
}

Bytes movieHeader(std::uint32_t timescale, std::uint32_t duration) {
    Bytes mvhd(100, 0);
    putU32be(mvhd, 12, timescale);
    putU32be(mvhd, 16, duration);
    return box("mvhd", mvhd);
}

Bytes movie(const Bytes& contents) {
    Bytes file = box("ftyp", Bytes{'i', 's', 'o', 'm', 0, 0, 2, 0});
    const Bytes moov = box("moov", contents);
    file.insert(file.end(), moov.begin(), moov.end());
    return file;
}

TEST(MediaFactsReader, DamagedMovieBoxesStateOnlyWhatHoldsTogether) {
    EXPECT_EQ(milliseconds(factsOf(K::mp4, movie(movieHeader(600, 1500)))), 2500);
    // No timescale, a duration that is unknown, one beyond any recording, none at all.
    EXPECT_FALSE(factsOf(K::mp4, movie(movieHeader(0, 1500))));
    EXPECT_FALSE(factsOf(K::mp4, movie(movieHeader(600, 0xFFFFFFFF))));
    EXPECT_FALSE(factsOf(K::mp4, movie(movieHeader(1, 0xFFFFFFFE))));
    EXPECT_FALSE(factsOf(K::mp4, movie({})));
    // A box smaller than its header stops the walks, at the top and inside the movie box.
    Bytes tiny = movie(movieHeader(600, 1500));
    putU32be(tiny, 0, 4);
    EXPECT_FALSE(factsOf(K::mp4, tiny));
    Bytes inner = movieHeader(600, 1500);
    Bytes broken = box("free", {});
    putU32be(broken, 0, 3);
    broken.insert(broken.end(), inner.begin(), inner.end());
    EXPECT_FALSE(factsOf(K::mp4, movie(broken)));
    // A box stating more than the file holds is read as far as it goes.
    Bytes overlong = movie(movieHeader(600, 1500));
    putU32be(overlong, 16, 0x7FFFFFFF);
    EXPECT_EQ(milliseconds(factsOf(K::mp4, overlong)), 2500);
    // A track's size of 0 or beyond any picture is no size.
    for (const std::uint32_t side : {0u, 0xFFFF0000u}) {
        Bytes tkhd(84, 0);
        putU32be(tkhd, 76, side);
        putU32be(tkhd, 80, 240u << 16);
        Bytes hdlr(24, 0);
        std::copy_n("vide", 4, hdlr.begin() + 8);
        Bytes mdia = box("mdia", box("hdlr", hdlr));
        Bytes trak = box("tkhd", tkhd);
        trak.insert(trak.end(), mdia.begin(), mdia.end());
        Bytes contents = movieHeader(600, 1500);
        const Bytes track = box("trak", trak);
        contents.insert(contents.end(), track.begin(), track.end());
        const auto facts = factsOf(K::mp4, movie(contents));
        ASSERT_TRUE(facts);
        EXPECT_FALSE(facts->pictureSize) << side;
    }
}

Bytes wave(std::uint32_t bytesPerSecond, std::uint32_t dataBytes, bool formatFirst = true) {
    Bytes file;
    append(file, "RIFF");
    file.resize(8);
    append(file, "WAVE");
    Bytes format;
    append(format, "fmt ");
    format.resize(24, 0);
    putU32le(format, 4, 16);
    format[8] = 1;
    putU32le(format, 16, bytesPerSecond);
    Bytes data;
    append(data, "data");
    data.resize(8);
    putU32le(data, 4, dataBytes);
    data.resize(8 + 64, 0);
    if (formatFirst) {
        file.insert(file.end(), format.begin(), format.end());
        file.insert(file.end(), data.begin(), data.end());
    } else {
        file.insert(file.end(), data.begin(), data.end());
        file.insert(file.end(), format.begin(), format.end());
    }
    putU32le(file, 4, static_cast<std::uint32_t>(file.size() - 8));
    return file;
}

TEST(MediaFactsReader, DamagedSoundHeadersStateNothing) {
    EXPECT_EQ(milliseconds(factsOf(K::wav, wave(16000, 48000))), 3000);
    EXPECT_FALSE(factsOf(K::wav, wave(0, 48000))) << "no rate";
    // Compressed without a fact chunk: from the average rate, an estimate.
    Bytes compressed = wave(16000, 48000);
    compressed[20] = 2;
    const auto estimate = factsOf(K::wav, compressed);
    ASSERT_TRUE(estimate);
    EXPECT_EQ(milliseconds(estimate), 3000);
    EXPECT_TRUE(estimate->durationEstimated);
    EXPECT_FALSE(factsOf(K::wav, wave(16000, 48000, false))) << "samples before their format";
    // A streaming writer's unknown size: the samples the file holds.
    EXPECT_EQ(milliseconds(factsOf(K::wav, wave(16, 0xFFFFFFFF))), 4000);
    // A chunk size that jumps past the end ends the walk.
    Bytes jump = wave(16000, 48000);
    putU32le(jump, 16, 0xFFFFFFF0);
    EXPECT_FALSE(factsOf(K::wav, jump));
    EXPECT_FALSE(factsOf(K::wav, cut(wave(16000, 48000), 0.4)));

    // FLAC without a sample count.
    Bytes flac;
    append(flac, "fLaC");
    flac.insert(flac.end(), {0x80, 0, 0, 34, 0x10, 0, 0x10, 0});
    flac.resize(42, 0);
    flac[18] = 0x0A;  // 44,100 Hz: 0xAC44 in the top 20 bits
    flac[19] = 0xC4;
    flac[20] = 0x42;
    flac[21] = 0xF0;
    EXPECT_FALSE(factsOf(K::flac, flac));
    putU32be(flac, 22, 88'200);
    EXPECT_EQ(milliseconds(factsOf(K::flac, flac)), 2000);
    // The most samples at 1 Hz: beyond a year.
    flac[18] = 0;
    flac[19] = 0;
    flac[20] = 0x12;
    flac[21] = 0xFF;
    putU32be(flac, 22, 0xFFFFFFFF);
    EXPECT_FALSE(factsOf(K::flac, flac));

    // Chance bytes and an MP3 header with nothing after it.
    EXPECT_FALSE(factsOf(K::mp3, test::randomBytes(64 * 1024, 5)));
    EXPECT_FALSE(factsOf(K::mp3, Bytes{0xFF, 0xFB, 0x90, 0x64}));
    EXPECT_FALSE(factsOf(K::ogg, test::randomBytes(64 * 1024, 6)));
    EXPECT_FALSE(factsOf(K::mp4, Bytes{}));
    EXPECT_FALSE(factsOf(K::jpeg, wave(16000, 48000))) << "not a sound or video kind";
}

TEST(MediaFactsReader, AnOggSoundWhoseLastPageIsDamagedEndsAtThePageBefore) {
    if (!std::filesystem::is_directory(debianSounds)) GTEST_SKIP() << "sound-theme-freedesktop is not installed";
    const Bytes sound = test::readFile(debianSounds / "complete.oga");
    const auto whole = milliseconds(factsOf(K::ogg, sound));
    ASSERT_GT(whole, 0);
    Bytes damaged = sound;
    damaged[damaged.size() - 10] ^= 0xFF;
    const auto shorter = milliseconds(factsOf(K::ogg, damaged));
    EXPECT_GT(shorter, 0);
    EXPECT_LT(shorter, whole);
}

} // namespace
} // namespace vantrel
