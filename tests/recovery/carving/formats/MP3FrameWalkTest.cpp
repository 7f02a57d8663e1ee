// The MP3 frame walk on files made by lame and ffmpeg at test time (ID3v2.3 and 2.4 tags, with and
// without an ID3v1 tag, layer II and III, MPEG 1 and 2) and on crafted tags and frames. Skipped when a
// tool is missing.
#include "recovery/carving/formats/MP3FrameWalk.h"

#include "tests/fixtures/SoundFiles.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::joined;
using test::runOrFail;

const test::WalkOver<MP3FrameWalk::walk> mp3WalkAt{64, 1000};

// The header of an ID3v2 tag of the given version whose frames take size bytes.
Bytes tagHeader(std::uint8_t major, std::uint32_t size, std::uint8_t flags = 0) {
    Bytes out{'I', 'D', '3', major, 0, flags};
    for (const int shift : {21, 14, 7, 0}) out.push_back(static_cast<std::uint8_t>((size >> shift) & 0x7F));
    return out;
}

// The whole tag, its frames zero padding.
Bytes tag(std::uint8_t major, std::uint32_t size) {
    Bytes out = tagHeader(major, size);
    out.resize(out.size() + size, 0);
    return out;
}

// count MPEG 1 layer I frames of 32 kbit/s at 44.1 kHz: 4 × floor(12 × 32000 / 44100) = 32 bytes each.
Bytes layer1Frames(int count) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        const Bytes frame{0xFF, 0xFF, 0x10, 0xC0};
        out.insert(out.end(), frame.begin(), frame.end());
        out.resize(out.size() + 28, 0x55);
    }
    return out;
}

TEST(MP3FrameWalk, TagSizesAreSynchsafeWithAFooterInVersion4Only) {
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(3, 0x0FFFFFFF)), 10 + 0x0FFFFFFFu);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(4, 300)), 310u);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(4, 300, 0x10)), 320u);
    // Flags a version does not define are never set in a real tag.
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(3, 300, 0x10)), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(3, 300, 0xE0)), 310u);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(2, 300, 0x20)), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(2, 300, 0xC0)), 310u);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(4, 300, 0x01)), std::nullopt);
    // The version bytes of "ID3" in compressed data.
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(0xE0, 300)), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(2, 5)), 15u);
    Bytes unsafe = tagHeader(3, 300);
    unsafe[8] |= 0x80;
    EXPECT_EQ(MP3FrameWalk::id3v2Length(unsafe), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(5, 300)), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(tagHeader(1, 300)), std::nullopt);
    Bytes revision = tagHeader(3, 300);
    revision[4] = 0xFF;
    EXPECT_EQ(MP3FrameWalk::id3v2Length(revision), std::nullopt);
    EXPECT_EQ(MP3FrameWalk::id3v2Length(Bytes{'I', 'D', '3', 3, 0, 0, 0, 0}), std::nullopt);
}

TEST(MP3FrameWalk, AFewAgreeingFramesAreNeeded) {
    const Bytes header = tag(3, 100);
    const Bytes three = layer1Frames(3);
    const Bytes four = layer1Frames(4);
    const Bytes junk = test::randomBytes(3000, 9);
    EXPECT_EQ(mp3WalkAt(joined({&header, &three, &junk}), 0), std::nullopt);
    EXPECT_EQ(mp3WalkAt(joined({&header, &four, &junk}), 0), header.size() + four.size());
    // The tag itself must fit.
    EXPECT_EQ(mp3WalkAt(joined({&header, &four}), 0, 90), std::nullopt);
    // A frame that runs past the limit is not counted.
    EXPECT_EQ(mp3WalkAt(joined({&header, &four}), 0, header.size() + four.size() - 1), std::nullopt);

    // A free-format frame, a reserved sample rate or emphasis, or a change of sample rate ends the walk.
    for (const auto& [at, value] : std::vector<std::pair<std::size_t, std::uint8_t>>{
             {2, 0x00}, {2, 0x1C}, {3, 0xC2}, {2, 0x14}}) {
        Bytes frames = layer1Frames(5);
        frames[2 * 32 + at] = value;
        EXPECT_EQ(mp3WalkAt(joined({&header, &frames}), 0), std::nullopt) << at << " " << int{value};
        frames = layer1Frames(6);
        frames[4 * 32 + at] = value;
        EXPECT_EQ(mp3WalkAt(joined({&header, &frames}), 0), header.size() + 4 * 32) << at << " " << int{value};
    }
    // Frames may start behind padding that the tag's size leaves out, but not far behind.
    const Bytes padding(100, 0), farPadding(MP3FrameWalk::maxGapBytes + 1, 0);
    EXPECT_EQ(mp3WalkAt(joined({&header, &padding, &four, &junk}), 0), header.size() + padding.size() + four.size());
    EXPECT_EQ(mp3WalkAt(joined({&header, &farPadding, &four, &junk}), 0), std::nullopt);
    // A sound tag before data that holds no frames is no song.
    EXPECT_EQ(mp3WalkAt(joined({&header, &junk}), 0), std::nullopt);

    // An ID3v1 tag after the frames belongs to the file, when it lies within the limit.
    Bytes id3v1{'T', 'A', 'G'};
    id3v1.resize(128, ' ');
    const Bytes file = joined({&header, &four, &id3v1, &junk});
    EXPECT_EQ(mp3WalkAt(file, 0), header.size() + four.size() + 128);
    EXPECT_EQ(mp3WalkAt(file, 0, header.size() + four.size() + 127), header.size() + four.size());
}

class MP3FrameWalkFiles : public test::SoundFilesTest {
protected:
    MP3FrameWalkFiles() : SoundFilesTest({"ffmpeg", "lame"}, "sine=frequency=660:duration=1.2") {}
    Bytes ffmpeg(const std::string& name, const std::vector<std::string>& options) const {
        std::vector<std::string> command{"ffmpeg", "-v", "error", "-i", path("s.wav"), "-metadata", "title=Tone"};
        command.insert(command.end(), options.begin(), options.end());
        command.insert(command.end(), {"-y", path(name)});
        runOrFail(command);
        return test::readFile(m_dir / name);
    }
    Bytes lame(const std::string& name, const std::vector<std::string>& options) const {
        std::vector<std::string> command{"lame", "--quiet", "--tt", "Tone"};
        command.insert(command.end(), options.begin(), options.end());
        command.insert(command.end(), {path("s.wav"), path(name)});
        runOrFail(command);
        return test::readFile(m_dir / name);
    }
};

TEST_F(MP3FrameWalkFiles, FilesEndAfterTheirLastFrameOrTheirID3v1Tag) {
    struct Variant {
        std::string name;
        Bytes bytes;
        std::uint8_t tagVersion;
        bool id3v1;
    };
    const Bytes version4 = ffmpeg("f24.mp3", {});
    // ffmpeg writes layer II only without a tag; the tag of its layer III file goes in front.
    Bytes layer2(version4.begin(), version4.begin() + static_cast<std::ptrdiff_t>(*MP3FrameWalk::id3v2Length(version4)));
    const Bytes frames = ffmpeg("f.mp2", {"-c:a", "mp2"});
    ASSERT_EQ(frames.at(1) & 0x06, 0x04);
    layer2.insert(layer2.end(), frames.begin(), frames.end());
    const std::vector<Variant> variants{
        {"lame 2.3", lame("l23.mp3", {"--id3v2-only"}), 3, false},
        {"lame 2.3 and 1", lame("l23v1.mp3", {"--add-id3v2"}), 3, true},
        {"lame MPEG 2", lame("l2.mp3", {"--id3v2-only", "--resample", "22.05", "-b", "32"}), 3, false},
        {"lame MPEG 2.5", lame("l25.mp3", {"--id3v2-only", "--resample", "8", "-b", "8"}), 3, false},
        {"ffmpeg 2.4", version4, 4, false},
        {"ffmpeg 2.3 and 1", ffmpeg("f23v1.mp3", {"-id3v2_version", "3", "-write_id3v1", "1"}), 3, true},
        {"ffmpeg layer II", layer2, 4, false},
    };
    const Bytes junk(2000, 0);
    for (const Variant& variant : variants) {
        const Bytes& bytes = variant.bytes;
        ASSERT_GT(bytes.size(), 200u) << variant.name;
        EXPECT_EQ(bytes[3], variant.tagVersion) << variant.name;
        EXPECT_EQ(FieldReader::matches(bytes, static_cast<std::int64_t>(bytes.size() - 128), "TAG"), variant.id3v1)
            << variant.name;
        EXPECT_EQ(mp3WalkAt(bytes, 0), bytes.size()) << variant.name;
        EXPECT_EQ(mp3WalkAt(joined({&bytes, &junk}), 0), bytes.size()) << variant.name;
        // The next file's tag ends the frames too.
        EXPECT_EQ(mp3WalkAt(joined({&bytes, &variants[0].bytes}), 0), bytes.size()) << variant.name;
    }
}

TEST_F(MP3FrameWalkFiles, FramesOfAnotherSampleRateBelongToAnotherFile) {
    const Bytes first = ffmpeg("a.mp3", {"-write_xing", "0"});
    const Bytes second = ffmpeg("b.mp3", {"-ar", "22050", "-id3v2_version", "0", "-write_xing", "0"});
    ASSERT_EQ(second[0], 0xFF);
    EXPECT_EQ(mp3WalkAt(joined({&first, &second}), 0), first.size());
}

TEST_F(MP3FrameWalkFiles, AVersion4FooterIsPartOfTheTag) {
    const Bytes plain = ffmpeg("f.mp3", {});
    const std::uint64_t tagLength = *MP3FrameWalk::id3v2Length(plain);
    // The footer repeats the header with "3DI" in place of "ID3".
    Bytes withFooter(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(tagLength));
    withFooter[5] |= 0x10;
    Bytes footer(plain.begin(), plain.begin() + 10);
    footer[0] = '3';
    footer[1] = 'D';
    footer[2] = 'I';
    footer[5] |= 0x10;
    withFooter.insert(withFooter.end(), footer.begin(), footer.end());
    withFooter.insert(withFooter.end(), plain.begin() + static_cast<std::ptrdiff_t>(tagLength), plain.end());
    EXPECT_EQ(mp3WalkAt(withFooter, 0), withFooter.size());
}

} // namespace
} // namespace vantrel
