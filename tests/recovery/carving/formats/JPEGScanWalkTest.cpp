#include "recovery/carving/formats/JPEGScanWalk.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

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

// A grey baseline picture of `side` x `side` pixels written here, so that its blocks can be of any shape: an
// AC table with every run and size (the common codes of 2 to 5 bits, the rest of 12 and 16, past any
// lookahead), and per block one of the shapes a walk takes in other steps: runs of codes that end the block,
// coefficients up to the last (no end of block), runs of sixteen zeros up to it, the largest coefficients,
// the rare codes. A restart interval when asked.
Bytes pictureOfShapes(int side, std::uint64_t seed, int restartInterval = 0) {
    std::mt19937_64 random(seed);
    // The AC symbols by code length.
    constexpr int commonCount = 8;
    std::vector<std::uint8_t> acValues{0x00, 0x01, 0x02, 0xF0, 0x11, 0x03, 0x21, 0x0A};
    for (int run = 0; run < 16; ++run)
        for (int size = 1; size <= 10; ++size) {
            const auto symbol = static_cast<std::uint8_t>(run << 4 | size);
            if (std::find(acValues.begin(), acValues.begin() + commonCount, symbol) == acValues.begin() + commonCount)
                acValues.push_back(symbol);
        }
    const int acCounts[16] = {0, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, static_cast<int>(acValues.size()) - commonCount - 100};
    const int dcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    // Canonical codes (T.81 C.2).
    const auto codesOf = [](const int* counts, const std::vector<std::uint8_t>& values) {
        std::map<std::uint8_t, std::pair<std::uint32_t, int>> codes;
        std::uint32_t code = 0;
        std::size_t k = 0;
        for (int length = 1; length <= 16; ++length, code <<= 1)
            for (int i = 0; i < counts[length - 1]; ++i) codes[values[k++]] = {code++, length};
        return codes;
    };
    std::vector<std::uint8_t> dcValues(12);
    std::iota(dcValues.begin(), dcValues.end(), std::uint8_t{0});
    const auto dcCodes = codesOf(dcCounts, dcValues), acCodes = codesOf(acCounts, acValues);

    Bytes out{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    for (int i = 0; i < 64; ++i) out.push_back(static_cast<std::uint8_t>(1 + i));
    const auto be16 = [&](int value) {
        out.push_back(static_cast<std::uint8_t>(value >> 8));
        out.push_back(static_cast<std::uint8_t>(value));
    };
    out.insert(out.end(), {0xFF, 0xC0});
    be16(11);
    out.push_back(8);
    be16(side);
    be16(side);
    out.insert(out.end(), {1, 1, 0x11, 0});
    for (const auto& [tableClass, counts, values] :
         {std::tuple{0x00, dcCounts, &dcValues}, std::tuple{0x10, acCounts, &acValues}}) {
        out.insert(out.end(), {0xFF, 0xC4});
        be16(2 + 1 + 16 + static_cast<int>(values->size()));
        out.push_back(static_cast<std::uint8_t>(tableClass));
        for (int i = 0; i < 16; ++i) out.push_back(static_cast<std::uint8_t>(counts[i]));
        out.insert(out.end(), values->begin(), values->end());
    }
    if (restartInterval != 0) {
        out.insert(out.end(), {0xFF, 0xDD, 0x00, 0x04});
        be16(restartInterval);
    }
    out.insert(out.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0});

    std::uint64_t bitBuffer = 0;
    int bitCount = 0;
    const auto put = [&](std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) {
            bitBuffer = bitBuffer << 1 | ((value >> i) & 1);
            if (++bitCount == 8) {
                out.push_back(static_cast<std::uint8_t>(bitBuffer));
                if (out.back() == 0xFF) out.push_back(0x00);
                bitCount = 0;
            }
        }
    };
    const auto symbolOf = [&](const std::map<std::uint8_t, std::pair<std::uint32_t, int>>& codes, int symbol, int size) {
        const auto [code, length] = codes.at(static_cast<std::uint8_t>(symbol));
        put(code, length);
        if (size > 0) put(static_cast<std::uint32_t>(random() % (1u << size)), size);
    };
    const int blocks = (side / 8) * (side / 8);
    int predictor = 0;
    for (int b = 0; b < blocks; ++b) {
        if (restartInterval != 0 && b != 0 && b % restartInterval == 0) {
            if (bitCount != 0) put((1u << (8 - bitCount)) - 1, 8 - bitCount);
            out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(0xD0 + (b / restartInterval - 1) % 8)});
            predictor = 0;
        }
        int diff = static_cast<int>(random() % 201) - 100;
        if (std::abs(predictor + diff) > 2000) diff = -diff;
        predictor += diff;
        int category = 0;
        while ((std::abs(diff) >> category) != 0) ++category;
        symbolOf(dcCodes, category, 0);
        if (category > 0) put(static_cast<std::uint32_t>(diff > 0 ? diff : diff + (1 << category) - 1), category);
        int k = 1;  // the next coefficient
        const auto shape = random() % 8;
        const auto coefficient = [&](int run, int size) {
            symbolOf(acCodes, run << 4 | size, size);
            k += run + 1;
        };
        if (shape == 0) {
            while (k < 64) coefficient(0, 1 + static_cast<int>(random() % 2));  // up to the last: no end of block
            continue;
        }
        if (shape == 1) {
            while (k + 16 <= 63) symbolOf(acCodes, 0xF0, 0), k += 16;  // runs of zeros, then the last one
            coefficient(63 - k, 1);
            continue;
        }
        const int count = static_cast<int>(random() % 12);
        for (int c = 0; c < count; ++c) {
            const int run = shape == 2 ? static_cast<int>(random() % 16) : static_cast<int>(random() % 3);
            const int size = shape == 3 ? 10 : shape == 2 ? 1 + static_cast<int>(random() % 10) : 1 + static_cast<int>(random() % 2);
            if (k + run > 63) break;
            if (acCodes.count(static_cast<std::uint8_t>(run << 4 | size)) == 0) continue;
            coefficient(run, size);
        }
        if (k < 64) symbolOf(acCodes, 0x00, 0);
    }
    if (bitCount != 0) put((1u << (8 - bitCount)) - 1, 8 - bitCount);
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

// Blocks of every shape, whole and damaged, fed in chunks of any size, are decided by the walk as by the
// decoding code by code, to the byte where it stops; each picture is walked twice, as its tables are met
// again and their lookahead tables are made.
TEST(JPEGScanWalkShapes, EveryBlockShapeIsDecidedAsCodeByCode) {
    const struct {
        int side;
        int restartInterval;
    } cases[] = {{512, 0}, {512, 7}, {96, 0}, {64, 1}, {800, 64}};
    std::uint64_t seed = 0;
    for (const auto& c : cases) {
        const Bytes picture = pictureOfShapes(c.side, ++seed, c.restartInterval);
        std::vector<Bytes> copies{picture};
        for (const std::size_t keep : {picture.size() / 2, picture.size() - 2, picture.size() - 9})
            copies.emplace_back(picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(keep));
        const Bytes draws = test::randomBytes(24 * 4, 40 + seed);
        for (std::size_t i = 0; i + 3 < draws.size(); i += 4) {
            Bytes damaged = picture;
            const std::size_t at = 400 + (std::size_t{draws[i]} << 8 | draws[i + 1]) % (picture.size() - 402);
            if (draws[i + 3] % 3 == 0) damaged.erase(damaged.begin() + static_cast<std::ptrdiff_t>(at), damaged.begin() + static_cast<std::ptrdiff_t>(at + 1 + draws[i + 2] % 3));
            else damaged[at] ^= static_cast<std::uint8_t>(1u << (draws[i + 2] & 7));
            copies.push_back(std::move(damaged));
        }
        int whole = 0;
        for (std::size_t i = 0; i < copies.size(); ++i) {
            for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{1} << 24}) {
                const Bytes& copy = copies[i];
                const auto bySymbol = JPEGScanWalk::walkBySymbol(feedOver(copy, chunk), copy.size());
                for (int again = 0; again < 2; ++again) {
                    const auto fast = JPEGScanWalk::walk(feedOver(copy, chunk), copy.size());
                    EXPECT_EQ(fast, bySymbol) << c.side << "/" << c.restartInterval << ", copy " << i << ", chunk " << chunk
                                              << ": " << static_cast<int>(fast.ending) << " at " << fast.end << " against "
                                              << static_cast<int>(bySymbol.ending) << " at " << bySymbol.end;
                }
                whole += bySymbol.ending == Ending::whole;
            }
        }
        EXPECT_EQ(walkOf(picture).ending, Ending::whole) << c.side << "/" << c.restartInterval;
        EXPECT_EQ(walkOf(picture).mcusDecoded, static_cast<std::uint64_t>(c.side / 8) * static_cast<std::uint64_t>(c.side / 8));
        EXPECT_LT(whole, 4 * static_cast<int>(copies.size()) - 4);
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
// Photos as encoders of other programs made them (the desktop backgrounds of Debian's mate-backgrounds and
// the pictures of imagemagick-6-doc), whole, cut short and with a bit flipped in their data, are decided
// by the walk as by the decoding code by code; each is walked twice, so that the second walk takes the
// lookahead tables its first one made.
TEST(JPEGScanWalkPhotos, ShippedPhotosAreDecidedAsCodeByCode) {
    std::vector<std::filesystem::path> photos;
    for (const char* folder : {"/usr/share/backgrounds/mate/nature", "/usr/share/doc/imagemagick-6-common/html/images"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            // Icons and thumbnails among them hold too little entropy-coded data to tell the two walks apart.
            const std::string extension = entry.path().extension().string();
            if ((extension == ".jpg" || extension == ".jpeg") && entry.file_size(error) > 16384 && !error)
                photos.push_back(entry.path());
        }
    }
    std::sort(photos.begin(), photos.end());
    if (photos.size() > 8) photos.resize(8);
    if (photos.empty()) GTEST_SKIP() << "mate-backgrounds or imagemagick-6-doc is needed";
    std::uint64_t seed = 0;
    for (const auto& path : photos) {
        const Bytes photo = test::readFile(path);
        std::vector<Bytes> copies{photo, Bytes(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2))};
        const Bytes draws = test::randomBytes(4 * 4, ++seed);
        for (std::size_t i = 0; i + 3 < draws.size(); i += 4) {
            Bytes flipped = photo;
            const std::size_t draw = std::size_t{draws[i]} << 16 | std::size_t{draws[i + 1]} << 8 | draws[i + 2];
            flipped[photo.size() / 8 + draw % (photo.size() - photo.size() / 8 - 2)] ^= static_cast<std::uint8_t>(1u << (draws[i + 3] & 7));
            copies.push_back(std::move(flipped));
        }
        for (std::size_t i = 0; i < copies.size(); ++i) {
            const Bytes& copy = copies[i];
            const auto bySymbol = JPEGScanWalk::walkBySymbol(feedOver(copy, 4096), copy.size());
            for (int again = 0; again < 2; ++again)
                EXPECT_EQ(JPEGScanWalk::walk(feedOver(copy, 4096), copy.size()), bySymbol) << path << ", copy " << i;
        }
        const auto whole = walkOf(photo);
        EXPECT_EQ(whole.ending, Ending::whole) << path;
        EXPECT_LE(whole.end, photo.size()) << path;
    }
}

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
