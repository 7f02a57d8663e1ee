// The structure checks of a run of clusters, on files made by zip, lame and a shipped manual, laid out
// as a card lays them out: one file in one piece, or two files written at the same time, their
// clusters alternating, read as one run from the first file's start.
#include "recovery/carving/RunStructureCheck.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/SampleDocuments.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

constexpr std::uint64_t clusterBytes = 2048;
constexpr std::uint64_t runOffset = 4096;

// The two files' bytes in pieces of pieceClusters clusters, first's first, one after the other until
// both are placed, each piece padded to whole clusters.
Bytes alternating(const Bytes& first, const Bytes& second, std::uint64_t pieceClusters) {
    const std::uint64_t piece = pieceClusters * clusterBytes;
    Bytes out;
    for (std::uint64_t at = 0; at < std::max(first.size(), second.size()); at += piece) {
        for (const Bytes* file : {&first, &second}) {
            const std::uint64_t from = std::min<std::uint64_t>(at, file->size());
            const std::uint64_t to = std::min<std::uint64_t>(at + piece, file->size());
            out.insert(out.end(), file->begin() + static_cast<std::ptrdiff_t>(from), file->begin() + static_cast<std::ptrdiff_t>(to));
            out.resize(out.size() + (piece - (to - from)) % piece, 0);
        }
    }
    return out;
}

// The run of length bytes at runOffset of a device that holds the bytes there.
RunVerdict verdictOn(RecoveredFileKind kind, const Bytes& bytes, std::uint64_t length) {
    Bytes device(runOffset, 0xE5);
    device.insert(device.end(), bytes.begin(), bytes.end());
    device.resize(device.size() + 3 * clusterBytes, 0);
    MemoryByteSource source(std::move(device));
    return RunStructureCheck::holdsOneFile(kind, source, runOffset, length, clusterBytes);
}

TEST(RunStructureCheck, WholeFilesPassAndAlternatingClustersDoNot) {
    test::TempDir dir;
    const auto zip = test::zipArchive(dir.path());
    const auto mp3 = test::mp3Tone(dir.path(), 4);
    const auto pdf = test::shippedPDF();
    if (!zip || !mp3 || !pdf) GTEST_SKIP() << "zip, sox, lame or " << test::shippedPDFPath << " missing";

    // A PDF whose first object in use is listed a byte off.
    Bytes shifted = *pdf;
    const std::string_view text(reinterpret_cast<const char*>(shifted.data()), shifted.size());
    const auto entry = text.find(" 00000 n", text.rfind("\nxref")) - 10;
    ++shifted[entry + 9];

    const struct {
        const char* what;
        RecoveredFileKind kind;
        Bytes bytes;
        std::uint64_t length;
        RunVerdict expected;
    } cases[] = {
        {"zip whole", K::zip, *zip, zip->size(), RunVerdict::whole},
        {"zip, its directory a byte off", K::zip, test::withEntryMisdirected(*zip, 2), zip->size(), RunVerdict::broken},
        {"zip cut at a cluster", K::zip, *zip, 8 * clusterBytes, RunVerdict::broken},
        {"zip alternating with an mp3", K::zip, alternating(*zip, *mp3, 2), zip->size(), RunVerdict::broken},
        {"docx alternating with an mp3", K::docx, alternating(*zip, *mp3, 3), zip->size(), RunVerdict::broken},
        {"mp3 whole", K::mp3, *mp3, mp3->size(), RunVerdict::whole},
        {"mp3 alternating with a zip", K::mp3, alternating(*mp3, *zip, 2), mp3->size(), RunVerdict::broken},
        {"mp3 alternating with another mp3", K::mp3, alternating(*mp3, Bytes(mp3->begin() + 1000, mp3->end()), 1),
         mp3->size(), RunVerdict::broken},
        {"pdf whole", K::pdf, *pdf, pdf->size(), RunVerdict::whole},
        {"pdf, an object a byte off", K::pdf, shifted, pdf->size(), RunVerdict::broken},
        {"pdf alternating with a zip", K::pdf, alternating(*pdf, *zip, 2), pdf->size(), RunVerdict::broken},
        {"pdf cut at a cluster", K::pdf, *pdf, 10 * clusterBytes, RunVerdict::broken},
        {"jpeg is not judged", K::jpeg, *zip, zip->size(), RunVerdict::unknown},
        {"a zip that does not start with an entry", K::zip, test::randomBytes(20'000, 3), 20'000, RunVerdict::unknown},
        {"an mp3 without frames", K::mp3, test::randomBytes(20'000, 4), 20'000, RunVerdict::unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(verdictOn(c.kind, c.bytes, c.length), c.expected) << c.what;
}

// A run that reaches past the device's end is not read.
TEST(RunStructureCheck, ARunPastTheDeviceIsNotJudged) {
    MemoryByteSource source(test::randomBytes(8192, 5));
    EXPECT_EQ(RunStructureCheck::holdsOneFile(RecoveredFileKind::zip, source, 4096, 8192, clusterBytes), RunVerdict::unknown);
}

} // namespace
} // namespace vantrel
