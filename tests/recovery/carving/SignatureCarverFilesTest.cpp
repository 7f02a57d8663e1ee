// The carver over a device image holding real files made by the usual Debian tools at test time: each comes
// back with its kind, offset, length and picture size, also beside live files. Skipped when a tool is missing.
#include "recovery/carving/SignatureCarver.h"

#include "recovery/carving/SignatureCatalog.h"
#include "tests/fixtures/ReferenceSignatureSearch.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace vantrel {
namespace {

using K = RecoveredFileKind;
using test::runOrFail;

RecoveredFileKindSet everyKind() { return RecoveredFileKindSet(FileKind::allKinds().begin(), FileKind::allKinds().end()); }

// The hits of a carve of the device, in the order found: the kinds given, the live regions passed over,
// in windows of windowBytes.
std::vector<RecoveredHit> carved(const Bytes& device, const RecoveredFileKindSet& kinds, const AllocatedRegionMap& live = {},
                                 std::int64_t windowBytes = SignatureCarver::defaultWindowBytes) {
    RecoveryFilters filters;
    filters.allowedKinds = kinds;
    test::ScriptedByteSource source{device};
    std::vector<RecoveredHit> hits;
    SignatureCarver(SignatureCatalog::carveMVP(), 512, windowBytes)
        .carve(source, filters, live, [] { return false; }, [](const ScanProgress&) {},
               [&](const RecoveredHit& hit) { hits.push_back(hit); });
    return hits;
}

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

    // Small windows, so that most files cross a window's end.
    const std::vector<RecoveredHit> hits = carved(device, everyKind(), live, 16 * 1024);

    for (const Placed& file : files) {
        const auto found = std::find_if(hits.begin(), hits.end(),
                                        [&](const RecoveredHit& hit) { return hit.byteOffset == file.offset; });
        ASSERT_NE(found, hits.end()) << file.name << " not found";
        EXPECT_EQ(found->kind, file.kind) << file.name;
        EXPECT_EQ(found->byteLength, file.length) << file.name;
        EXPECT_EQ(found->dimensions, file.dimensions) << file.name;
    }
    // The one-pass search agrees with the plain one on real files too.
    SignatureScanIndex index(SignatureCatalog::carveMVP(), everyKind());
    test::expectSameAsReference(index, device, "device of real files");

    for (const RecoveredHit& hit : hits) {
        EXPECT_FALSE(live.overlaps(hit.byteOffset, hit.byteLength)) << hit.suggestedName << " lies in a live file";
        EXPECT_LT(hit.byteOffset, liveStart);
    }
}

// ---- Deleted files right after live ones, wherever the live files end against the windows ----

// What the carve of a device without live files gives, less what lies in the live files: the hits of a
// carve that is told about them (a guessed length stops where the next live file begins).
std::vector<RecoveredHit> outsideLive(std::vector<RecoveredHit> hits, const AllocatedRegionMap& live) {
    std::erase_if(hits, [&](const RecoveredHit& hit) {
        return hit.isFragmented ? live.overlaps(hit.byteOffset, 1) : live.overlaps(hit.byteOffset, hit.byteLength);
    });
    for (RecoveredHit& hit : hits)
        if (hit.isFragmented) hit.byteLength = std::min(hit.byteLength, live.nextRangeStart(hit.byteOffset) - hit.byteOffset);
    return hits;
}

TEST(SignatureCarverLiveFiles, FindsDeletedFilesRightAfterLiveOnesWhereverTheLiveFilesEnd) {
    // Real pictures and documents that Debian ships: live files, each ending at a chosen distance from the
    // start of a window (inside the bytes two windows share, at their edges, just before a window's end),
    // each followed by a deleted file from 0 to 64 bytes on. Some live files end in header bytes that make
    // no file. The carve told about the live files finds what a carve over the same bytes without them
    // finds outside them, and every deleted file.
    const std::filesystem::path images = "/usr/share/doc/imagemagick-6-common/html/images";
    const std::filesystem::path pdf = "/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf";
    std::vector<Bytes> liveFiles, deletedFiles;
    for (const char* name : {"wizard.jpg", "arc.png", "bluebells_lin.jpg"})
        if (std::filesystem::exists(images / name)) liveFiles.push_back(test::readFile(images / name));
    for (const char* name : {"atop.gif", "wizard.jpg", "arc.png", "label.gif", "bluebells_lin.jpg"})
        if (std::filesystem::exists(images / name)) deletedFiles.push_back(test::readFile(images / name));
    if (std::filesystem::exists(pdf)) deletedFiles.push_back(test::readFile(pdf));
    if (liveFiles.size() < 3 || deletedFiles.size() < 6) GTEST_SKIP() << "imagemagick-6-doc or libimage-exiftool-perl is not installed";
    // A document whose length is a guess, its header cut by the start of the live space: from 1 to 5 bytes
    // of it lie in free space. Header bytes that make no file: a TIFF whose first directory lies past 1 MiB, a BMP of 4 GiB.
    const Bytes noTiff{'I', 'I', 0x2A, 0x00, 0xFF, 0xFF, 0xFF, 0x7F};
    const Bytes noBitmap{'B', 'M', 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes documentHeader{'{', '\\', 'r', 't', 'f', '1'};

    constexpr std::int64_t window = 64 * 1024;
    constexpr std::uint64_t step = window - SignatureCarver::windowOverlapBytes;
    Bytes device(1000, 0);
    AllocatedRegionMap live;
    std::vector<std::uint64_t> deletedAt;
    std::size_t n = 0;
    for (const std::uint64_t endInWindow : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{40}, std::uint64_t{63},
                                            std::uint64_t{64}, std::uint64_t{65}, step - 9, step - 1}) {
        for (const std::uint64_t gap : {0, 1, 7, 63, 64}) {
            Bytes liveFile = liveFiles[n % liveFiles.size()];
            if (n % 3 == 1) liveFile.insert(liveFile.end(), noTiff.begin(), noTiff.end());
            if (n % 3 == 2) liveFile.insert(liveFile.end(), noBitmap.begin(), noBitmap.end());
            const auto cut = static_cast<std::ptrdiff_t>(n % documentHeader.size());
            liveFile.insert(liveFile.begin(), documentHeader.begin() + cut, documentHeader.end());
            const Bytes& deleted = deletedFiles[n % deletedFiles.size()];
            ++n;
            // The live file ends at the first offset past what is placed that lies endInWindow into a window.
            std::uint64_t end = device.size() + 4096 + liveFile.size();
            end += (endInWindow + step - end % step) % step;
            device.resize(end - liveFile.size(), 0);
            device.insert(device.end(), liveFile.begin(), liveFile.end());
            live.add(end - liveFile.size(), liveFile.size());
            std::copy(documentHeader.begin(), documentHeader.begin() + cut, device.end() - static_cast<std::ptrdiff_t>(liveFile.size()) - cut);
            device.resize(end + gap, 0);
            deletedAt.push_back(device.size());
            device.insert(device.end(), deleted.begin(), deleted.end());
        }
    }
    {
        // A live file ends in a whole bitmap header (a picture of 1 by 1 pixel whose 58 bytes run past the
        // live file) inside the bytes two windows share, and a deleted picture follows 4 bytes on. Both
        // headers are met in both windows, as in a carve that is not told about the live file.
        Bytes liveFile = liveFiles[0];
        const Bytes bitmap{'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0};
        liveFile.insert(liveFile.end(), bitmap.begin(), bitmap.end());
        liveFile.resize(liveFile.size() + 54 - bitmap.size(), 0);
        std::uint64_t end = device.size() + 4096 + liveFile.size();
        end += (54 + step - end % step) % step;
        device.resize(end - liveFile.size(), 0);
        device.insert(device.end(), liveFile.begin(), liveFile.end());
        live.add(end - liveFile.size(), liveFile.size());
        device.resize(end + 4, 0);
        deletedAt.push_back(device.size());
        device.insert(device.end(), deletedFiles[0].begin(), deletedFiles[0].end());
    }
    device.resize(device.size() + 10'000, 0);

    const std::vector<RecoveredHit> told = carved(device, everyKind(), live, window);
    const std::vector<RecoveredHit> expected = outsideLive(carved(device, everyKind(), {}, window), live);
    auto facts = [](const std::vector<RecoveredHit>& hits) {
        std::vector<std::tuple<std::uint64_t, RecoveredFileKind, std::uint64_t, std::optional<ImageDimensions>>> out;
        for (const RecoveredHit& hit : hits) out.emplace_back(hit.byteOffset, hit.kind, hit.byteLength, hit.dimensions);
        return out;
    };
    EXPECT_EQ(facts(told), facts(expected));
    for (const std::uint64_t at : deletedAt)
        EXPECT_TRUE(std::any_of(told.begin(), told.end(), [&](const RecoveredHit& hit) { return hit.byteOffset == at; }))
            << "the deleted file at " << at << " (" << at % step << " into a window) is lost";
}

TEST(SignatureCarverFoundFiles, TakesTheFilesOnSectorBoundariesInsideAFoundFileInTheWindowsAfterIt) {
    // A deleted document that Debian ships, over several windows, partly overwritten by newer files: a photo
    // and a movie on sector boundaries (each a file of its own), a picture off them (a part of the document).
    // A picture follows the document 3 bytes after its end.
    const std::filesystem::path images = "/usr/share/doc/imagemagick-6-common/html/images";
    const std::filesystem::path pdfPath = "/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf";
    for (const auto& path : {images / "wizard.jpg", images / "arc.png", images / "atop.gif", pdfPath})
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const Bytes pdf = test::readFile(pdfPath), photo = test::readFile(images / "wizard.jpg");
    const Bytes picture = test::readFile(images / "arc.png"), after = test::readFile(images / "atop.gif");
    const Bytes movie = test::SampleContent::isoMedia("isom", 9000, 3);
    constexpr std::uint64_t pdfAt = 4096, photoAt = 140 * 512, pictureAt = 104'097, movieAt = 224 * 512;
    ASSERT_GT(pdf.size(), movieAt + movie.size() - pdfAt + 100);
    Bytes device(pdfAt, 0);
    device.insert(device.end(), pdf.begin(), pdf.end());
    for (const auto& [at, bytes] : {std::pair{photoAt, &photo}, {pictureAt, &picture}, {movieAt, &movie}})
        std::copy(bytes->begin(), bytes->end(), device.begin() + static_cast<std::ptrdiff_t>(at));
    const std::uint64_t afterAt = device.size() + 3;
    device.resize(afterAt, 0);
    device.insert(device.end(), after.begin(), after.end());
    device.resize(device.size() + 5000, 0);

    for (const std::int64_t window : {std::int64_t{64 * 1024}, std::int64_t{16 * 1024}, std::int64_t{4096 + 64}}) {
        std::vector<std::tuple<std::uint64_t, RecoveredFileKind, std::uint64_t>> found;
        for (const RecoveredHit& hit : carved(device, everyKind(), {}, window))
            if (found.empty() || std::get<0>(found.back()) != hit.byteOffset)  // a repeat in shared bytes
                found.emplace_back(hit.byteOffset, hit.kind, hit.byteLength);
        EXPECT_EQ(found, (std::vector<std::tuple<std::uint64_t, RecoveredFileKind, std::uint64_t>>{
                             {pdfAt, K::pdf, pdf.size()},
                             {photoAt, K::jpeg, photo.size()},
                             {movieAt, K::mp4, movie.size()},
                             {afterAt, K::gif, after.size()}}))
            << "window " << window;
    }
}

TEST(SignatureCarverFoundFiles, TakesEveryFileRightAfterAFoundFileAndOnlyTheSectorStartsInsideIt) {
    // Real pictures and a document that Debian ships, and a movie, packed as on a full card: each file begins
    // 0 to 513 bytes after the one before ends, whatever its kind (a movie is found by the type 4 bytes into
    // its first box). Newer files lie over parts of older ones: on sector boundaries they are files of their
    // own (a movie box inside a photo, a photo inside the document), off them they are parts of the older
    // file, except inside a file whose length is a guess. Each file comes back once with its length, and
    // nothing else does, at every window size (files inside one window and across windows' ends).
    const std::filesystem::path images = "/usr/share/doc/imagemagick-6-common/html/images";
    const std::filesystem::path pdfPath = "/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf";
    for (const auto& path : {images / "wizard.jpg", images / "arc.png", images / "atop.gif", images / "logo.jpg", pdfPath})
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const Bytes photo = test::readFile(images / "wizard.jpg"), picture = test::readFile(images / "arc.png");
    const Bytes drawing = test::readFile(images / "atop.gif"), logo = test::readFile(images / "logo.jpg");
    const Bytes pdf = test::readFile(pdfPath), movie = test::SampleContent::isoMedia("isom", 9000, 5);
    const std::string text = "{\\rtf1\\ansi " + std::string(6000, 'w') + "}";
    const Bytes note(text.begin(), text.end());  // a document whose length is a guess
    struct File {
        const Bytes* bytes;
        K kind;
    };
    const std::vector<File> kinds{{&photo, K::jpeg}, {&movie, K::mp4}, {&pdf, K::pdf}, {&picture, K::png},
                                  {&drawing, K::gif}, {&movie, K::mp4}, {&logo, K::jpeg}};

    Bytes device(512, 0);
    std::vector<std::tuple<std::uint64_t, K, std::uint64_t>> expected;
    auto put = [&](std::uint64_t at, const Bytes& bytes) {
        if (device.size() < at + bytes.size()) device.resize(at + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), device.begin() + static_cast<std::ptrdiff_t>(at));
    };
    std::size_t n = 0;
    for (const std::uint64_t gap : {0, 1, 2, 3, 4, 5, 7, 63, 64, 65, 511, 512, 513, 0, 3, 4, 512}) {
        const File& file = kinds[n++ % kinds.size()];
        const std::uint64_t at = device.size() + gap;
        put(at, *file.bytes);
        expected.emplace_back(at, file.kind, file.bytes->size());
    }
    // Over the photo placed first (at 512): a movie on the photo's 13th sector boundary, a picture 3 bytes off
    // its 20th; over the document: a photo on a sector boundary, a drawing just off one.
    const std::uint64_t photoAt = std::get<0>(expected[0]), pdfAt = std::get<0>(expected[2]);
    ASSERT_GT(photo.size(), 25u * 512);
    put(photoAt + 13 * 512, movie);
    put(photoAt + 20 * 512 + 3, picture);
    // The photo runs into the movie: it ends where the movie begins, cut (and flagged).
    std::get<2>(expected[0]) = 13 * 512;
    const std::uint64_t photoInPdf = (pdfAt + 40 * 512) / 512 * 512;
    ASSERT_GT(pdfAt + pdf.size(), photoInPdf + 2 * photo.size());
    put(photoInPdf, photo);
    put(photoInPdf + photo.size() + 600 - (photoInPdf + photo.size() + 600) % 512 + 1, drawing);
    expected.emplace_back(photoAt + 13 * 512, K::mp4, movie.size());
    expected.emplace_back(photoInPdf, K::jpeg, photo.size());
    // A guessed length passes over nothing: a drawing 7 bytes into the document is a file of its own.
    const std::uint64_t noteAt = device.size() + 2;
    put(noteAt, note);
    put(noteAt + 7, drawing);
    expected.emplace_back(noteAt + 7, K::gif, drawing.size());
    const std::uint64_t lastAt = device.size() + 1;
    put(lastAt, logo);
    expected.emplace_back(lastAt, K::jpeg, logo.size());
    device.resize(device.size() + 3000, 0);
    std::sort(expected.begin(), expected.end());

    for (const std::int64_t window : {std::int64_t{4 * 1024 * 1024}, std::int64_t{64 * 1024}, std::int64_t{4096 + 64}}) {
        std::vector<std::tuple<std::uint64_t, K, std::uint64_t>> found;
        for (const RecoveredHit& hit : carved(device, everyKind(), {}, window)) {
            if (hit.byteOffset == noteAt) continue;  // the document itself, its length a guess
            found.emplace_back(hit.byteOffset, hit.kind, hit.byteLength);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());  // repeats in shared bytes
        EXPECT_EQ(found, expected) << "window " << window;
    }
}

TEST(SignatureCarverFoundFiles, FindsAMovieOnAnySectorStartInsideAPhotoRightAfterAnother) {
    // Two photos back to back or a byte apart, the first ending 1 to 4 bytes past a sector boundary, and a
    // movie written over the second on one of its sector boundaries: the movie's first box starts on the
    // boundary and its type 4 bytes on, so it is found whichever side of a step of the search its type is.
    const std::filesystem::path images = "/usr/share/doc/imagemagick-6-common/html/images";
    for (const auto& path : {images / "wizard.jpg", images / "bluebells_lin.jpg"})
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const Bytes first = test::readFile(images / "wizard.jpg"), second = test::readFile(images / "bluebells_lin.jpg");
    const Bytes movie = test::SampleContent::isoMedia("isom", 3000, 9);
    for (std::uint64_t pastBoundary = 1; pastBoundary <= 4; ++pastBoundary) {
        for (const std::uint64_t gap : {0, 1}) {
            const std::uint64_t firstAt = 1024 + (pastBoundary + 512 * 1024 - first.size()) % 512;
            const std::uint64_t secondAt = firstAt + first.size() + gap;
            for (std::uint64_t sector = secondAt / 512 + 1; sector * 512 + movie.size() < secondAt + 24 * 512; ++sector) {
                Bytes device(firstAt, 0);
                device.insert(device.end(), first.begin(), first.end());
                device.resize(secondAt, 0);
                device.insert(device.end(), second.begin(), second.end());
                std::copy(movie.begin(), movie.end(), device.begin() + static_cast<std::ptrdiff_t>(sector * 512));
                device.resize(device.size() + 1000, 0);
                std::vector<std::tuple<std::uint64_t, K, std::uint64_t>> found;
                for (const RecoveredHit& hit : carved(device, everyKind(), {}, 1024 * 1024))
                    found.emplace_back(hit.byteOffset, hit.kind, hit.byteLength);
                const std::string where = "movie at " + std::to_string(sector * 512) + ", photo at " + std::to_string(secondAt);
                ASSERT_GE(found.size(), 3u) << where;
                EXPECT_EQ(found[0], std::tuple(firstAt, K::jpeg, std::uint64_t{first.size()})) << where;
                EXPECT_EQ(std::get<0>(found[1]), secondAt) << where;
                EXPECT_EQ(found[2], std::tuple(sector * 512, K::mp4, std::uint64_t{movie.size()})) << where;
            }
        }
    }
}

// ---- Cards of photos, sound and documents: files on sector boundaries, one after another. ----

constexpr std::uint64_t clusterBytes = 4096;
constexpr std::uint64_t sectorBytes = 512;

std::uint64_t findBytes(const Bytes& haystack, const Bytes& needle) {
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return it == haystack.end() ? UINT64_MAX : static_cast<std::uint64_t>(it - haystack.begin());
}

bool holdsEndOfImage(ByteView bytes) {
    const Bytes endMarker{0xFF, 0xD9};
    return std::search(bytes.begin(), bytes.end(), endMarker.begin(), endMarker.end()) != bytes.end();
}

// The first real PDF that Debian ships here, or nothing (ends in "%%EOF" and LF).
Bytes shippedPDF() {
    for (const char* candidate : {"/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf",
                                  "/usr/share/doc/libtasn1-doc/libtasn1.pdf"})
        if (std::filesystem::exists(candidate)) return test::readFile(candidate);
    return {};
}

class CardFiles : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"convert", "cjpeg", "sox", "lame", "zip", "env"})
            if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
    }
    std::string path(const std::string& name) const { return (m_dir / name).string(); }

    Bytes photo(const std::string& name, int seed) {
        runOrFail({"convert", "-seed", std::to_string(seed), "-size", "640x480", "plasma:", "-type", "TrueColor",
                   "-depth", "8", path(name + ".ppm")});
        runOrFail({"cjpeg", "-quality", "90", "-outfile", path(name + ".jpg"), path(name + ".ppm")});
        return test::readFile(m_dir / (name + ".jpg"));
    }

    // The first part of a photo: every table, the frame and scan headers and some scan data, no end
    // marker. Found inside other files (a picture stored in a recording's samples, a half-written copy).
    Bytes photoStart(int seed) {
        const Bytes whole = photo("start" + std::to_string(seed), seed);
        Bytes start(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 2 / 3));
        EXPECT_FALSE(holdsEndOfImage(start));
        return start;
    }

    // A recording made by sox: 1.6 s of repeatable pink noise, then the given bytes as samples, then
    // silence.
    Bytes recordingHolding(const Bytes& inside, const std::string& name) {
        const std::vector<std::string> raw{"-t", "raw", "-r", "44100", "-c", "2", "-b", "16", "-e", "signed-integer", "-L"};
        std::vector<std::string> noise{"sox", "-R", "-n"};
        noise.insert(noise.end(), raw.begin(), raw.end());
        noise.insert(noise.end(), {path(name + ".noise"), "synth", "1.6", "pinknoise", "vol", "0.5"});
        runOrFail(noise);
        Bytes samples = test::readFile(m_dir / (name + ".noise"));
        samples.insert(samples.end(), inside.begin(), inside.end());
        samples.resize((samples.size() + 3) / 4 * 4 + 20'000, 0);
        test::writeFile(m_dir / (name + ".raw"), samples);
        std::vector<std::string> wav{"sox"};
        wav.insert(wav.end(), raw.begin(), raw.end());
        wav.insert(wav.end(), {path(name + ".raw"), path(name + ".wav")});
        runOrFail(wav);
        return test::readFile(m_dir / (name + ".wav"));
    }

    // 5 s of noise encoded by lame with an ID3v2 tag.
    Bytes song() {
        runOrFail({"sox", "-R", "-n", "-r", "44100", "-c", "2", path("song.wav"), "synth", "5", "brownnoise", "vol", "0.5"});
        runOrFail({"lame", "--quiet", "-b", "128", "--id3v2-only", "--tt", "A song", "--ta", "Someone", path("song.wav"),
                   path("song.mp3")});
        return test::readFile(m_dir / "song.mp3");
    }

    // A zip package of the given parts, made by zip in that order.
    Bytes package(const std::string& name, const std::vector<std::pair<std::string, std::string>>& parts) {
        const test::TempDir folder;
        std::vector<std::string> command{"env", "-C", folder.path().string(), "zip", "-q", "-X", path(name)};
        for (const auto& [part, text] : parts) {
            std::filesystem::create_directories((folder / part).parent_path());
            test::writeFile(folder / part, Bytes(text.begin(), text.end()));
            command.push_back(part);
        }
        runOrFail(command);
        return test::readFile(m_dir / name);
    }

    // Words enough that the parts compress to a few kilobytes of varied bytes.
    static std::string prose(int seed) {
        std::string text;
        const Bytes random = test::randomBytes(40'000, static_cast<std::uint64_t>(seed));
        for (std::uint8_t byte : random) text += byte % 7 == 0 ? ' ' : static_cast<char>('a' + byte % 26);
        return text;
    }

    // Places a file on the next cluster boundary; its offset.
    std::uint64_t place(const Bytes& bytes) {
        const std::uint64_t at = (m_device.size() + clusterBytes - 1) / clusterBytes * clusterBytes;
        m_device.resize(at, 0);
        m_device.insert(m_device.end(), bytes.begin(), bytes.end());
        return at;
    }

    std::vector<RecoveredHit> carve(std::int64_t windowBytes, const AllocatedRegionMap& live = {}) const {
        return carved(m_device, everyKind(), live, windowBytes);
    }

    test::TempDir m_dir;
    Bytes m_device = Bytes(clusterBytes, 0);
};

const RecoveredHit* hitAt(const std::vector<RecoveredHit>& hits, std::uint64_t offset) {
    const auto found = std::find_if(hits.begin(), hits.end(), [&](const RecoveredHit& hit) { return hit.byteOffset == offset; });
    return found == hits.end() ? nullptr : &*found;
}

// A recording holds the start of a photo in its samples, beyond its first 256 KiB; the photo's end
// marker search runs on into the documents after the recording. The recording's own length covers the
// false header, so it is no hit and hides none of the documents.
TEST_F(CardFiles, AFileFoundByItsStructureHidesTheHeadersInsideItAndNothingAfterIt) {
    const Bytes pdf = shippedPDF();
    if (pdf.empty()) GTEST_SKIP() << "no PDF shipped in /usr/share/doc";
    const Bytes falsePhoto = photoStart(3);
    const Bytes wav = recordingHolding(falsePhoto, "wav");
    const Bytes docx = package("d.docx", {{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", prose(1)}});
    const Bytes odt = package("t.odt", {{"mimetype", "application/vnd.oasis.opendocument.text"}, {"content.xml", prose(2)}});
    const Bytes picture = photo("after", 4);

    struct File {
        const Bytes& bytes;
        K kind;
        std::uint64_t offset = 0;
    };
    std::vector<File> files{{wav, K::wav}, {pdf, K::pdf}, {docx, K::docx}, {odt, K::zip}, {picture, K::jpeg}};
    for (File& file : files) file.offset = place(file.bytes);
    m_device.resize(m_device.size() + 100'000, 0);
    const std::uint64_t falseHeader = files[0].offset + findBytes(wav, falsePhoto);
    ASSERT_GT(falseHeader - files[0].offset, 256u * 1024);
    ASSERT_NE(falseHeader % sectorBytes, 0u);
    // The end marker search from the false header reaches past the recording, over the documents.
    ASSERT_FALSE(holdsEndOfImage(ByteView(m_device).subspan(falseHeader, files[1].offset - falseHeader)));

    for (const std::int64_t window : {SignatureCarver::defaultWindowBytes, std::int64_t{64 * 1024}}) {
        const auto hits = carve(window);
        for (const File& file : files) {
            const RecoveredHit* hit = hitAt(hits, file.offset);
            ASSERT_NE(hit, nullptr) << FileKind::rawValue(file.kind) << " not found, window " << window;
            EXPECT_EQ(hit->kind, file.kind) << window;
            EXPECT_EQ(hit->byteLength, file.bytes.size()) << FileKind::rawValue(file.kind) << ", window " << window;
        }
        for (const RecoveredHit& hit : hits)
            EXPECT_FALSE(hit.byteOffset > files[0].offset && hit.byteOffset < files[0].offset + wav.size())
                << FileKind::rawValue(hit.kind) << " at " << hit.byteOffset << " inside the recording, window " << window;
    }
}

// A live recording holds the start of a photo; its end marker search runs past the recording's end into
// a deleted song. The false photo lies in a live file and is dropped, and hides nothing past that file.
TEST_F(CardFiles, AHeaderInALiveFileHidesNothingPastThatFile) {
    const Bytes falsePhoto = photoStart(5);
    const Bytes wav = recordingHolding(falsePhoto, "live");
    const Bytes mp3 = song();
    const Bytes picture = photo("next", 6);
    const std::uint64_t wavAt = place(wav);
    const std::uint64_t falseHeader = wavAt + findBytes(wav, falsePhoto);
    // The song starts 200 KB after the false header, off the sector grid, so that only the live file's end
    // can bound what that header passes over.
    std::uint64_t mp3At = falseHeader + 200'000;
    if (mp3At % sectorBytes == 0) mp3At += 100;
    ASSERT_GT(mp3At, wavAt + wav.size());
    m_device.resize(mp3At, 0);
    m_device.insert(m_device.end(), mp3.begin(), mp3.end());
    // A photo after the song ends the false header's end marker search, should the song hold no FF D9.
    const std::uint64_t pictureAt = place(picture);
    m_device.resize(m_device.size() + 100'000, 0);
    AllocatedRegionMap live;
    live.add(wavAt, wav.size());

    const auto hits = carve(SignatureCarver::defaultWindowBytes, live);
    const RecoveredHit* found = hitAt(hits, mp3At);
    ASSERT_NE(found, nullptr) << "the deleted song is lost";
    EXPECT_EQ(found->kind, K::mp3);
    ASSERT_NE(hitAt(hits, pictureAt), nullptr);
    EXPECT_EQ(hitAt(hits, pictureAt)->byteLength, picture.size());
    for (const RecoveredHit& hit : hits) EXPECT_FALSE(live.overlaps(hit.byteOffset, 1)) << hit.byteOffset;
}

// Quiet 16-bit samples are full of FF D8 FF (-40 after a small negative sample) followed by FF or DA and
// the like, which open no picture. A recording whose header cluster a newer file overwrote is carved as
// what it is: raw samples, with no photos in them.
TEST_F(CardFiles, ChanceStartOfImageBytesInSamplesAreNoPhotos) {
    runOrFail({"sox", "-R", "-n", "-r", "44100", "-c", "1", "-b", "16", path("quiet.wav"), "synth", "10", "whitenoise",
               "vol", "0.003"});
    const Bytes wav = test::readFile(m_dir / "quiet.wav");
    const std::uint64_t wavAt = place(wav);
    const Bytes newer = photo("newer", 7);
    ASSERT_LT(newer.size(), 256u * 1024);
    std::copy(newer.begin(), newer.end(), m_device.begin() + static_cast<std::ptrdiff_t>(wavAt));
    m_device.resize(m_device.size() + 100'000, 0);
    const Bytes startOfImage{0xFF, 0xD8, 0xFF};
    std::size_t chanceHeaders = 0;
    for (auto at = std::search(wav.begin(), wav.end(), startOfImage.begin(), startOfImage.end()); at != wav.end();
         at = std::search(at + 1, wav.end(), startOfImage.begin(), startOfImage.end()))
        ++chanceHeaders;
    ASSERT_GT(chanceHeaders, 100u);

    const auto hits = carve(SignatureCarver::defaultWindowBytes);
    ASSERT_NE(hitAt(hits, wavAt), nullptr);
    EXPECT_EQ(hitAt(hits, wavAt)->byteLength, newer.size());
    std::size_t photos = 0;
    for (const RecoveredHit& hit : hits) photos += hit.kind == K::jpeg ? 1 : 0;
    EXPECT_EQ(photos, 1u) << "of " << chanceHeaders << " chance headers";
}

// A PDF's last end marker is followed by an end of line, which belongs to the file.
TEST_F(CardFiles, APDFEndsAfterTheEndOfLineOfItsEndMarker) {
    const Bytes shipped = shippedPDF();
    if (shipped.empty()) GTEST_SKIP() << "no PDF shipped in /usr/share/doc";
    const std::string endMarker = "%%EOF";
    ASSERT_EQ(std::string(shipped.end() - 6, shipped.end()), endMarker + "\n");
    const Bytes body(shipped.begin(), shipped.end() - 1);
    std::vector<std::pair<std::string, Bytes>> variants;
    for (const std::string ending : {"\n", "\r\n", "\r", ""}) {
        Bytes pdf = body;
        pdf.insert(pdf.end(), ending.begin(), ending.end());
        variants.emplace_back(ending, pdf);
    }
    std::vector<std::uint64_t> offsets;
    for (const auto& [ending, pdf] : variants) offsets.push_back(place(pdf));
    // The last one is followed at once by a line of the next file's bytes, which is not its end of line.
    const std::string next = "next file\n";
    m_device.insert(m_device.end(), next.begin(), next.end());
    m_device.resize(m_device.size() + 10'000, 0);

    const auto hits = carve(SignatureCarver::defaultWindowBytes);
    for (std::size_t i = 0; i < variants.size(); ++i) {
        const RecoveredHit* hit = hitAt(hits, offsets[i]);
        ASSERT_NE(hit, nullptr);
        EXPECT_EQ(hit->kind, K::pdf);
        EXPECT_EQ(hit->byteLength, variants[i].second.size()) << "ending of " << variants[i].first.size() << " bytes";
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

    std::vector<RecoveredHit> hits = carved(device, {K::ogg, K::mp3});
    ASSERT_EQ(hits.size(), files.size());
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.byteOffset < b.byteOffset; });
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(hits[i].byteOffset, files[i].offset) << files[i].name;
        EXPECT_EQ(hits[i].kind, files[i].kind) << files[i].name;
        EXPECT_EQ(hits[i].byteLength, files[i].length) << files[i].name;
    }
}

// Compressed and random data hold "ID3", "fLaC" and "PK" 03 04 every few megabytes, with impossible bytes
// after them (ID3 versions E0, 4B, DF; STREAMINFO lengths 0). None of them is a hit; the real songs and
// archives among them still are, an MP3 and a ZIP by their structure, a FLAC with its length marked a guess.
TEST(SignatureCarverSoundFiles, ChanceSoundAndArchiveHeadersInCompressedAndRandomDataAreNoHits) {
    for (const char* program : {"ffmpeg", "lame", "gzip", "zip", "env"})
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
    const test::TempDir dir;
    auto path = [&](const std::string& name) { return (dir / name).string(); };
    runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-y", path("a.wav")});
    runOrFail({"lame", "--quiet", "--tt", "Tone", path("a.wav"), path("a.mp3")});
    runOrFail({"ffmpeg", "-v", "error", "-i", path("a.wav"), "-y", path("a.flac")});
    test::writeFile(dir / "notes.txt", test::randomBytes(20'000, 5));
    runOrFail({"env", "-C", dir.path().string(), "zip", "-q", "-X", path("a.zip"), "notes.txt"});
    // Compressed data: the sound and random bytes, gzipped.
    test::writeFile(dir / "noise.bin", test::randomBytes(6 * 1024 * 1024, 6));
    runOrFail({"gzip", "-k", "-9", path("noise.bin"), path("a.wav")});

    Bytes device = test::randomBytes(24 * 1024 * 1024, 7);
    // Chance headers in the random part, with the bytes that followed them on a real card.
    const std::vector<Bytes> chance{{'I', 'D', '3', 0xE0}, {'I', 'D', '3', 0x4B}, {'I', 'D', '3', 0xDF},
                                    {'f', 'L', 'a', 'C', 0x00, 0x00, 0x00, 0x00}, {'P', 'K', 3, 4}};
    for (std::size_t i = 0; i < 5000; ++i) {
        const Bytes& header = chance[i % chance.size()];
        std::copy(header.begin(), header.end(), device.begin() + static_cast<std::ptrdiff_t>(4801 * i + 17));
    }
    std::vector<Placed> real;
    auto place = [&](const std::string& name, K kind) {
        const Bytes bytes = test::readFile(dir / name);
        const std::uint64_t at = (device.size() + 4095) / 4096 * 4096;
        device.resize(at, 0);
        device.insert(device.end(), bytes.begin(), bytes.end());
        real.push_back({name, kind, std::nullopt, at, bytes.size()});
    };
    for (const char* gz : {"noise.bin.gz", "a.wav.gz"}) place(gz, K::unknown);
    place("a.mp3", K::mp3);
    place("a.flac", K::flac);
    place("a.zip", K::zip);
    device.resize(device.size() + 3 * 1024 * 1024, 0);

    std::vector<RecoveredHit> hits = carved(device, {K::mp3, K::flac, K::zip, K::docx, K::xlsx, K::pptx});
    ASSERT_EQ(hits.size(), 3u) << "only the real song, stream and archive";
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.byteOffset < b.byteOffset; });
    for (std::size_t i = 0; i < 3; ++i) {
        const Placed& file = real[2 + i];
        EXPECT_EQ(hits[i].byteOffset, file.offset) << file.name;
        EXPECT_EQ(hits[i].kind, file.kind) << file.name;
    }
    EXPECT_EQ(hits[0].byteLength, real[2].length) << "the MP3's frames end it";
    EXPECT_FALSE(hasGuessedLength(hits[0]));
    EXPECT_EQ(hits[1].byteLength, real[3].length) << "the FLAC's frames end it";
    EXPECT_FALSE(hasGuessedLength(hits[1]));
    EXPECT_EQ(hits[2].byteLength, real[4].length) << "the ZIP's end record ends it";
    EXPECT_FALSE(hasGuessedLength(hits[2]));
}

} // namespace
} // namespace vantrel
