// The validators and capture-date readers on real files made by the usual Debian tools at test time:
// each kind whole, cut short and with damaged data. A test whose tool is missing is skipped.
#include "Vantrel/verify/CaptureDate.h"
#include "Vantrel/verify/HeifItems.h"
#include "Vantrel/verify/IntegrityCheck.h"
#include "recovery/carving/formats/MP3FrameWalk.h"

#include "tests/fixtures/SampleDocuments.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ctime>

namespace vantrel {
namespace {

using IntegrityCheck::Decode;
using test::runOrFail;

#define REQUIRE_PROGRAMS(...)                                                   \
    for (const char* program : {__VA_ARGS__})                                   \
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed"

constexpr HitIntegrity ok = HitIntegrity::ok;
constexpr HitIntegrity suspect = HitIntegrity::suspect;
constexpr HitIntegrity failed = HitIntegrity::failed;

Bytes head(const Bytes& bytes, std::size_t count) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count)); }

// The bytes with a run in the middle overwritten by pseudo-random ones.
Bytes damaged(Bytes bytes, std::size_t run = 400) {
    const Bytes noise = test::randomBytes(run, 7);
    for (std::size_t i = 0; i < run; ++i) bytes[bytes.size() / 2 + i] = noise[i];
    return bytes;
}

// The damage a card does to a file: a run of random bytes, a run of zeros, or part of the file replaced
// by another file's bytes (a fragment of something else carved into it).
enum class Damage { randomRun, zeroRun, splice };

Bytes withDamage(Bytes bytes, Damage damage, double where, const Bytes& other) {
    const auto at = static_cast<std::size_t>(static_cast<double>(bytes.size()) * where);
    switch (damage) {
    case Damage::randomRun: {
        const Bytes noise = test::randomBytes(512, static_cast<std::uint32_t>(at));
        std::copy(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(512, bytes.size() - at)),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at));
        break;
    }
    case Damage::zeroRun:
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                  bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 8192)), 0);
        break;
    case Damage::splice: {
        const std::size_t run = std::min(bytes.size() * 3 / 10, bytes.size() - at);
        for (std::size_t i = 0; i < run; ++i) bytes[at + i] = other[(i + 1000) % other.size()];
        break;
    }
    }
    return bytes;
}

const char* damageName(Damage damage) {
    switch (damage) {
    case Damage::randomRun: return "512 random bytes";
    case Damage::zeroRun: return "8 KiB of zeros";
    case Damage::splice: return "30 % spliced";
    }
    return "";
}

HitDate universal(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return std::chrono::system_clock::from_time_t(timegm(&fields));
}

class IntegrityFiles : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return (m_dir / name).string(); }
    Bytes read(const std::string& name) const { return test::readFile(m_dir / name); }

    // A noisy picture, which compresses about as badly as a photograph.
    std::string picture(const std::string& name, int width, int height) const {
        runOrFail({"convert", "-size", std::to_string(width) + "x" + std::to_string(height), "xc:gray", "+noise",
                   "Random", "-depth", "8", path(name)});
        return path(name);
    }
    Bytes jpeg(const std::vector<std::string>& exiftoolArguments = {}) const {
        runOrFail({"cjpeg", "-quality", "90", "-outfile", path("photo.jpg"), picture("photo.ppm", 640, 480)});
        exif("photo.jpg", exiftoolArguments);
        return read("photo.jpg");
    }
    Bytes converted(const std::string& name, const std::vector<std::string>& exiftoolArguments = {}) const {
        runOrFail({"convert", picture("source.ppm", 200, 150), path(name)});
        exif(name, exiftoolArguments);
        return read(name);
    }
    void exif(const std::string& name, const std::vector<std::string>& arguments) const {
        if (arguments.empty()) return;
        std::vector<std::string> command{"exiftool", "-q", "-overwrite_original"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        command.push_back(path(name));
        runOrFail(command);
    }
    // Uncompressed 16-bit samples with a camera maker's name: libraw takes it for that camera's raw file.
    Bytes nikonRaw(const std::vector<std::string>& exiftoolArguments = {}) const {
        runOrFail({"convert", "-size", "640x480", "xc:gray", "+noise", "Random", "-colorspace", "gray", "-depth", "16",
                   "-compress", "none", path("raw.tif")});
        std::vector<std::string> arguments{"-Make=NIKON CORPORATION", "-Model=NIKON D70"};
        arguments.insert(arguments.end(), exiftoolArguments.begin(), exiftoolArguments.end());
        exif("raw.tif", arguments);
        return read("raw.tif");
    }
    // A one-page PDF written by hand and rewritten by qpdf with a correct cross-reference table.
    Bytes pdf(bool locked = false) const {
        test::writeFile(m_dir / "hand.pdf", [] {
            const std::string text =
                "%PDF-1.4\n1 0 obj <</Type/Catalog/Pages 2 0 R>> endobj\n2 0 obj <</Type/Pages/Kids[3 0 R]/Count 1>> "
                "endobj\n3 0 obj <</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R>> endobj\n4 0 obj "
                "<</Length 28>> stream\n0 0 1 rg 20 20 160 160 re f\nendstream endobj\ntrailer <</Size 5/Root 1 0 R>>\n%%EOF\n";
            return Bytes(text.begin(), text.end());
        }());
        // qpdf exits 3 for "succeeded with warnings" on the hand-made cross-reference table.
        test::run({"qpdf", path("hand.pdf"), path("doc.pdf")});
        if (!locked) return read("doc.pdf");
        test::run({"qpdf", "--encrypt", "user", "owner", "256", "--", path("doc.pdf"), path("locked.pdf")});
        return read("locked.pdf");
    }

    // Pages that each show a photograph (a JPEG stream, as scanners and cameras make them), written
    // by hand and rewritten by qpdf; with objectStreams its objects are packed into compressed streams.
    Bytes picturePDF(int pages, bool objectStreams) const {
        const Bytes photoBytes = jpeg();
        std::string kids;
        for (int i = 0; i < pages; ++i) kids += std::to_string(3 + 3 * i) + " 0 R ";
        Bytes out;
        const auto add = [&out](const std::string& text) { out.insert(out.end(), text.begin(), text.end()); };
        add("%PDF-1.4\n1 0 obj <</Type/Catalog/Pages 2 0 R>> endobj\n2 0 obj <</Type/Pages/Kids[" + kids +
            "]/Count " + std::to_string(pages) + ">> endobj\n");
        for (int i = 0; i < pages; ++i) {
            const int page = 3 + 3 * i;
            const std::string draw = "q 640 0 0 480 0 0 cm /Im0 Do Q";
            add(std::to_string(page) + " 0 obj <</Type/Page/Parent 2 0 R/MediaBox[0 0 640 480]/Resources <</XObject <</Im0 " +
                std::to_string(page + 2) + " 0 R>>>>/Contents " + std::to_string(page + 1) + " 0 R>> endobj\n");
            add(std::to_string(page + 1) + " 0 obj <</Length " + std::to_string(draw.size()) + ">> stream\n" + draw +
                "\nendstream endobj\n");
            add(std::to_string(page + 2) + " 0 obj <</Type/XObject/Subtype/Image/Width 640/Height 480/ColorSpace/DeviceGray" +
                "/BitsPerComponent 8/Filter/DCTDecode/Length " + std::to_string(photoBytes.size()) + ">> stream\n");
            out.insert(out.end(), photoBytes.begin(), photoBytes.end());
            add("\nendstream endobj\n");
        }
        add("trailer <</Size " + std::to_string(3 + 3 * pages) + "/Root 1 0 R>>\n%%EOF\n");
        test::writeFile(m_dir / "pictures-hand.pdf", out);
        std::vector<std::string> command{"qpdf"};
        if (objectStreams) command.emplace_back("--object-streams=generate");
        command.insert(command.end(), {path("pictures-hand.pdf"), path("pictures.pdf")});
        test::run(command);
        return read("pictures.pdf");
    }

    // A smooth, photograph-like picture (fractal plasma) as an 8-bit PNG.
    std::string photo(const std::string& name, int width, int height) const {
        runOrFail({"convert", "-seed", "5", "-size", std::to_string(width) + "x" + std::to_string(height), "plasma:fractal",
                   "-blur", "0x1", "-depth", "8", "PNG24:" + path(name)});
        return path(name);
    }

    test::TempDir m_dir;
};

TEST_F(IntegrityFiles, JPEGDecodeTellsCleanCutAndCorrupt) {
    REQUIRE_PROGRAMS("convert", "cjpeg");
    const Bytes whole = jpeg();
    EXPECT_EQ(IntegrityCheck::decodeJPEG(whole), Decode::clean);
    EXPECT_EQ(IntegrityCheck::decodeJPEG(head(whole, whole.size() / 2)), Decode::cut);
    EXPECT_EQ(IntegrityCheck::decodeJPEG(damaged(whole)), Decode::bad);
    EXPECT_EQ(IntegrityCheck::decodeJPEG({}), Decode::bad);
}

TEST_F(IntegrityFiles, JPEGVerdicts) {
    REQUIRE_PROGRAMS("convert", "cjpeg");
    const Bytes whole = jpeg();
    EXPECT_EQ(IntegrityCheck::jpeg(whole, false), ok);
    // Cut: only a probe cut at the cap is ok.
    const Bytes cut = head(whole, whole.size() * 3 / 4);
    EXPECT_EQ(IntegrityCheck::jpeg(cut, false), suspect);
    EXPECT_EQ(IntegrityCheck::jpeg(cut, true), ok);
    // Corrupt data is suspect whether or not the end marker is there, and whatever the cap says.
    const Bytes corrupt = damaged(whole);
    EXPECT_EQ(IntegrityCheck::jpeg(corrupt, false), suspect);
    EXPECT_EQ(IntegrityCheck::jpeg(corrupt, true), suspect);
    Bytes corruptWithoutEnd(corrupt.begin(), corrupt.end() - 2);
    EXPECT_EQ(IntegrityCheck::jpeg(corruptWithoutEnd, false), suspect);
    // A 640 x 480 picture needs 25,600 bytes: a shorter head is a fragment.
    EXPECT_EQ(IntegrityCheck::jpeg(head(whole, 25'599), true), failed);
    // A picture of low detail that decodes whole is one, far below a byte per 12 pixels as it is; its head
    // is a fragment.
    runOrFail({"convert", photo("low.png", 640, 480), "-resize", "2592x1944!", "-blur", "0x12", "-quality", "30", path("low.jpg")});
    const Bytes low = read("low.jpg");
    ASSERT_LT(low.size(), 2592u * 1944 / 12);
    EXPECT_EQ(IntegrityCheck::jpeg(low, false), ok);
    EXPECT_EQ(IntegrityCheck::jpeg(head(low, low.size() / 2), false), failed);
}

TEST_F(IntegrityFiles, JPEGWithoutOnlyItsEndMarker) {
    REQUIRE_PROGRAMS("convert", "cjpeg");
    const Bytes whole = jpeg();
    // All the scan data and no end marker: the marker counts for nothing.
    const Bytes unended = head(whole, whole.size() - 2);
    EXPECT_TRUE(IntegrityCheck::completeWithoutEndMarker(unended));
    EXPECT_EQ(IntegrityCheck::jpeg(unended, false), ok);
    // Scan data that stops short is still cut, with or without a marker put after it.
    const Bytes cut = head(whole, whole.size() - 200);
    EXPECT_FALSE(IntegrityCheck::completeWithoutEndMarker(cut));
    EXPECT_EQ(IntegrityCheck::jpeg(cut, false), suspect);
    Bytes cutAndEnded = cut;
    cutAndEnded.push_back(0xFF);
    cutAndEnded.push_back(0xD9);
    EXPECT_EQ(IntegrityCheck::jpeg(cutAndEnded, false), suspect);
    // A progressive picture too.
    runOrFail({"cjpeg", "-progressive", "-quality", "90", "-outfile", path("prog.jpg"), path("photo.ppm")});
    const Bytes progressive = read("prog.jpg");
    EXPECT_EQ(IntegrityCheck::jpeg(head(progressive, progressive.size() - 2), false), ok);
    EXPECT_EQ(IntegrityCheck::jpeg(head(progressive, progressive.size() - 300), false), suspect);
}

TEST_F(IntegrityFiles, JPEGWithoutPicture) {
    EXPECT_EQ(IntegrityCheck::jpeg(Bytes{0xFF, 0xD8, 0xFF}, false), failed);
    EXPECT_EQ(IntegrityCheck::jpeg({}, false), failed);
    EXPECT_EQ(IntegrityCheck::jpeg(Bytes(5000, 0xFF), false), failed);  // no start-of-image marker
    // A start marker and then no frame header: a fragment below 4,096 bytes, suspect from there on.
    Bytes unframed = test::randomBytes(4096, 3);
    unframed[0] = 0xFF;
    unframed[1] = 0xD8;
    for (std::size_t i = 2; i < unframed.size(); ++i)
        if (unframed[i] == 0xFF) unframed[i] = 0;
    EXPECT_EQ(IntegrityCheck::jpeg(head(unframed, 4095), false), failed);
    EXPECT_EQ(IntegrityCheck::jpeg(unframed, false), suspect);
}

TEST_F(IntegrityFiles, PicturesThroughQtWholeCutAndDamaged) {
    REQUIRE_PROGRAMS("convert");
    const std::vector<std::pair<RecoveredFileKind, std::string>> kinds = {
        {RecoveredFileKind::png, "p.png"},   {RecoveredFileKind::gif, "p.gif"},  {RecoveredFileKind::bmp, "p.bmp"},
        {RecoveredFileKind::webp, "p.webp"}, {RecoveredFileKind::tiff, "p.tif"},
    };
    for (const auto& [kind, name] : kinds) {
        SCOPED_TRACE(name);
        const Bytes whole = converted(name);
        EXPECT_EQ(IntegrityCheck::image(kind, whole, false), ok);
        const Bytes cut = head(whole, whole.size() * 2 / 3);
        const HitIntegrity cutVerdict = IntegrityCheck::image(kind, cut, false);
        // ImageMagick writes a TIFF's directory after its strips: a cut one has no size left to read.
        EXPECT_EQ(cutVerdict, kind == RecoveredFileKind::tiff ? failed : suspect);
        if (kind != RecoveredFileKind::tiff) {
            EXPECT_EQ(IntegrityCheck::image(kind, cut, true), ok);
        }
        EXPECT_EQ(IntegrityCheck::image(kind, {}, true), failed);
    }
    // Damaged compressed data is suspect, also in a probe cut at the cap.
    const Bytes corrupt = damaged(read("p.png"), 300);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::png, corrupt, false), suspect);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::png, corrupt, true), suspect);
    for (const auto& [kind, name] : kinds) EXPECT_EQ(IntegrityCheck::image(kind, test::randomBytes(5000, 9), false), failed) << name;
}

// A bitmap stored top down states a negative height; it is as sound as one stored bottom up.
TEST_F(IntegrityFiles, TopDownBitmap) {
    REQUIRE_PROGRAMS("convert");
    Bytes bitmap = converted("up.bmp");
    const auto height = static_cast<std::int32_t>(FieldReader::u32le(bitmap, 22));
    ASSERT_GT(height, 0);
    // Flip the rows and the sign of the height.
    const std::uint32_t dataAt = FieldReader::u32le(bitmap, 10);
    const std::size_t row = (bitmap.size() - dataAt) / static_cast<std::size_t>(height);
    Bytes flipped(bitmap.begin(), bitmap.begin() + dataAt);
    for (std::int32_t r = height - 1; r >= 0; --r) {
        const auto from = bitmap.begin() + dataAt + static_cast<std::ptrdiff_t>(row) * r;
        flipped.insert(flipped.end(), from, from + static_cast<std::ptrdiff_t>(row));
    }
    const auto negative = static_cast<std::uint32_t>(-height);
    for (int i = 0; i < 4; ++i) flipped[22 + i] = static_cast<std::uint8_t>(negative >> (8 * i));
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::bmp, flipped, false), ok);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::bmp, head(flipped, flipped.size() / 2), false), suspect);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::bmp, head(flipped, flipped.size() / 2), true), ok);
}

TEST_F(IntegrityFiles, HEICAndAVIFWholeCutAndFragments) {
    REQUIRE_PROGRAMS("convert", "heif-enc");
    runOrFail({"convert", picture("h.ppm", 320, 240), "PNG24:" + path("h.png")});
    runOrFail({"heif-enc", "-q", "60", "-o", path("p.heic"), path("h.png")});
    runOrFail({"heif-enc", "-A", "-q", "60", "-o", path("p.avif"), path("h.png")});
    for (const auto& [kind, name] : {std::pair{RecoveredFileKind::heic, "p.heic"}, {RecoveredFileKind::avif, "p.avif"}}) {
        SCOPED_TRACE(name);
        const Bytes whole = read(name);
        EXPECT_EQ(IntegrityCheck::image(kind, whole, false), ok);
        // The boxes run past the bytes: never ok, not a fragment either.
        EXPECT_EQ(IntegrityCheck::image(kind, head(whole, whole.size() * 2 / 3), false), suspect);
        EXPECT_EQ(IntegrityCheck::image(kind, head(whole, 100), false), suspect);
        EXPECT_EQ(IntegrityCheck::image(kind, test::randomBytes(4000, 4), false), failed);
    }
}

// Real encoder output (heif-enc and ImageMagick) damaged as cards damage files, at three places each:
// every class must be seen, while the sound files stay ok.
TEST_F(IntegrityFiles, HEICAndAVIFDamageIsSeen) {
    REQUIRE_PROGRAMS("convert", "heif-enc", "qpdf");
    const std::string source = photo("photo.png", 960, 720);
    runOrFail({"heif-enc", "-q", "80", "-o", path("enc.heic"), source});
    runOrFail({"heif-enc", "-A", "-q", "60", "-o", path("enc.avif"), source});
    runOrFail({"convert", source, path("im.heic")});
    runOrFail({"convert", source, path("im.avif")});
    // Spliced in: a photograph's bytes, the most common neighbour on a card. Seeded, so that every run
    // splices the same bytes: a splice whose bytes happen to end a picture's slice where a sound one
    // ends is not seen by any decoder.
    runOrFail({"convert", "-seed", "11", "-size", "640x480", "xc:gray", "+noise", "Random", "-depth", "8", path("other.ppm")});
    runOrFail({"cjpeg", "-quality", "90", "-outfile", path("other.jpg"), path("other.ppm")});
    const Bytes other = read("other.jpg");
    for (const auto& [kind, name] : {std::pair{RecoveredFileKind::heic, "enc.heic"}, {RecoveredFileKind::heic, "im.heic"},
                                     {RecoveredFileKind::avif, "enc.avif"}, {RecoveredFileKind::avif, "im.avif"}}) {
        const Bytes whole = read(name);
        EXPECT_EQ(IntegrityCheck::image(kind, whole, false), ok) << name;
        for (const Damage damage : {Damage::randomRun, Damage::zeroRun, Damage::splice})
            for (const double where : {0.3, 0.5, 0.7})
                EXPECT_NE(IntegrityCheck::image(kind, withDamage(whole, damage, where, other), false), ok)
                    << name << ", " << damageName(damage) << " at " << where;
    }
}

// A picture larger than the probe cap: the probe holds its boxes and the first part of its data, and
// is judged on the pictures it holds whole (libheif refuses such a file outright).
TEST_F(IntegrityFiles, HEICCutAtTheCap) {
    REQUIRE_PROGRAMS("convert", "heif-enc");
    runOrFail({"heif-enc", "-q", "80", "-o", path("big.heic"), photo("photo.png", 960, 720)});
    const Bytes probe = head(read("big.heic"), read("big.heic").size() * 2 / 3);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::heic, probe, true), ok);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::heic, probe, false), suspect);
    const auto primary = HeifItems::primary(probe);
    ASSERT_TRUE(primary);
    EXPECT_EQ(primary->width, 960U);
    EXPECT_EQ(primary->height, 720U);
    ASSERT_EQ(primary->items.size(), 1U);
    EXPECT_FALSE(HeifItems::inside(primary->items[0], probe.size()));
    EXPECT_TRUE(HeifItems::inside(primary->items[0], read("big.heic").size()));
}

TEST_F(IntegrityFiles, CameraRawThroughLibraw) {
    REQUIRE_PROGRAMS("convert", "exiftool");
    const Bytes whole = nikonRaw();
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::nef, whole, false), ok);
    const Bytes cut = head(whole, whole.size() / 2);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::nef, cut, false), suspect);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::nef, cut, true), ok);
    EXPECT_EQ(IntegrityCheck::image(RecoveredFileKind::cr2, test::randomBytes(4000, 5), false), failed);
}

TEST_F(IntegrityFiles, PDFThroughPoppler) {
    REQUIRE_PROGRAMS("qpdf");
    const Bytes whole = pdf();
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(IntegrityCheck::pdf(whole, false), ok);
    EXPECT_EQ(IntegrityCheck::pdf(pdf(true), false), suspect);
    // Without its end poppler opens it only by rebuilding it.
    const Bytes unended = head(whole, whole.size() - 30);
    EXPECT_EQ(IntegrityCheck::pdf(unended, false), suspect);
    EXPECT_EQ(IntegrityCheck::pdf(unended, true), ok);
    const Bytes early = head(whole, 60);
    EXPECT_EQ(IntegrityCheck::pdf(early, false), failed);
    EXPECT_EQ(IntegrityCheck::pdf(early, true), suspect);
    EXPECT_EQ(IntegrityCheck::pdf(test::randomBytes(60, 1), true), failed);
    EXPECT_EQ(IntegrityCheck::pdf({}, false), failed);
}

// Real documents (from Debian's documentation packages, and pages of photographs made here) with
// damaged objects or streams behind an intact end: poppler's complaints while every page is read make
// them suspect. Padding after a sound end does not.
TEST_F(IntegrityFiles, PDFDamageBehindAnIntactEnd) {
    REQUIRE_PROGRAMS("qpdf", "convert", "cjpeg");
    std::vector<Bytes> documents;
    for (const char* shipped : {"/usr/share/doc/libtasn1-doc/libtasn1.pdf", "/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf"})
        if (std::filesystem::exists(shipped)) documents.push_back(test::readFile(shipped));
    documents.push_back(picturePDF(3, false));
    documents.push_back(picturePDF(3, true));
    const Bytes other = jpeg();
    for (std::size_t d = 0; d < documents.size(); ++d) {
        SCOPED_TRACE("document " + std::to_string(d));
        const Bytes& whole = documents[d];
        EXPECT_EQ(IntegrityCheck::pdf(whole, false), ok);
        Bytes padded = whole;
        padded.insert(padded.end(), 4096, 0);
        EXPECT_EQ(IntegrityCheck::pdf(padded, false), ok);
        const Bytes noise = test::randomBytes(2048, 8);
        padded.insert(padded.end(), noise.begin(), noise.end());
        EXPECT_EQ(IntegrityCheck::pdf(padded, false), ok);
        for (const Damage damage : {Damage::randomRun, Damage::zeroRun, Damage::splice})
            for (const double where : {0.3, 0.5, 0.7})
                EXPECT_NE(IntegrityCheck::pdf(withDamage(whole, damage, where, other), false), ok)
                    << damageName(damage) << " at " << where;
    }
}

// The positions of a ZIP's local headers, in the order zip wrote them.
std::vector<std::size_t> localHeaders(const Bytes& zip) {
    std::vector<std::size_t> found;
    for (std::size_t at = 0; at + 30 <= zip.size(); at += 30 + FieldReader::u16le(zip, static_cast<std::int64_t>(at + 26)) +
                                                        FieldReader::u16le(zip, static_cast<std::int64_t>(at + 28)) +
                                                        FieldReader::u32le(zip, static_cast<std::int64_t>(at + 18))) {
        if (!FieldReader::matches(zip, static_cast<std::int64_t>(at), "PK\x03\x04")) break;
        found.push_back(at);
    }
    return found;
}

Bytes flipped(Bytes bytes, std::size_t at) {
    bytes.at(at) ^= 0x10;
    return bytes;
}

struct VerdictCase {
    const char* what;
    Bytes bytes;
    bool cutAtCap;
    HitIntegrity expected;
};

TEST_F(IntegrityFiles, ZIPVerdicts) {
    const auto zip = test::zipArchive(m_dir.path());
    if (!zip) GTEST_SKIP() << "zip or its sample files missing";
    const std::vector<std::size_t> headers = localHeaders(*zip);
    ASSERT_EQ(headers.size(), 3u);
    const auto dataOf = [&](std::size_t header) {
        return header + 30 + FieldReader::u16le(*zip, static_cast<std::int64_t>(header + 26)) +
               FieldReader::u16le(*zip, static_cast<std::int64_t>(header + 28));
    };
    ASSERT_EQ(FieldReader::u16le(*zip, static_cast<std::int64_t>(headers[0] + 8)), 8) << "the license is deflated";
    ASSERT_EQ(FieldReader::u16le(*zip, static_cast<std::int64_t>(headers[2] + 8)), 0) << "the picture is stored";
    const Bytes half = head(*zip, zip->size() / 2);
    const VerdictCase cases[] = {
        {"whole", *zip, false, ok},
        {"with trailing bytes", [&] { Bytes b = *zip; b.resize(b.size() + 3000, 0); return b; }(), false, ok},
        {"a byte flipped in the deflated entry", flipped(*zip, dataOf(headers[0]) + 700), false, suspect},
        {"a byte flipped in the stored entry", flipped(*zip, dataOf(headers[2]) + 300), false, suspect},
        {"a byte flipped in a local header's name", flipped(*zip, headers[1] + 31), false, suspect},
        {"the directory a byte off", test::withEntryMisdirected(*zip, 1), false, suspect},
        {"cut in half", half, false, suspect},
        {"cut in half at the cap", half, true, ok},
        {"cut at the cap in the last entry, the first damaged", head(flipped(*zip, dataOf(headers[0]) + 700), dataOf(headers[2]) + 100),
         true, suspect},
        {"cut at the cap in the last entry", head(*zip, dataOf(headers[2]) + 100), true, ok},
        {"random bytes", test::randomBytes(5000, 3), false, failed},
        {"nothing", {}, false, failed},
    };
    for (const VerdictCase& c : cases) EXPECT_EQ(IntegrityCheck::verdict(RecoveredFileKind::zip, c.bytes, c.cutAtCap), c.expected) << c.what;
}

TEST_F(IntegrityFiles, MP3Verdicts) {
    const auto mp3 = test::mp3Tone(m_dir.path(), 3);
    if (!mp3) GTEST_SKIP() << "sox or lame missing";
    // The header of a frame near the middle, its version made a reserved one.
    std::size_t frame = MP3FrameWalk::id3v2Length(*mp3).value_or(0);
    while (frame < mp3->size() / 2) frame += MP3FrameWalk::frameHeader(FieldReader::u32be(*mp3, static_cast<std::int64_t>(frame)))->length;
    Bytes spliced = *mp3;
    const Bytes foreign = test::randomBytes(4096, 9);
    std::copy(foreign.begin(), foreign.end(), spliced.begin() + static_cast<std::ptrdiff_t>(spliced.size() / 3));
    const Bytes untagged(mp3->begin() + static_cast<std::ptrdiff_t>(MP3FrameWalk::id3v2Length(*mp3).value_or(0)), mp3->end());
    const Bytes cut = head(*mp3, mp3->size() * 2 / 3 + 7);
    const VerdictCase cases[] = {
        {"whole", *mp3, false, ok},
        {"without its ID3v2 tag", untagged, false, ok},
        {"without its ID3v1 tag", head(*mp3, mp3->size() - 128), false, ok},
        {"a frame header's byte flipped", flipped(*mp3, frame + 1), false, suspect},
        {"4 KiB of another file inside", spliced, false, suspect},
        {"cut inside a frame", cut, false, suspect},
        {"cut inside a frame at the cap", cut, true, ok},
        {"random bytes", test::randomBytes(20'000, 4), false, failed},
        {"nothing", {}, false, failed},
    };
    for (const VerdictCase& c : cases) EXPECT_EQ(IntegrityCheck::verdict(RecoveredFileKind::mp3, c.bytes, c.cutAtCap), c.expected) << c.what;
}

// A manual from Debian's documentation with 512 random bytes inside an embedded TrueType font: the
// reader draws its pages in a fallback font without a word, but the font's stream no longer inflates.
TEST_F(IntegrityFiles, PDFWithADamagedFontStream) {
    const auto pdf = test::shippedPDF();
    if (!pdf) GTEST_SKIP() << test::shippedPDFPath << " missing";
    EXPECT_EQ(IntegrityCheck::pdf(*pdf, false), ok);
    // The stream of the first font file: "/FontFile2 n 0 R", then object n's data after "stream".
    const std::string_view text(reinterpret_cast<const char*>(pdf->data()), pdf->size());
    const auto reference = text.find("/FontFile2 ");
    ASSERT_NE(reference, std::string_view::npos);
    const std::string object = std::string(text.substr(reference + 11, text.find(' ', reference + 11) - reference - 11));
    const auto header = text.find("\n" + object + " 0 obj");
    ASSERT_NE(header, std::string_view::npos);
    const auto data = text.find("stream", header) + 7;
    const auto end = text.find("endstream", data);
    ASSERT_GT(end - data, 4096u);
    Bytes damaged = *pdf;
    const Bytes noise = test::randomBytes(512, 11);
    std::copy(noise.begin(), noise.end(), damaged.begin() + static_cast<std::ptrdiff_t>(data + (end - data) / 2));
    EXPECT_NE(IntegrityCheck::pdf(damaged, false), ok);
}

TEST(IntegrityCheck, KindTable) {
    const Bytes anything = test::randomBytes(100, 2);
    for (const RecoveredFileKind kind : FileKind::allKinds()) {
        const bool checkable = FileKind::isImage(kind) || kind == RecoveredFileKind::pdf ||
                               kind == RecoveredFileKind::zip || kind == RecoveredFileKind::mp3;
        EXPECT_EQ(IntegrityCheck::isCheckable(kind), checkable) << FileKind::rawValue(kind);
        const HitIntegrity expected = checkable ? failed : HitIntegrity::skipped;
        EXPECT_EQ(IntegrityCheck::verdict(kind, checkable ? Bytes{} : anything, false), expected)
            << FileKind::rawValue(kind);
    }
}

// Dates are read in a fixed zone far from universal time, so a date moved by the zone would show.
class CaptureDates : public IntegrityFiles {
protected:
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        m_savedZone = zone ? std::optional<std::string>(zone) : std::nullopt;
        ::setenv("TZ", "America/New_York", 1);
        ::tzset();
    }
    void TearDown() override {
        if (m_savedZone) ::setenv("TZ", m_savedZone->c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> m_savedZone;
};

TEST_F(CaptureDates, TheCameraClockIsKeptAsItsFaceWhateverTheZoneAndTheOffset) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    // 12:00 on the camera stays 12:00, also in New York; a recorded offset is kept, not applied.
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, jpeg({"-DateTimeOriginal=2021:06:01 12:00:00"})),
              universal(2021, 6, 1, 12, 0, 0));
    const Bytes withOffset = jpeg({"-DateTimeOriginal=2021:06:01 23:30:00", "-OffsetTimeOriginal=+02:00"});
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, withOffset), universal(2021, 6, 1, 23, 30, 0));
    const auto stamp = CaptureDate::stampFromImageData(RecoveredFileKind::jpeg, withOffset);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(CaptureDate::offsetMinutes(*stamp), 120);
}

TEST_F(CaptureDates, OriginalThenDigitizedThenDateTime) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, jpeg({"-DateTimeOriginal=2020:01:02 03:04:05",
                                                         "-CreateDate=2020:02:02 03:04:05",
                                                         "-ModifyDate=2020:03:02 03:04:05"})),
              universal(2020, 1, 2, 3, 4, 5));
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg,
                          jpeg({"-CreateDate=2020:02:02 03:04:05", "-ModifyDate=2020:03:02 03:04:05"})),
              universal(2020, 2, 2, 3, 4, 5));
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, jpeg({"-ModifyDate=2020:03:02 03:04:05"})),
              universal(2020, 3, 2, 3, 4, 5));
    // Blanks and an unset camera clock are no date; a blank original falls back to the next one.
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, jpeg({"-DateTimeOriginal#=                   "})), std::nullopt);
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg,
                          jpeg({"-DateTimeOriginal=0000:00:00 00:00:00", "-ModifyDate=2020:03:02 03:04:05"})),
              universal(2020, 3, 2, 3, 4, 5));
    EXPECT_EQ(captureDate(RecoveredFileKind::jpeg, jpeg()), std::nullopt);
    EXPECT_EQ(captureDate(RecoveredFileKind::pdf, jpeg({"-ModifyDate=2020:03:02 03:04:05"})), std::nullopt);
}

TEST_F(CaptureDates, EveryPictureFormatWithEXIF) {
    REQUIRE_PROGRAMS("convert", "exiftool", "heif-enc");
    const HitDate expected = universal(2019, 7, 4, 8, 9, 10);
    const std::vector<std::string> stamp{"-DateTimeOriginal=2019:07:04 08:09:10"};
    for (const auto& [kind, name] : {std::pair{RecoveredFileKind::png, "d.png"}, {RecoveredFileKind::webp, "d.webp"},
                                     {RecoveredFileKind::tiff, "d.tif"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(captureDate(kind, converted(name, stamp)), expected);
    }
    EXPECT_EQ(captureDate(RecoveredFileKind::nef, nikonRaw(stamp)), expected);
    runOrFail({"convert", picture("h.ppm", 64, 48), "PNG24:" + path("h.png")});
    runOrFail({"heif-enc", "-q", "60", "-o", path("d.heic"), path("h.png")});
    exif("d.heic", stamp);
    EXPECT_EQ(captureDate(RecoveredFileKind::heic, read("d.heic")), expected);
}

TEST(CaptureStampText, OnlyValidDatesAndOffsets) {
    EXPECT_EQ(CaptureDate::toDate({"2021:06:01 12:00:00", "+00:00"}), universal(2021, 6, 1, 12, 0, 0));
    EXPECT_EQ(CaptureDate::toDate({"2021:06:01 12:00:00", "-05:30"}), universal(2021, 6, 1, 12, 0, 0)) << "kept, not applied";
    EXPECT_EQ(CaptureDate::offsetMinutes({"2021:06:01 12:00:00", "-05:30"}), -330);
    EXPECT_EQ(CaptureDate::offsetMinutes({"2021:06:01 12:00:00", std::nullopt}), std::nullopt);
    EXPECT_EQ(CaptureDate::toDate({"2024:02:29 00:00:00", "+00:00"}), universal(2024, 2, 29, 0, 0, 0));
    for (const char* text : {"2023:02:29 00:00:00", "2021:13:01 12:00:00", "2021:06:01 24:00:00", "2021-06-01 12:00:00",
                             "2021:06:01 12:00", "", "0000:00:00 00:00:00", "2021:06:01 12:00:0x"})
        EXPECT_EQ(CaptureDate::toDate({text, std::nullopt}), std::nullopt) << text;
    for (const char* offset : {"02:00", "+2:00", "+15:00", "+02:60", "+02-00"})
        EXPECT_EQ(CaptureDate::toDate({"2021:06:01 12:00:00", offset}), std::nullopt) << offset;
}

} // namespace
} // namespace vantrel
