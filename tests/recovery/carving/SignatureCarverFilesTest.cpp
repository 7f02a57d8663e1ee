// The carver over a device image holding real files made by the usual Debian tools at test time: each comes
// back with its kind, offset, length and picture size, also beside live files. Skipped when a tool is missing.
#include "recovery/carving/SignatureCarver.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/ReferenceSignatureSearch.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel {
namespace {

using K = RecoveredFileKind;
using test::runOrFail;

struct Placed {
    std::string name;
    K kind;
    std::optional<ImageDimensions> dimensions;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class SignatureCarverFiles : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"convert", "cjpeg", "ffmpeg", "zip", "env"})
            if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
    }
    std::string path(const std::string& name) const { return (m_dir / name).string(); }

    // Makes the files: a picture in the usual formats, a short video in two containers, a sound and
    // a word-processing package.
    std::vector<Placed> makeFiles() {
        runOrFail({"convert", "-seed", "7", "-size", "640x480", "plasma:", "-type", "TrueColor", "-depth", "8",
                   path("p.ppm")});
        runOrFail({"cjpeg", "-quality", "90", "-outfile", path("p.jpg"), path("p.ppm")});
        runOrFail({"convert", path("p.ppm"), "PNG24:" + path("p.png")});
        runOrFail({"convert", path("p.ppm"), path("p.gif")});
        runOrFail({"convert", path("p.ppm"), "BMP3:" + path("p.bmp")});
        runOrFail({"convert", path("p.ppm"), "-compress", "none", path("p.tif")});
        runOrFail({"convert", path("p.ppm"), path("p.webp")});
        for (const char* name : {"v.mp4", "v.mov"})
            runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:duration=0.5", "-y",
                       path(name)});
        runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.3", "-y", path("s.wav")});
        const test::TempDir parts;
        std::filesystem::create_directories(parts.path() / "word");
        const std::string xml = "<?xml version=\"1.0\"?><w:document>" + std::string(3000, 'x') + "</w:document>";
        test::writeFile(parts / "[Content_Types].xml", Bytes(xml.begin(), xml.end()));
        test::writeFile(parts / "word/document.xml", Bytes(xml.begin(), xml.end()));
        runOrFail({"env", "-C", parts.path().string(), "zip", "-q", "-X", path("d.docx"), "[Content_Types].xml",
                   "word/document.xml"});
        const ImageDimensions picture{640, 480};
        return {{"p.jpg", K::jpeg, picture}, {"p.png", K::png, picture}, {"p.gif", K::gif, picture},
                {"p.bmp", K::bmp, picture},  {"p.tif", K::tiff, picture}, {"p.webp", K::webp, std::nullopt},
                {"v.mp4", K::mp4, std::nullopt}, {"v.mov", K::mov, std::nullopt}, {"s.wav", K::wav, std::nullopt},
                {"d.docx", K::docx, std::nullopt}};
    }

    test::TempDir m_dir;
};

TEST_F(SignatureCarverFiles, FindsEachFileWithItsKindLengthAndSize) {
    std::vector<Placed> files = makeFiles();
    // The files lie on 4 KiB boundaries with zeroed space between them; a second copy of the first three
    // lies inside a live file and must not be reported.
    Bytes device;
    AllocatedRegionMap live;
    auto place = [&](const Bytes& bytes) {
        const std::uint64_t at = (device.size() + 8191) / 4096 * 4096;
        device.resize(at, 0);
        device.insert(device.end(), bytes.begin(), bytes.end());
        return at;
    };
    for (Placed& file : files) {
        const Bytes bytes = test::readFile(m_dir / file.name);
        file.length = bytes.size();
        file.offset = place(bytes);
    }
    const std::uint64_t liveStart = (device.size() + 4095) / 4096 * 4096;
    for (std::size_t i = 0; i < 3; ++i) place(test::readFile(m_dir / files[i].name));
    live.add(liveStart, device.size() - liveStart);
    device.resize(device.size() + 100'000, 0);

    RecoveryFilters filters;
    filters.allowedKinds = RecoveredFileKindSet(FileKind::allKinds().begin(), FileKind::allKinds().end());
    test::ScriptedByteSource source{device};
    std::vector<RecoveredHit> hits;
    // Small windows, so that most files cross a window's end.
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512, 16 * 1024);
    carver.carve(source, filters, live, [] { return false; }, [](const ScanProgress&) {},
                 [&](const RecoveredHit& hit) { hits.push_back(hit); });

    for (const Placed& file : files) {
        const auto found = std::find_if(hits.begin(), hits.end(),
                                        [&](const RecoveredHit& hit) { return hit.byteOffset == file.offset; });
        ASSERT_NE(found, hits.end()) << file.name << " not found";
        EXPECT_EQ(found->kind, file.kind) << file.name;
        EXPECT_EQ(found->byteLength, file.length) << file.name;
        EXPECT_EQ(found->dimensions, file.dimensions) << file.name;
    }
    // The one-pass search agrees with the plain one on real files too.
    SignatureScanIndex index(SignatureCatalog::carveMVP(), filters.allowedKinds);
    test::expectSameAsReference(index, device, "device of real files");

    for (const RecoveredHit& hit : hits) {
        EXPECT_FALSE(live.overlaps(hit.byteOffset, hit.byteLength)) << hit.suggestedName << " lies in a live file";
        EXPECT_LT(hit.byteOffset, liveStart);
    }
}

TEST(SignatureCarverSoundFiles, OggAndMP3FilesComeBackWholeAndOnce) {
    for (const char* program : {"ffmpeg", "oggenc", "lame"})
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
    const test::TempDir dir;
    auto path = [&](const std::string& name) { return (dir / name).string(); };
    runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=500:duration=3", "-y", path("a.wav")});
    runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "anoisesrc=duration=2:amplitude=0.3", "-y", path("b.wav")});
    runOrFail({"oggenc", "-Q", "-o", path("a.ogg"), path("a.wav")});
    runOrFail({"oggenc", "-Q", "-o", path("b.ogg"), path("b.wav")});
    runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:duration=4", "-i", path("a.wav"),
               "-c:v", "libtheora", "-c:a", "libvorbis", "-shortest", "-y", path("av.ogv")});
    runOrFail({"lame", "--quiet", "--tt", "Tone", "--add-id3v2", path("a.wav"), path("v23v1.mp3")});
    runOrFail({"ffmpeg", "-v", "error", "-i", path("b.wav"), "-metadata", "title=Noise", "-y", path("v24.mp3")});

    // Two sounds back to back, then a video that crosses the first window's end, then the MP3s.
    std::vector<Placed> files;
    Bytes device(4096, 0);
    auto place = [&](const std::string& name, K kind, std::uint64_t at) {
        const Bytes bytes = test::readFile(dir / name);
        ASSERT_GE(at, device.size());
        device.resize(at, 0);
        device.insert(device.end(), bytes.begin(), bytes.end());
        files.push_back({name, kind, std::nullopt, at, bytes.size()});
    };
    const std::uint64_t window = static_cast<std::uint64_t>(SignatureCarver::defaultWindowBytes);
    place("a.ogg", K::ogg, device.size());
    place("b.ogg", K::ogg, device.size());
    place("av.ogv", K::ogg, window - 40 * 1024);
    place("v23v1.mp3", K::mp3, (device.size() + 4095) / 4096 * 4096);
    place("v24.mp3", K::mp3, (device.size() + 4095) / 4096 * 4096);
    if (HasFatalFailure()) return;
    ASSERT_GT(files[2].offset + files[2].length, window);
    device.resize(device.size() + 3 * 1024 * 1024, 0);

    RecoveryFilters filters;
    filters.allowedKinds = RecoveredFileKindSet{K::ogg, K::mp3};
    test::ScriptedByteSource source{device};
    std::vector<RecoveredHit> hits;
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512);
    carver.carve(source, filters, AllocatedRegionMap{}, [] { return false; }, [](const ScanProgress&) {},
                 [&](const RecoveredHit& hit) { hits.push_back(hit); });

    ASSERT_EQ(hits.size(), files.size());
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.byteOffset < b.byteOffset; });
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(hits[i].byteOffset, files[i].offset) << files[i].name;
        EXPECT_EQ(hits[i].kind, files[i].kind) << files[i].name;
        EXPECT_EQ(hits[i].byteLength, files[i].length) << files[i].name;
    }
}

} // namespace
} // namespace vantrel
