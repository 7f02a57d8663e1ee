#include "recovery/carving/formats/JPEGScanWalk.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel {
namespace {

using JPEGScanWalk::Ending;

const std::filesystem::path shippedPhotos = "/usr/share/doc/imagemagick-6-common/html/images";

JPEGScanWalk::ByteFeed feedOver(const Bytes& bytes, std::size_t chunk = 4096) {
    return [&bytes, chunk](std::uint64_t position) -> ByteView {
        if (position >= bytes.size()) return {};
        return ByteView(bytes).subspan(static_cast<std::size_t>(position)).first(
            std::min<std::size_t>(chunk, bytes.size() - static_cast<std::size_t>(position)));
    };
}

JPEGScanWalk::Walk walkOf(const Bytes& bytes, std::size_t chunk = 4096) {
    return JPEGScanWalk::walk(feedOver(bytes, chunk), bytes.size());
}

// A shipped photo re-encoded by ImageMagick with these options, or nothing without the tools.
Bytes encoded(const test::TempDir& dir, const std::string& photo, const std::vector<std::string>& options) {
    std::vector<std::string> argv{"convert", (shippedPhotos / photo).string()};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto out = dir / "out.jpg";
    argv.push_back(out.string());
    test::runOrFail(argv);
    return test::readFile(out);
}

class JPEGScanWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(shippedPhotos) || !test::haveProgram("convert"))
            GTEST_SKIP() << "imagemagick-6-doc and ImageMagick are needed";
    }
    test::TempDir dir;
};

// Real encodings: baseline in every sampling, with restart markers, grey, a low-detail picture far below a
// byte per 12 pixels, and progressive (walked by its markers only).
TEST_F(JPEGScanWalkTest, WholePicturesAreWholeWhateverTheirEncoding) {
    const struct {
        std::vector<std::string> options;
        bool decoded;
    } cases[] = {
        {{"-quality", "85"}, true},
        {{"-sampling-factor", "4:2:0", "-quality", "70"}, true},
        {{"-sampling-factor", "4:4:4", "-quality", "95"}, true},
        {{"-sampling-factor", "2x1", "-define", "jpeg:restart-interval=3"}, true},
        {{"-colorspace", "gray", "-define", "jpeg:restart-interval=1"}, true},
        {{"-resize", "2592x1944!", "-blur", "0x8", "-quality", "30"}, true},
        {{"-interlace", "JPEG"}, false},
    };
    for (const auto& c : cases) {
        const Bytes photo = encoded(dir, "examples.jpg", c.options);
        const auto walked = walkOf(photo, 1000);
        EXPECT_EQ(walked.ending, Ending::whole) << c.options.back();
        EXPECT_EQ(walked.end, photo.size()) << c.options.back();
        EXPECT_EQ(walked.decoded, c.decoded) << c.options.back();
        if (c.decoded) {
            EXPECT_EQ(walked.mcusDecoded, walked.mcusInScan);
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(shippedPhotos)) {
        if (entry.path().extension() != ".jpg") continue;
        const Bytes photo = test::readFile(entry.path());
        EXPECT_EQ(walkOf(photo).ending, Ending::whole) << entry.path();
    }
}

// A picture cut short, with another file written over its tail, or with random bytes in its middle, is no
// whole picture, and the walk says where it stopped.
TEST_F(JPEGScanWalkTest, PiecesAreCutOrBroken) {
    const Bytes photo = encoded(dir, "examples.jpg", {"-quality", "80"});
    const std::size_t half = photo.size() / 2;
    Bytes cut(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(half));
    EXPECT_EQ(walkOf(cut).ending, Ending::cut);
    EXPECT_LE(walkOf(cut).end, half);

    Bytes overwritten = cut;
    const Bytes other = test::readFile(shippedPhotos / "wizard.jpg");
    overwritten.insert(overwritten.end(), other.begin(), other.end());
    const auto atHeader = walkOf(overwritten);
    EXPECT_EQ(atHeader.ending, Ending::broken);
    EXPECT_LE(atHeader.end, half);
    EXPECT_LT(atHeader.mcusDecoded, atHeader.mcusInScan);

    Bytes noisy = photo;
    const Bytes noise = test::randomBytes(4096, 7);
    std::copy(noise.begin(), noise.end(), noisy.begin() + static_cast<std::ptrdiff_t>(half));
    const auto broken = walkOf(noisy);
    EXPECT_EQ(broken.ending, Ending::broken);
    EXPECT_GE(broken.end, half);

    // A header with nothing after it is cut; junk after SOI is never whole.
    Bytes header(photo.begin(), photo.begin() + 700);
    EXPECT_EQ(walkOf(header).ending, Ending::cut);
    for (const Bytes& junk : {Bytes{0xFF, 0xD8}, Bytes{0xFF, 0xD8, 0xFF, 0xD9}, test::randomBytes(5000, 3)})
        EXPECT_NE(walkOf(junk).ending, Ending::whole);
}

// The walk's lookahead tables decide as the decoding code by code does, to the byte where a walk stops: on
// real encodings (plain and detailed, restart markers, grey, each sampling, a thumbnail) whole, and on
// copies cut short, with a bit turned over, with random bytes over their data or with another picture's
// data in their middle.
TEST_F(JPEGScanWalkTest, TheLookaheadTablesDecideAsTheCodeByCodeDecoding) {
    const std::vector<std::string> recipes[] = {
        {"-resize", "2592x1944!", "-blur", "0x8", "-quality", "30"},
        {"-resize", "1600x1200!", "-blur", "0x3", "-quality", "50", "-sampling-factor", "4:2:0"},
        {"-resize", "1400x1050!", "+noise", "Gaussian", "-attenuate", "0.2", "-quality", "85"},
        {"-resize", "1280x960!", "-quality", "92", "-define", "jpeg:restart-interval=4"},
        {"-resize", "1024x768!", "-colorspace", "gray", "-quality", "60", "-sampling-factor", "4:4:4"},
        {"-resize", "800x600!", "-quality", "75", "-sampling-factor", "2x1", "-define", "jpeg:optimize-coding=false"},
        {"-resize", "160x120!", "-quality", "70"},  // too few blocks for the table of whole blocks
    };
    const Bytes other = test::readFile(shippedPhotos / "wizard.jpg");
    int serial = 0;
    for (const auto& recipe : recipes) {
        const Bytes photo = encoded(dir, "examples.jpg", recipe);
        const std::size_t data = photo.size() / 8;  // past the headers
        std::vector<Bytes> copies{photo};
        for (const std::size_t keep : {photo.size() / 3, photo.size() - 3, photo.size() - 1})
            copies.emplace_back(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(keep));
        const Bytes flips = test::randomBytes(32 * 4, static_cast<std::uint64_t>(++serial));
        for (std::size_t i = 0; i + 3 < flips.size(); i += 4) {
            Bytes flipped = photo;
            const std::size_t draw = std::size_t{flips[i]} << 16 | std::size_t{flips[i + 1]} << 8 | flips[i + 2];
            const std::size_t at = data + draw % (photo.size() - data - 2);
            flipped[at] ^= static_cast<std::uint8_t>(1u << (flips[i + 3] & 7));
            copies.push_back(std::move(flipped));
        }
        Bytes noisy = photo;
        const Bytes noise = test::randomBytes(512, static_cast<std::uint64_t>(100 + serial));
        std::copy(noise.begin(), noise.end(), noisy.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2));
        copies.push_back(std::move(noisy));
        Bytes spliced(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2));
        spliced.insert(spliced.end(), other.begin() + static_cast<std::ptrdiff_t>(other.size() / 2), other.end());
        copies.push_back(std::move(spliced));
        int whole = 0;
        for (std::size_t i = 0; i < copies.size(); ++i) {
            for (const std::size_t chunk : {std::size_t{1000}, std::size_t{1} << 20}) {
                const Bytes& copy = copies[i];
                const auto fast = JPEGScanWalk::walk(feedOver(copy, chunk), copy.size());
                const auto bySymbol = JPEGScanWalk::walkBySymbol(feedOver(copy, chunk), copy.size());
                EXPECT_EQ(fast, bySymbol) << recipe.back() << ", copy " << i << ", chunk " << chunk << ": "
                                          << static_cast<int>(fast.ending) << " at " << fast.end << " against "
                                          << static_cast<int>(bySymbol.ending) << " at " << bySymbol.end;
                whole += fast.ending == Ending::whole;
            }
        }
        // The copies are not all whole: the walks were compared where they stop too.
        EXPECT_EQ(walkOf(photo).ending, Ending::whole) << recipe.back();
        EXPECT_LT(whole, 2 * static_cast<int>(copies.size())) << recipe.back();
    }
}

// A device of sectors: the first piece of a photo, a gap of other bytes, the rest of the photo, more bytes.
struct Fragmented {
    Bytes device;
    std::uint64_t firstLength = 0;
    std::uint64_t secondStart = 0;
};

Fragmented split(const Bytes& photo, std::uint64_t firstLength, const Bytes& gap, const Bytes& after) {
    Fragmented f;
    f.firstLength = firstLength;
    f.device.assign(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(firstLength));
    f.device.insert(f.device.end(), gap.begin(), gap.end());
    f.secondStart = f.device.size();
    f.device.insert(f.device.end(), photo.begin() + static_cast<std::ptrdiff_t>(firstLength), photo.end());
    f.device.insert(f.device.end(), after.begin(), after.end());
    return f;
}

Bytes joined(const Bytes& device, const JPEGScanWalk::Joined& j) {
    Bytes out(device.begin(), device.begin() + static_cast<std::ptrdiff_t>(j.firstLength));
    out.insert(out.end(), device.begin() + static_cast<std::ptrdiff_t>(j.secondStart),
               device.begin() + static_cast<std::ptrdiff_t>(j.secondStart + j.secondLength));
    return out;
}

// The gap is another photo (whose header a carve finds and cuts the first piece at), one cluster of random
// bytes, or many clusters of another photo's data; the restart markers help where there are some.
TEST_F(JPEGScanWalkTest, ThePieceAfterAGapIsFoundWhereTheStreamDecodesOnToItsEnd) {
    const Bytes plain = encoded(dir, "examples.jpg", {"-quality", "75"});
    const Bytes restarts = encoded(dir, "examples.jpg", {"-quality", "60", "-define", "jpeg:restart-interval=2"});
    const Bytes other = encoded(dir, "configure.jpg", {"-quality", "90"});
    Bytes otherSectors = other;
    otherSectors.resize((other.size() + 511) / 512 * 512, 0);
    // The other photo's last cluster: its slack holds whole sectors of zeros, which decode as a flat patch.
    Bytes otherCluster = other;
    otherCluster.resize((other.size() + 1024 + 4095) / 4096 * 4096, 0);
    const Bytes cluster = test::randomBytes(4096, 11);
    const Bytes manyClusters = test::randomBytes(20 * 4096, 12);
    const Bytes zeros(8192, 0);
    const struct {
        const Bytes* photo;
        const Bytes* gap;
        bool cutAtHeader;
        const char* what;
    } cases[] = {
        {&plain, &otherSectors, true, "another photo in the gap"},
        {&plain, &otherCluster, true, "another photo and its cluster's slack"},
        {&plain, &cluster, false, "one cluster of random bytes"},
        {&restarts, &manyClusters, false, "many clusters, restart markers"},
        {&plain, &manyClusters, false, "many clusters"},
    };
    for (const auto& c : cases) {
        for (const std::uint64_t firstLength : {std::uint64_t{8192}, c.photo->size() / 2 / 4096 * 4096}) {
            const Fragmented f = split(*c.photo, firstLength, *c.gap, zeros);
            JPEGScanWalk::ContinuationSearch search;
            search.limit = f.device.size();
            search.firstLimit = c.cutAtHeader ? firstLength : f.device.size();
            const auto found = JPEGScanWalk::findContinuation(feedOver(f.device), search);
            ASSERT_TRUE(found) << c.what << " at " << firstLength;
            EXPECT_EQ(joined(f.device, *found), *c.photo) << c.what << " at " << firstLength;
            EXPECT_EQ(found->firstLength, firstLength) << c.what;
            EXPECT_EQ(found->secondStart, f.secondStart) << c.what;
        }
    }
}

TEST_F(JPEGScanWalkTest, NoContinuationWhenTheRestIsGoneOrThePictureIsWhole) {
    const Bytes photo = encoded(dir, "examples.jpg", {"-quality", "75"});
    Bytes lost(photo.begin(), photo.begin() + 16384);
    const Bytes noise = test::randomBytes(64 * 1024, 5);
    lost.insert(lost.end(), noise.begin(), noise.end());
    JPEGScanWalk::ContinuationSearch search;
    search.limit = search.firstLimit = lost.size();
    EXPECT_FALSE(JPEGScanWalk::findContinuation(feedOver(lost), search));
    search.limit = search.firstLimit = photo.size();
    EXPECT_FALSE(JPEGScanWalk::findContinuation(feedOver(photo), search));
}

} // namespace
} // namespace vantrel
