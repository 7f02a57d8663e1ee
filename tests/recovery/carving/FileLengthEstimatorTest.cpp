#include "recovery/carving/FileLengthEstimator.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/carving/SignatureCatalog.h"
#include "recovery/carving/WindowedReader.h"
#include "tests/fixtures/ScriptedByteSource.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/SparseByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Kind = RecoveredFileKind;
constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * 1024;

const FileSignature& row(Kind kind) {
    for (const auto& signature : SignatureCatalog::carveMVP())
        if (signature.kind == kind) return signature;
    throw std::logic_error("no row");
}

void put(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
void putLE(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void setLE(Bytes& out, std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Runs the estimator as the carver does for a header at offset of the given row.
struct Estimate {
    explicit Estimate(ByteSource& s) : source(s) {}
    ByteSource& source;
    FileLengthEstimator estimator;
    std::uint64_t minimumByteSize = 0;

    std::optional<LengthEstimate> operator()(std::uint64_t offset, Kind rowKind, std::optional<Kind> refined = {}) {
        const FileSignature& signature = row(rowKind);
        const std::uint64_t remaining = source.length() - offset;
        const std::uint64_t available = std::min(remaining, signature.maxScanLength);
        const Bytes head = source.read(offset, static_cast<std::int64_t>(std::min(available, FileLengthEstimator::headBytes)));
        LengthCandidate candidate;
        candidate.rowKind = rowKind;
        candidate.refinedKind = refined.value_or(rowKind);
        if (signature.footer) candidate.footer = *signature.footer;
        candidate.offset = offset;
        candidate.available = available;
        candidate.deviceRemaining = remaining;
        candidate.head = head;
        candidate.minimumByteSize = minimumByteSize;
        SourceCandidateReader reader(source);
        return estimator.estimate(candidate, reader);
    }
};

LengthEstimate structural(std::uint64_t length) { return {length, LengthBasis::structural}; }
LengthEstimate guessed(std::uint64_t length) { return {length, LengthBasis::guessed}; }

Bytes pngStart() {
    Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
    put(png, "IHDR");
    putLE(png, 0x01000000, 4); // width 1, big-endian
    putLE(png, 0x01000000, 4);
    png.resize(png.size() + 9, 0);
    return png;
}
const Bytes pngEnd{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

TEST(FileLengthEstimator, APNGEndsAtItsFooterNearOrFar) {
    Bytes png = pngStart();
    png.resize(50000, 0x11);
    png.insert(png.end(), pngEnd.begin(), pngEnd.end());
    test::SparseByteSource source(80 * MiB, 0);
    source.patch(1000, png);
    Estimate run(source);
    EXPECT_EQ(run(1000, Kind::png), structural(png.size()));

    // The footer at 5 MiB is found by reading on.
    test::SparseByteSource far(80 * MiB, 0);
    far.patch(0, pngStart());
    far.patch(5 * MiB, pngEnd);
    Estimate farRun(far);
    EXPECT_EQ(farRun(0, Kind::png), structural(5 * MiB + pngEnd.size()));

    // No footer within the row's 64 MiB: the generic length, a guess.
    test::SparseByteSource none(80 * MiB, 0);
    none.patch(0, pngStart());
    Estimate noneRun(none);
    EXPECT_EQ(noneRun(0, Kind::png), guessed(64 * KiB));
    noneRun.minimumByteSize = 3 * MiB;
    EXPECT_EQ(noneRun(0, Kind::png), guessed(3 * MiB));
}

TEST(FileLengthEstimator, FooterSearchesOfOneCarveAreNotRepeated) {
    test::SparseByteSource source(80 * MiB, 0);
    for (std::uint64_t at = 0; at < 10 * MiB; at += MiB) source.patch(at, pngStart());
    source.patch(30 * MiB, pngEnd);
    Estimate run(source);
    for (std::uint64_t at = 0; at < 10 * MiB; at += MiB)
        EXPECT_EQ(run(at, Kind::png), structural(30 * MiB + pngEnd.size() - at));
    // Ten heads and one pass to the footer, not ten passes.
    EXPECT_LE(source.bytesRead(), 10 * FileLengthEstimator::headBytes + 31 * MiB);
}

Bytes gifWithSemicolonInData() {
    Bytes gif;
    put(gif, "GIF89a");
    putLE(gif, 2, 2);
    putLE(gif, 2, 2);
    gif.insert(gif.end(), {0x80, 0, 0});          // global colour table of 2 entries
    gif.insert(gif.end(), {0, 0, 0, 255, 255, 255});
    gif.insert(gif.end(), {0x21, 0xF9, 4, 0, 0, 0, 0, 0}); // graphic control extension
    gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0}); // image descriptor
    gif.insert(gif.end(), {2, 3, 0x3B, 0x3B, 0x3B, 0});       // LZW data holding ';' bytes
    gif.push_back(0x3B);
    return gif;
}

TEST(FileLengthEstimator, AGIFEndsAtItsTrailerNotAtASemicolonInItsData) {
    const Bytes gif = gifWithSemicolonInData();
    Bytes device = gif;
    device.resize(4096, 0x3B);
    MemoryByteSource source(device);
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::gif), structural(gif.size()));

    // A broken block structure falls back to the first ';' at or after byte 1.
    Bytes broken = gif;
    broken[27] = 0x77; // where the image descriptor belongs
    broken.resize(4096, 0);
    MemoryByteSource brokenSource(broken);
    Estimate brokenRun(brokenSource);
    const auto first = std::find(gif.begin() + 1, gif.end(), 0x3B) - gif.begin();
    EXPECT_EQ(brokenRun(0, Kind::gif), structural(static_cast<std::uint64_t>(first) + 1));
}

Bytes pdf(std::initializer_list<std::string_view> parts) {
    Bytes out;
    for (auto part : parts) put(out, part);
    return out;
}

TEST(FileLengthEstimator, APDFEndsAtItsLastRevision) {
    // Two end markers with nothing that starts an update between them: the first, with its end of line,
    // ends the file.
    const Bytes plain = pdf({"%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n", "garbage %%EOF\n"});
    Bytes device = plain;
    device.resize(8192, 0);
    MemoryByteSource source(device);
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::pdf), structural(plain.size() - 14));

    // An incremental update after the first end: the file runs to the update's end marker.
    const Bytes updated = pdf({"%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n",
                               "2 0 obj\n<<>>\nendobj\nxref\n0 1\ntrailer\n<<>>\n%%EOF", "\r\n"});
    device = updated;
    device.resize(8192, 0);
    MemoryByteSource updatedSource(device);
    Estimate updatedRun(updatedSource);
    EXPECT_EQ(updatedRun(0, Kind::pdf), structural(updated.size()));
}

// The head ends 256 KiB into the file, where the footer search's first chunk also ends: an end marker cut
// there, and an update whose start lies on both sides of it, are found as anywhere else, through several
// updates.
TEST(FileLengthEstimator, APDFsEndMarkersAndUpdatesAreFoundWhereverTheHeadEnds) {
    const std::string update = "\n2 0 obj\n<<>>\nendobj\nxref\n0 1\ntrailer\n<<>>\n%%EOF";
    const std::uint64_t headEnd = FileLengthEstimator::headBytes;
    for (std::uint64_t markerAt = headEnd - 80; markerAt <= headEnd + 5; ++markerAt) {
        Bytes device;
        put(device, "%PDF-1.4\n1 0 obj\n<<>>\nendobj\n");
        device.resize(static_cast<std::size_t>(markerAt), 'a');
        put(device, "%%EOF");
        for (int k = 0; k < 3; ++k) put(device, update);
        put(device, "\r\n");
        const std::uint64_t fileEnd = device.size();
        put(device, "\n%%EOF\n");  // a later marker that no update leads to
        device.resize(device.size() + 4096, 0);
        MemoryByteSource source(device);
        Estimate run(source);
        ASSERT_EQ(run(0, Kind::pdf), structural(fileEnd)) << "end marker at " << markerAt;
    }
}

// As the carver reads a PDF that runs past its window: the windows and their seam are in memory, the source
// fails every read, and the window ends at every place around the first end marker and the update after it.
TEST(FileLengthEstimator, APDFsEndMarkersAndUpdatesAreFoundWhereverTheCarversWindowEnds) {
    const std::string first = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
    const std::string update = "2 0 obj\n<<>>\nendobj\nxref\n0 1\ntrailer\n<<>>\n%%EOF\r\n";
    Bytes device(1000, 0);
    put(device, first);
    put(device, update);
    const std::uint64_t fileEnd = device.size() - 1000;
    device.resize(device.size() + 1000, 0);
    test::ScriptedByteSource source(device);
    source.failAll();
    const ByteView all(device);
    const FileSignature& signature = row(Kind::pdf);
    for (std::uint64_t windowEnd = 1001; windowEnd < 1000 + fileEnd + 2; ++windowEnd) {
        for (const std::uint64_t reach : {std::uint64_t{0}, FileLengthEstimator::headBytes}) {
            WindowedReader::Seam seam(reach);
            const std::uint64_t next = windowEnd - 1;  // windows share a byte
            WindowedReader reader(source, {all.first(static_cast<std::size_t>(windowEnd)), 0},
                                  {all.subspan(static_cast<std::size_t>(next)), next}, reach > 0 ? &seam : nullptr);
            Bytes headScratch;
            LengthCandidate candidate;
            candidate.rowKind = candidate.refinedKind = Kind::pdf;
            candidate.footer = *signature.footer;
            candidate.offset = 1000;
            candidate.available = candidate.deviceRemaining = device.size() - 1000;
            candidate.head = reader.read(1000, 20, headScratch);  // the walk reads on past a short head
            FileLengthEstimator estimator;
            ASSERT_EQ(estimator.estimate(candidate, reader), structural(fileEnd)) << "window ends at " << windowEnd;
        }
    }
    EXPECT_TRUE(source.reads.empty());
}

TEST(FileLengthEstimator, ALinearizedPDFTakesItsDeclaredLength) {
    std::string start = "%PDF-1.7\n%\xE2\xE3\n12 0 obj\n<< /Linearized 1 /L 6000 /H [ 500 150 ] /O 14 /E 900 /N 1 /T 5800 >>\nendobj\n";
    start += "xref\n0 1\ntrailer\n<<>>\nstartxref\n0\n%%EOF\n"; // the first-page section's end marker
    Bytes device(20000, ' ');
    std::copy(start.begin(), start.end(), device.begin());
    const std::string end = "%%EOF\n";
    std::copy(end.begin(), end.end(), device.begin() + 6000 - 6);
    MemoryByteSource source(device);
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::pdf), structural(6000));

    // A declared length past the device is not used: the end markers decide (here the first page's is
    // followed by white space only, so it and its end of line end the file).
    Bytes shortDevice(device.begin(), device.begin() + 5000);
    MemoryByteSource shortSource(shortDevice);
    Estimate shortRun(shortSource);
    EXPECT_EQ(shortRun(0, Kind::pdf), structural(start.size()));
}

Bytes riff(std::string_view form, std::uint32_t chunkSize) {
    Bytes out;
    put(out, "RIFF");
    putLE(out, chunkSize, 4);
    put(out, form);
    return out;
}

TEST(FileLengthEstimator, RIFFFilesTakeTheirDeclaredSizeWhenItFits) {
    test::SparseByteSource source(4 * MiB, 0);
    source.patch(0, riff("WAVE", 10 * MiB));
    Estimate run(source);
    run.minimumByteSize = 8192;
    EXPECT_EQ(run(0, Kind::wav), guessed(64 * KiB));

    source.patch(MiB, riff("WEBP", 5000));
    EXPECT_EQ(run(MiB, Kind::webp), structural(5008));
}

Bytes bmp(std::uint32_t declaredSize) {
    Bytes out;
    put(out, "BM");
    putLE(out, declaredSize, 4);
    putLE(out, 0, 4);
    putLE(out, 54, 4);
    putLE(out, 40, 4);  // DIB header size
    putLE(out, 10, 4);  // width
    putLE(out, 10, 4);  // height
    putLE(out, 1, 2);   // planes
    putLE(out, 24, 2);  // bits per pixel
    out.resize(54, 0);
    return out;
}

TEST(FileLengthEstimator, ABMPNeedsAPlausibleDeclaredSizeWithinReach) {
    test::SparseByteSource source(MiB, 0);
    source.patch(0, bmp(400));
    source.patch(4096, bmp(53));
    source.patch(8192, bmp(2 * MiB));
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::bmp), structural(400));
    EXPECT_EQ(run(4096, Kind::bmp), std::nullopt);
    EXPECT_EQ(run(8192, Kind::bmp), std::nullopt);
}

// A little-endian TIFF: one IFD at 8 with width, height and one strip of stripBytes right after the
// directory (which ends at 62).
Bytes tiff(std::uint32_t stripBytes) {
    Bytes out{'I', 'I', 42, 0, 8, 0, 0, 0};
    putLE(out, 4, 2);
    const auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        putLE(out, tag, 2);
        putLE(out, type, 2);
        putLE(out, 1, 4);
        putLE(out, value, 4);
    };
    entry(256, 3, 16);
    entry(257, 3, 16);
    entry(273, 4, 62);
    entry(279, 4, stripBytes);
    putLE(out, 0, 4);
    return out;
}

TEST(FileLengthEstimator, ATIFFEndsAtItsFurthestReferenceAndTooShortIsNoHit) {
    test::SparseByteSource source(8 * MiB, 0);
    source.patch(0, tiff(1000));
    source.patch(MiB, tiff(1));  // the directory ends at 62, the strip at 63
    source.patch(2 * MiB, tiff(2));
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::tiff), structural(1062));
    EXPECT_FALSE(run.estimator.tiffData().empty());
    EXPECT_EQ(run(MiB, Kind::tiff), std::nullopt);
    EXPECT_EQ(run(2 * MiB, Kind::cr2), structural(64));
}

TEST(FileLengthEstimator, AJPEGWithoutAnEndIsNoHitAndAFarEndIsFound) {
    Bytes start{0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 16, 1, 1, 0x11, 0, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0};
    test::SparseByteSource source(80 * MiB, 0x55);
    source.patch(0, start);
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::jpeg), std::nullopt);
    source.patch(700 * KiB, Bytes{0xFF, 0xD9});
    Estimate again(source);
    EXPECT_EQ(again(0, Kind::jpeg), structural(700 * KiB + 2));
}

TEST(FileLengthEstimator, AMovieTakesItsBoxWalk) {
    test::SparseByteSource source(8 * MiB, 0);
    const auto box = [&](std::uint64_t at, std::uint32_t size, std::string_view type) {
        Bytes header{static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                     static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
        put(header, type);
        source.patch(at, header);
    };
    box(0, 24, "ftyp");
    box(24, 10000, "mdat");
    box(10024, 500, "moov");
    Estimate run(source);
    EXPECT_EQ(run(0, Kind::mp4, Kind::mov), structural(10524));
}

TEST(FileLengthEstimator, FormatsWithoutAnEndTakeTheFixedGuess) {
    test::SparseByteSource source(100 * MiB, 0);
    Estimate run(source);
    for (const Kind kind : {Kind::crw, Kind::flac, Kind::rtf, Kind::doc, Kind::zip})
        EXPECT_EQ(run(MiB, kind), guessed(2 * MiB)) << FileKind::rawValue(kind);
    for (const Kind kind : {Kind::docx, Kind::xlsx, Kind::pptx})
        EXPECT_EQ(run(MiB, Kind::zip, kind), guessed(2 * MiB)) << FileKind::rawValue(kind);
    EXPECT_EQ(run(100 * MiB - 1000, Kind::rtf), guessed(1000));
    // An Ogg file whose pages do not lead to its end; an MP3 whose tag no frames follow is no song.
    Bytes ogg;
    put(ogg, "OggS");
    ogg.insert(ogg.end(), {0, 0x02});
    source.patch(10 * MiB, ogg);
    EXPECT_EQ(run(10 * MiB, Kind::ogg), guessed(2 * MiB));
    source.patch(20 * MiB, Bytes{'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0});
    EXPECT_EQ(run(20 * MiB, Kind::mp3), std::nullopt);
}

TEST(FileLengthEstimator, OggAndMP3FilesTakeTheirPageAndFrameWalks) {
    if (!test::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const test::TempDir dir;
    const std::string wav = (dir / "s.wav").string();
    test::runOrFail({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=1", "-y", wav});
    test::runOrFail({"ffmpeg", "-v", "error", "-i", wav, "-c:a", "libvorbis", "-y", (dir / "s.ogg").string()});
    test::runOrFail({"ffmpeg", "-v", "error", "-i", wav, "-write_id3v1", "1", "-y", (dir / "s.mp3").string()});
    const Bytes ogg = test::readFile(dir / "s.ogg");
    const Bytes mp3 = test::readFile(dir / "s.mp3");
    test::SparseByteSource source(100 * MiB, 0);
    source.patch(MiB, ogg);
    source.patch(5 * MiB, mp3);
    Estimate run(source);
    EXPECT_EQ(run(MiB, Kind::ogg), structural(ogg.size()));
    EXPECT_EQ(run(5 * MiB, Kind::mp3), structural(mp3.size()));
    // A later page of the Ogg file begins no file: no hit.
    const std::size_t secondPage = 27 + ogg[26] + ogg[27];
    ASSERT_TRUE(FieldReader::matches(ogg, static_cast<std::int64_t>(secondPage), "OggS"));
    EXPECT_EQ(run(MiB + secondPage, Kind::ogg), std::nullopt);
    EXPECT_EQ(run(0, Kind::ogg), std::nullopt);
}

// A FLAC longer than the fixed guess, an RTF and a CIFF raw file, each with other bytes after it.
TEST(FileLengthEstimator, FLACRTFAndCRWFilesTakeTheLengthOfTheirStructure) {
    if (!test::haveProgram("sox") || !test::haveProgram("enscript")) GTEST_SKIP() << "sox or enscript is not installed";
    const test::TempDir dir;
    test::runOrFail({"sox", "-n", "-r", "44100", "-c", "2", (dir / "long.flac").string(), "synth", "20", "whitenoise"});
    test::writeFile(dir / "in.txt", Bytes(40000, 'x'));
    test::runOrFail({"enscript", "-q", "-w", "rtf", "-o", (dir / "in.rtf").string(), (dir / "in.txt").string()});
    const Bytes flac = test::readFile(dir / "long.flac");
    const Bytes rtf = test::readFile(dir / "in.rtf");
    ASSERT_GT(flac.size(), 2 * MiB);
    Bytes crw{'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R', 0, 0, 1, 0};
    crw.resize(26, 0);
    const Bytes raw = test::randomBytes(3 * MiB, 4);
    crw.insert(crw.end(), raw.begin(), raw.end());
    crw.insert(crw.end(), {1, 0, 0x05, 0x20});
    putLE(crw, raw.size(), 4);
    putLE(crw, 0, 4);
    putLE(crw, raw.size(), 4);
    test::SparseByteSource source(100 * MiB, 0);
    source.patch(MiB, flac);
    source.patch(MiB + flac.size(), test::randomBytes(MiB, 5));
    source.patch(10 * MiB, rtf);
    source.patch(10 * MiB + rtf.size(), Bytes{'{', '\\', 'r'});
    source.patch(20 * MiB, crw);
    Estimate run(source);
    EXPECT_EQ(run(MiB, Kind::flac), structural(flac.size()));
    EXPECT_EQ(run(10 * MiB, Kind::rtf), structural(rtf.size()));
    EXPECT_EQ(run(20 * MiB, Kind::crw), structural(crw.size()));
}

TEST(FileLengthEstimator, AZipEndsAtItsEndRecordAndComment) {
    const Bytes inner = test::SampleContent::zip({{"inner.txt", Bytes(100, 'i')}}, "");
    const Bytes archive = test::SampleContent::zip({{"word/document.xml", test::randomBytes(400 * KiB, 1)},
                                      {"nested.zip", inner},
                                      {"b.bin", test::randomBytes(300 * KiB, 2)}},
                                     "a comment");
    test::SparseByteSource source(16 * MiB, 0);
    source.patch(4096, archive);
    Estimate run(source);
    // The nested archive's record comes first and belongs to a later start: it is passed over.
    EXPECT_EQ(run(4096, Kind::zip, Kind::docx), structural(archive.size()));
    // An entry inside the archive is not an archive of its own: the outer record says so.
    const std::uint64_t secondEntry = 4096 + 30 + 17 + 400 * KiB;
    EXPECT_EQ(run(secondEntry, Kind::zip), guessed(2 * MiB));
    // The nested archive itself.
    const std::uint64_t nested = secondEntry + 30 + 10;
    EXPECT_EQ(run(nested, Kind::zip), structural(inner.size()));
}

TEST(FileLengthEstimator, AZipMadeByTheZipToolEndsExactly) {
    if (!test::haveProgram("zip")) GTEST_SKIP() << "zip is not installed";
    test::TempDir dir;
    test::writeFile(dir / "a.bin", test::randomBytes(300 * KiB, 3));
    test::writeFile(dir / "b.txt", Bytes(5000, 'b'));
    test::runOrFail({"zip", "-q", "-j", (dir / "out.zip").string(), (dir / "a.bin").string(), (dir / "b.txt").string()});
    const Bytes archive = test::readFile(dir / "out.zip");
    Bytes device(1000, 0);
    device.insert(device.end(), archive.begin(), archive.end());
    device.resize(device.size() + 3 * MiB, 0);
    MemoryByteSource source(device);
    Estimate run(source);
    EXPECT_EQ(run(1000, Kind::zip), structural(archive.size()));
}

// An OLE2 file of version 3: header, one FAT sector (sector 0), a directory sector (1) and a chain of
// data sectors 2 .. dataSectors + 1.
Bytes compoundFile(std::uint32_t dataSectors) {
    Bytes out(512, 0);
    const Bytes signature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(signature.begin(), signature.end(), out.begin());
    setLE(out, 24, 0x3E, 2);
    setLE(out, 26, 3, 2);
    setLE(out, 28, 0xFFFE, 2);
    setLE(out, 30, 9, 2);
    setLE(out, 32, 6, 2);
    setLE(out, 44, 1, 4);          // one FAT sector
    setLE(out, 48, 1, 4);          // directory at sector 1
    setLE(out, 56, 4096, 4);
    setLE(out, 60, 0xFFFFFFFE, 4);
    setLE(out, 68, 0xFFFFFFFE, 4);
    for (int i = 0; i < 109; ++i) setLE(out, 76 + 4 * static_cast<std::size_t>(i), 0xFFFFFFFF, 4);
    setLE(out, 76, 0, 4);          // the FAT is sector 0
    Bytes fat(512, 0xFF);
    setLE(fat, 0, 0xFFFFFFFD, 4);
    setLE(fat, 4, 0xFFFFFFFE, 4);
    for (std::uint32_t s = 2; s < dataSectors + 2; ++s) setLE(fat, 4 * s, s + 1 == dataSectors + 2 ? 0xFFFFFFFE : s + 1, 4);
    out.insert(out.end(), fat.begin(), fat.end());
    out.resize(out.size() + 512 * (1 + std::size_t{dataSectors}), 0x44);
    return out;
}

TEST(FileLengthEstimator, ADocEndsAfterTheLastSectorItsTableUses) {
    const Bytes doc = compoundFile(20);
    test::SparseByteSource source(8 * MiB, 0x44);
    source.patch(512, doc);
    Estimate run(source);
    EXPECT_EQ(run(512, Kind::doc), structural(doc.size()));

    // A table that does not mark its own sector is not trusted.
    Bytes broken = doc;
    setLE(broken, 512, 0xFFFFFFFE, 4);
    source.patch(MiB, broken);
    EXPECT_EQ(run(MiB, Kind::doc), guessed(2 * MiB));
}

TEST(FileLengthEstimator, ReadFailuresPassToTheCaller) {
    test::SparseByteSource source(80 * MiB, 0);
    source.patch(0, pngStart());
    source.failReads(10 * MiB, 10 * MiB + 1);
    Estimate run(source);
    EXPECT_THROW(run(0, Kind::png), ByteSourceError);
}

} // namespace
} // namespace vantrel
