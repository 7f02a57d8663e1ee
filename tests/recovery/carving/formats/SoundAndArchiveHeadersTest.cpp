// The FLAC stream header and ZIP local header checks, on crafted headers, on files that ffmpeg
// and zip make at test time, and on the archives Debian ships; chance bytes fail them.
#include "recovery/carving/formats/FLACStreamInfo.h"
#include "recovery/carving/formats/ZipLocalHeader.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace vantrel {
namespace {

using test::runOrFail;

// "fLaC", a last STREAMINFO block of 34 bytes: 4096-sample blocks, frame sizes unknown, 44.1 kHz,
// stereo, 16 bits.
Bytes flacHeader() {
    Bytes out{'f', 'L', 'a', 'C', 0x80, 0, 0, 34, 0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
    // 44100 Hz (20 bits), channels - 1 = 1 (3 bits), bits - 1 = 15 (5 bits), total samples high nibble 0.
    const std::uint32_t packed = (44100u << 12) | (1u << 9) | (15u << 4);
    for (const int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(packed >> shift));
    out.resize(FLACStreamInfo::headerBytes, 0x5A);
    return out;
}

// A local header of a deflated file with the given name.
Bytes zipHeader(const std::string& name, std::uint8_t version = 20, std::uint16_t method = 8) {
    Bytes out{'P', 'K', 3, 4, version, 0, 0, 0, static_cast<std::uint8_t>(method), static_cast<std::uint8_t>(method >> 8)};
    out.resize(26, 0x11);
    out.push_back(static_cast<std::uint8_t>(name.size()));
    out.push_back(static_cast<std::uint8_t>(name.size() >> 8));
    out.push_back(0);
    out.push_back(0);
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

TEST(FLACStreamInfo, OnlyASaneStreamInfoBlockOpensAStream) {
    EXPECT_TRUE(FLACStreamInfo::looksValid(flacHeader()));
    const Bytes whole = flacHeader();
    EXPECT_FALSE(FLACStreamInfo::looksValid(ByteView(whole).first(FLACStreamInfo::headerBytes - 1)));
    // Field by field: block type, block length (0 in the chance hits of a gzip file), block sizes, frame
    // sizes, sample rate, bits per sample.
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> broken{
        {"type", [](Bytes& b) { b[4] = 0x81; }},
        {"length 0", [](Bytes& b) { b[7] = 0; }},
        {"length 33", [](Bytes& b) { b[7] = 33; }},
        {"minimum block 15", [](Bytes& b) { b[8] = 0, b[9] = 15; }},
        {"maximum below minimum", [](Bytes& b) { b[10] = 0x0F; }},
        {"minimum frame above maximum", [](Bytes& b) { b[14] = 9, b[17] = 1; }},
        {"sample rate 0", [](Bytes& b) { b[18] = 0, b[19] = 0, b[20] &= 0x0F; }},
        {"2 bits a sample", [](Bytes& b) { b[21] = static_cast<std::uint8_t>((b[21] & 0x0F) | 0x10), b[20] &= 0xFE; }},
    };
    for (const auto& [what, spoil] : broken) {
        Bytes header = flacHeader();
        spoil(header);
        EXPECT_FALSE(FLACStreamInfo::looksValid(header)) << what;
    }
    Bytes notLast = flacHeader();
    notLast[4] = 0x00;
    EXPECT_TRUE(FLACStreamInfo::looksValid(notLast)) << "more metadata blocks may follow";
}

TEST(ZipLocalHeader, OnlyAKnownVersionMethodAndAPrintableNameOpenAnArchive) {
    EXPECT_TRUE(ZipLocalHeader::looksValid(zipHeader("DCIM/notes.txt")));
    EXPECT_TRUE(ZipLocalHeader::looksValid(zipHeader("Fotos/Gr\xC3\xBC\xC3\x9F" "e.jpg", 63, 0)));
    EXPECT_TRUE(ZipLocalHeader::looksValid(zipHeader("[Content_Types].xml", 10, 99)));
    EXPECT_EQ(ZipLocalHeader::bytesWithName(zipHeader("abc")), ZipLocalHeader::fixedBytes + 3);
    const Bytes cut = zipHeader("DCIM/notes.txt");
    EXPECT_FALSE(ZipLocalHeader::looksValid(ByteView(cut).first(cut.size() - 1)));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader("x", 64)));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader("x", 20, 11)));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader("x", 20, 100)));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader("")));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader(std::string("a\x01z"))));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader("bad\xC3(utf8")));
    EXPECT_FALSE(ZipLocalHeader::looksValid(zipHeader(std::string(ZipLocalHeader::maxNameBytes + 1, 'a'))));
    Bytes host = zipHeader("x");
    host[5] = 20;
    EXPECT_FALSE(ZipLocalHeader::looksValid(host));
}

// Chance headers in random bytes: 100,000 of each with random bytes after them, none passes.
TEST(SoundAndArchiveHeaders, ChanceHeadersInRandomBytesFail) {
    const Bytes noise = test::randomBytes(100'000 * 64 + 64, 29);
    int passed = 0;
    for (std::size_t i = 0; i < 100'000; ++i) {
        Bytes flac(noise.begin() + static_cast<std::ptrdiff_t>(64 * i), noise.begin() + static_cast<std::ptrdiff_t>(64 * i + 64));
        Bytes zip = flac;
        std::copy_n("fLaC", 4, flac.begin());
        std::copy_n("PK\x03\x04", 4, zip.begin());
        passed += FLACStreamInfo::looksValid(flac) ? 1 : 0;
        passed += ZipLocalHeader::looksValid(zip) ? 1 : 0;
    }
    EXPECT_EQ(passed, 0);
}

TEST(SoundAndArchiveHeaders, RealStreamsAndArchivesPass) {
    for (const char* program : {"ffmpeg", "zip", "env"})
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
    const test::TempDir dir;
    auto path = [&](const std::string& name) { return (dir / name).string(); };
    int checked = 0;
    for (const std::string format : {"s16", "s32"})
        for (const std::string rate : {"8000", "44100", "96000"}) {
            const std::string name = format + rate + ".flac";
            runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.2", "-ar", rate, "-sample_fmt",
                       format, "-y", path(name)});
            EXPECT_TRUE(FLACStreamInfo::looksValid(test::readFile(dir / name))) << name;
            ++checked;
        }
    test::writeFile(dir / "notes.txt", test::randomBytes(5000, 3));
    runOrFail({"env", "-C", dir.path().string(), "zip", "-q", "-X", path("deflated.zip"), "notes.txt"});
    runOrFail({"env", "-C", dir.path().string(), "zip", "-q", "-X", "-0", path("stored.zip"), "notes.txt"});
    for (const std::string name : {"deflated.zip", "stored.zip"}) {
        EXPECT_TRUE(ZipLocalHeader::looksValid(test::readFile(dir / name))) << name;
        ++checked;
    }
    // The wheels Debian ships (python3-pip-whl): archives from another writer.
    const std::filesystem::path wheels = "/usr/share/python-wheels";
    if (std::filesystem::is_directory(wheels))
        for (const auto& entry : std::filesystem::directory_iterator(wheels)) {
            EXPECT_TRUE(ZipLocalHeader::looksValid(test::readFile(entry.path()))) << entry.path();
            ++checked;
        }
    EXPECT_GE(checked, 8);
}

} // namespace
} // namespace vantrel
