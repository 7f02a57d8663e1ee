// The Ogg page walk on real files made by oggenc and ffmpeg at test time and on the sounds Debian ships,
// alone, back to back and damaged. Skipped when a tool is missing.
#include "recovery/carving/formats/OggPageWalk.h"

#include "tests/fixtures/SoundFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel {
namespace {

using test::joined;
using test::runOrFail;

// A small head and small chunks, so that pages cross the pieces the walk reads.
const test::WalkOver<OggPageWalk::walk> oggWalkAt{100, 4096};

// Where each page of a well-formed file starts.
std::vector<std::size_t> pageStarts(const Bytes& bytes) {
    std::vector<std::size_t> starts;
    for (std::size_t pos = 0; pos + 27 <= bytes.size();) {
        starts.push_back(pos);
        std::size_t length = 27 + bytes[pos + 26];
        for (std::size_t i = 0; i < bytes[pos + 26]; ++i) length += bytes[pos + 27 + i];
        pos += length;
    }
    return starts;
}

class OggPageWalkFiles : public test::SoundFilesTest {
protected:
    OggPageWalkFiles() : SoundFilesTest({"ffmpeg", "oggenc"}, "anoisesrc=duration=3:amplitude=0.2") {}
    void SetUp() override {
        SoundFilesTest::SetUp();
        if (IsSkipped()) return;
        runOrFail({"oggenc", "-Q", "-o", path("s.ogg"), path("s.wav")});
        // A Theora video with a Vorbis sound: two logical streams in one file.
        runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=96x64:duration=2", "-f", "lavfi", "-i",
                   "sine=duration=2", "-c:v", "libtheora", "-c:a", "libvorbis", "-shortest", "-y", path("av.ogv")});
        m_sound = test::readFile(m_dir / "s.ogg");
        m_video = test::readFile(m_dir / "av.ogv");
    }

    Bytes m_sound, m_video;
};

TEST_F(OggPageWalkFiles, ASoundAndAVideoEndAtTheirLastPageWhateverFollows) {
    const Bytes junk = test::randomBytes(5000, 3);
    for (const Bytes* file : {&m_sound, &m_video}) {
        ASSERT_TRUE(OggPageWalk::beginsFile(*file));
        EXPECT_EQ(oggWalkAt(*file, 0), file->size());
        EXPECT_EQ(oggWalkAt(joined({file, &junk}), 0), file->size());
    }
    // The video's two streams both begin on its first pages; its length waits for the later end.
    const auto starts = pageStarts(m_video);
    std::size_t beginnings = 0;
    for (const std::size_t start : starts) beginnings += (m_video[start + 5] & 0x02) != 0;
    EXPECT_EQ(beginnings, 2u);
}

TEST_F(OggPageWalkFiles, OnlyAStreamsFirstPageBeginsAFile) {
    const auto starts = pageStarts(m_sound);
    ASSERT_GT(starts.size(), 3u);
    EXPECT_TRUE(OggPageWalk::beginsFile(ByteView(m_sound)));
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_FALSE(OggPageWalk::beginsFile(ByteView(m_sound).subspan(starts[i]))) << i;
        EXPECT_EQ(oggWalkAt(m_sound, starts[i]), std::nullopt) << i;
    }
    // Version 1 is not a page of this format.
    Bytes other = m_sound;
    other[4] = 1;
    EXPECT_FALSE(OggPageWalk::beginsFile(other));
}

TEST_F(OggPageWalkFiles, FilesBackToBackAreEachTheirOwn) {
    const Bytes chain = joined({&m_sound, &m_video, &m_sound});
    EXPECT_EQ(oggWalkAt(chain, 0), m_sound.size());
    EXPECT_EQ(oggWalkAt(chain, m_sound.size()), m_video.size());
    EXPECT_EQ(oggWalkAt(chain, m_sound.size() + m_video.size()), m_sound.size());
}

TEST_F(OggPageWalkFiles, AWalkThatBreaksOffGivesNothing) {
    const auto starts = pageStarts(m_sound);
    const std::size_t lastPage = starts.back();
    // A byte changed in a page in the middle: its checksum fails.
    Bytes damaged = m_sound;
    damaged[starts[starts.size() / 2] + 40] ^= 0x01;
    EXPECT_EQ(oggWalkAt(damaged, 0), std::nullopt);
    // The end-of-stream page is missing, or lies past the limit.
    const Bytes cut(m_sound.begin(), m_sound.begin() + static_cast<std::ptrdiff_t>(lastPage));
    EXPECT_EQ(oggWalkAt(cut, 0), std::nullopt);
    EXPECT_EQ(oggWalkAt(m_sound, 0, m_sound.size() - 1), std::nullopt);
    // A file whose end is missing runs into the next one, whose stream begins after the first pages.
    EXPECT_EQ(oggWalkAt(joined({&cut, &m_sound}), 0), std::nullopt);
    // The video cut before its last page: one of its streams is still open.
    const Bytes shortVideo(m_video.begin(), m_video.begin() + static_cast<std::ptrdiff_t>(pageStarts(m_video).back()));
    EXPECT_EQ(oggWalkAt(joined({&shortVideo, &m_sound}), 0), std::nullopt);
    // A page of the video, whole with its checksum, among the pages of the sound: its stream was
    // not begun in this file.
    const auto videoStarts = pageStarts(m_video);
    Bytes foreign(m_sound.begin(), m_sound.begin() + static_cast<std::ptrdiff_t>(starts[3]));
    foreign.insert(foreign.end(), m_video.begin() + static_cast<std::ptrdiff_t>(videoStarts[videoStarts.size() - 2]),
                   m_video.begin() + static_cast<std::ptrdiff_t>(videoStarts.back()));
    foreign.insert(foreign.end(), m_sound.begin() + static_cast<std::ptrdiff_t>(starts[3]), m_sound.end());
    EXPECT_EQ(oggWalkAt(foreign, 0), std::nullopt);
}

TEST(OggPageWalk, DebianSoundsEndAtTheirLastPage) {
    const std::filesystem::path folder = "/usr/share/sounds/freedesktop/stereo";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "sound-theme-freedesktop is not installed";
    int walked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".oga") continue;
        const Bytes bytes = test::readFile(entry.path());
        EXPECT_TRUE(OggPageWalk::beginsFile(bytes)) << entry.path();
        EXPECT_EQ(oggWalkAt(bytes, 0), bytes.size()) << entry.path();
        ++walked;
    }
    EXPECT_GT(walked, 10);
}

} // namespace
} // namespace vantrel
