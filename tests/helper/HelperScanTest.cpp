// Scans through the real helper: every hit streamed to the client and extracted byte-identical, over
// a spawned and a shared helper; cancel, extraction during a scan, and a client that goes away.

#include "HelperHarness.h"
#include "support/VantrelError.h"

#include "recovery/model/DetectedFileSystem.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <map>

namespace vantrel {
namespace {

using test::SpawnedHelper;

// Large enough that a scan of it is still running when the test acts on it; sparse, so it costs no disk.
constexpr std::uint64_t longImageBytes = 65536 * mebibyte;

const std::vector<std::string> allKinds = {"jpeg", "png", "gif", "pdf", "zip", "docx"};

std::optional<ErrorObject> scan(VantrelHelperProtocol& helper, const std::string& image, const std::string& mode = "standard") {
    test::ErrorAnswer answer;
    helper.startScanWithPath(image, 0, 0, 0, allKinds, mode, answer.callback());
    return test::waitError(answer);
}

// Extracts the hit as the application would and answers its bytes.
Bytes extractHit(VantrelHelperProtocol& helper, const std::string& image, const HelperHitDTO& hit,
                 const std::filesystem::path& destination) {
    test::ErrorAnswer answer;
    helper.extractHitWithPath(image, static_cast<std::int64_t>(hit.byteOffset), static_cast<std::int64_t>(hit.byteLength),
                              destination, SpawnedHelper::destination(destination), hit.source, hit.firstCluster,
                              static_cast<std::int64_t>(hit.partitionOffset), hit.fileSystem,
                              static_cast<std::int64_t>(hit.secondOffset), static_cast<std::int64_t>(hit.secondLength),
                              answer.callback());
    const auto error = test::waitError(answer);
    EXPECT_FALSE(error) << error->message;
    return test::readFile(destination);
}

Bytes slice(const Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    const auto end = std::min<std::uint64_t>(bytes.size(), offset + length);
    return offset >= end ? Bytes{} : Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

// Checks that every hit extracts to the original (found by kind: one original of each) or, for carved
// hits, to the image's bytes.
void expectEveryHitExtracts(VantrelHelperProtocol& helper, const std::filesystem::path& image, const std::vector<HelperHitDTO>& hits,
                            const std::map<std::string, Bytes>& originals, const test::TempDir& dir) {
    const auto imageBytes = test::readFile(image);
    int index = 0;
    for (const auto& hit : hits) {
        const auto extracted = extractHit(helper, image, hit, dir / ("hit" + std::to_string(index++)));
        if (hit.source == "signatureCarve") {
            EXPECT_EQ(extracted, slice(imageBytes, hit.byteOffset, hit.byteLength)) << hit.kind << " @" << hit.byteOffset;
            continue;
        }
        const auto original = originals.find(hit.kind);
        ASSERT_NE(original, originals.end()) << hit.kind;
        EXPECT_EQ(extracted, original->second) << hit.suggestedName;
    }
}

bool hasUndeleted(const std::vector<HelperHitDTO>& hits, const std::string& kind, const std::string& source) {
    return std::any_of(hits.begin(), hits.end(), [&](const HelperHitDTO& hit) { return hit.kind == kind && hit.source == source; });
}

TEST(HelperScan, StreamsEveryHitOfAFatImageAndExtractsThemByteIdentical) {
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    test::TempDir dir;
    const std::map<std::string, Bytes> originals = {
        {"jpeg", test::SampleContent::jpeg(640, 480, 60000, 31)},
        {"png", test::SampleContent::png(200, 100, 20000, 32)},
        {"pdf", test::SampleContent::pdf(40000, 33)},
    };
    test::FatImageBuilder fat(dir / "card.img", 40 * mebibyte, 0, 40 * mebibyte);
    fat.format(32, {"-s", "1"});
    fat.makeDirectory("/DCIM");
    fat.copyIn(originals.at("jpeg"), "/DCIM/gone.jpg");
    fat.copyIn(test::SampleContent::jpeg(320, 240, 30000, 34), "/DCIM/live.jpg");
    fat.copyIn(originals.at("png"), "/gone.png");
    fat.copyIn(originals.at("pdf"), "/gone.pdf");
    fat.remove("/DCIM/gone.jpg");
    fat.remove("/gone.png");
    fat.remove("/gone.pdf");

    SpawnedHelper spawned;
    const auto error = scan(*spawned.helper, fat.image());
    ASSERT_FALSE(error) << error->message;
    const auto hits = spawned.client.hits();
    for (const auto& [kind, bytes] : originals) EXPECT_TRUE(hasUndeleted(hits, kind, "fatUndelete")) << kind;
    EXPECT_TRUE(spawned.client.saw("Opening " + fat.image().string()));
    EXPECT_TRUE(spawned.client.saw("Read OK — scanning"));
    EXPECT_TRUE(spawned.client.saw("Scan complete"));
    const auto progress = spawned.client.progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().scanned, 0);
    EXPECT_EQ(progress.back().scanned, static_cast<std::int64_t>(40 * mebibyte));
    expectEveryHitExtracts(*spawned.helper, fat.image(), hits, originals, dir);
}

TEST(HelperScan, HitsReadFromTheirBatchesTextAreTheHitsTheLibraryReads) {
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    test::TempDir dir;
    // Names in other scripts, with the characters FAT allows beside letters, in folders, deleted and kept.
    test::FatImageBuilder fat(dir / "card.img", 40 * mebibyte, 0, 40 * mebibyte);
    fat.format(32, {"-s", "1"});
    fat.makeDirectory("/DCIM");
    fat.makeDirectory("/DCIM/Grüße 日本");
    const std::vector<std::string> deleted{"/DCIM/Grüße 日本/Straße über.jpg", "/DCIM/it's (1) + 2; a=b,c.jpg", "/Ärger.png",
                                           "/A very long name of a holiday photo taken at the sea in the evening.jpg", "/Résumé.pdf"};
    std::uint32_t seed = 40;
    for (const auto& path : deleted) {
        const bool png = path.ends_with(".png"), pdf = path.ends_with(".pdf");
        fat.copyIn(png ? test::SampleContent::png(120, 80, 12000, ++seed)
                       : pdf ? test::SampleContent::pdf(20000, ++seed) : test::SampleContent::jpeg(320, 240, 30000, ++seed),
                   path);
    }
    fat.copyIn(test::SampleContent::jpeg(640, 480, 50000, ++seed), "/DCIM/Grüße 日本/kept 写真.jpg");
    for (const auto& path : deleted) fat.remove(path);

    // The same scan read by the JSON library and from the batches' text.
    SpawnedHelper library;
    SpawnedHelper fromText({"--allow-image-files"}, {}, true);
    for (auto* spawned : {&library, &fromText}) {
        const auto error = scan(*spawned->helper, fat.image());
        ASSERT_FALSE(error) << error->message;
    }
    const auto hits = library.client.hits();
    EXPECT_EQ(fromText.client.hits(), hits);
    ASSERT_GE(hits.size(), deleted.size());
    EXPECT_TRUE(std::any_of(hits.begin(), hits.end(), [](const HelperHitDTO& hit) { return hit.suggestedName == "Straße über.jpg"; }));

    // The helper's text of each record is taken by the reader and read as the library reads it, one to a
    // packet and all in one.
    for (const auto& hit : hits) {
        const auto packet = test::hitBatch({hit});
        ASSERT_TRUE(test::readerReading(packet)) << packet;
        EXPECT_EQ(test::readerReading(packet), test::libraryReading(packet)) << packet;
    }
    EXPECT_EQ(test::readerReading(test::hitBatch(hits)), test::libraryReading(test::hitBatch(hits)));
}

TEST(HelperScan, StreamsTheDeletedFilesOfAnExFatImageAndExtractsThemByteIdentical) {
    if (!test::haveProgram("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat is not installed";
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, Bytes(8 * mebibyte));
    test::runOrFail({"mkfs.exfat", "-c", "4096", image.string()});
    const std::map<std::string, Bytes> originals = {
        {"jpeg", test::SampleContent::jpeg(640, 480, 50000, 61)},
        {"png", test::SampleContent::png(300, 200, 30000, 62)},
    };
    test::ExFatImageWriter writer(test::readFile(image));
    const auto dcim = writer.addDirectory(writer.rootCluster(), "DCIM");
    test::ExFatFileOptions deleted;
    deleted.deleted = true;
    writer.addFile(dcim.firstCluster, "gone.jpg", originals.at("jpeg"), deleted);
    writer.addFile(writer.rootCluster(), "live.pdf", test::SampleContent::pdf(20000, 63));
    // A fragmented file whose chain the deleting driver left in the FAT.
    test::ExFatFileOptions chainedDeleted = deleted;
    chainedDeleted.noFatChain = false;
    chainedDeleted.clusters = {200, 201, 202, 210, 211, 212, 213, 214};
    writer.addFile(writer.rootCluster(), "gone.png", originals.at("png"), chainedDeleted);
    test::writeFile(image, writer.image());

    SpawnedHelper spawned;
    const auto error = scan(*spawned.helper, image);
    ASSERT_FALSE(error) << error->message;
    const auto hits = spawned.client.hits();
    for (const auto& [kind, bytes] : originals) EXPECT_TRUE(hasUndeleted(hits, kind, "exfatUndelete")) << kind;
    expectEveryHitExtracts(*spawned.helper, image, hits, originals, dir);
}

TEST(HelperScan, SharedHelperScansAnHfsPlusImage) {
    test::TempDir dir;
    const std::map<std::string, Bytes> originals = {{"jpeg", test::SampleContent::jpeg(800, 600, 90000, 41)}};
    test::HfsPlusImageBuilder hfs;
    hfs.addFile(test::HfsPlusImageBuilder::rootFolderId, "photo.jpg", originals.at("jpeg"));
    const auto image = dir / "hfs.img";
    test::writeFile(image, hfs.build());

    const auto socketPath = (dir / "helper.sock").string();
    test::HelperProcess process({"--listen", socketPath, "--allow-image-files"});
    ASSERT_TRUE(test::waitForSocket(socketPath));
    test::SocketApplication application(socketPath);

    const auto error = scan(application.helper, image, "quickUndelete");
    ASSERT_FALSE(error) << error->message;
    const auto hits = application.client.hits();
    EXPECT_TRUE(hasUndeleted(hits, "jpeg", "hfsPlusCatalog"));
    EXPECT_TRUE(std::none_of(hits.begin(), hits.end(), [](const HelperHitDTO& hit) { return hit.source == "signatureCarve"; }))
        << "the quick mode does not carve";
    expectEveryHitExtracts(application.helper, image, hits, originals, dir);
}

// A large sparse image with one photo near its start, so that a scan runs long enough to act on.
std::filesystem::path longImage(const test::TempDir& dir) {
    const auto image = dir / "long.img";
    test::writeFile(image, {});
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    const auto jpeg = test::SampleContent::jpeg(1024, 768, 100000, 51);
    EXPECT_EQ(::pwrite(fd, jpeg.data(), jpeg.size(), 8192), static_cast<ssize_t>(jpeg.size()));
    ::close(fd);
    std::filesystem::resize_file(image, longImageBytes);
    return image;
}

// Starts a standard scan and waits until it is under way.
::testing::AssertionResult startScan(VantrelHelperProtocol& helper, test::RecordingClient& client, const std::filesystem::path& image,
                                     VantrelHelperProtocol::ErrorReply reply) {
    helper.startScanWithPath(image, 0, 0, 0, allKinds, "standard", std::move(reply));
    if (client.waitForProgress(3)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the scan did not start";
}

// The answer of a scan ended by a cancel.
void expectCancelled(const std::optional<ErrorObject>& error) {
    ASSERT_TRUE(error) << "a cancelled scan answered like a whole one";
    EXPECT_EQ(error->domain, VantrelError::domain);
    EXPECT_EQ(error->code, VantrelError::scanCancelled);
    EXPECT_EQ(error->message, "Scan cancelled");
}

// A scan ended under way, by a cancel or by its image cut short, answers why and never as complete.
TEST(HelperScan, AScanEndedUnderWayAnswersWhyAndNeverAsComplete) {
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "the image cut short");
        test::TempDir dir;
        const auto image = longImage(dir);
        SpawnedHelper spawned;
        test::ErrorAnswer answer;
        ASSERT_TRUE(startScan(*spawned.helper, spawned.client, image, answer.callback()));
        if (cancel) spawned.helper->cancelScan();
        else std::filesystem::resize_file(image, 8 * mebibyte);
        const auto error = test::waitError(answer);
        EXPECT_FALSE(spawned.client.saw("Scan complete"));
        if (!cancel) {
            ASSERT_TRUE(error) << "the scan ended as if complete";
            EXPECT_NE(error->message.find("device changed"), std::string::npos) << error->message;
            continue;
        }
        expectCancelled(error);
        EXPECT_TRUE(spawned.client.saw("Scan cancelled"));
        EXPECT_LT(spawned.client.progress().back().scanned, static_cast<std::int64_t>(longImageBytes));
    }
}

TEST(HelperScan, AnExtractionPausesTheRunningScan) {
    test::TempDir dir;
    const auto image = longImage(dir);
    SpawnedHelper spawned;
    test::ErrorAnswer scanned;
    ASSERT_TRUE(startScan(*spawned.helper, spawned.client, image, scanned.callback()));

    const auto destination = dir / "range.bin";
    constexpr std::int64_t rangeBytes = 96 * mebibyte;
    test::ErrorAnswer extracted;
    spawned.helper->extractHitWithPath(image, 0, rangeBytes, destination, SpawnedHelper::destination(destination),
                                       "signatureCarve", 0, 0, "", 0, 0, extracted.callback());
    EXPECT_FALSE(test::waitError(extracted));
    EXPECT_EQ(std::filesystem::file_size(destination), static_cast<std::uintmax_t>(rangeBytes));
    spawned.helper->cancelScan();
    expectCancelled(test::waitError(scanned));

    // Between the extraction's start and its end the scan reports at most the window it was in.
    const auto events = spawned.client.events();
    const auto start = std::find_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("log:Extracting", 0) == 0; });
    const auto end = std::find_if(start, events.end(), [](const std::string& e) { return e.rfind("log:Extracted", 0) == 0; });
    ASSERT_NE(end, events.end());
    EXPECT_LE(std::count(start, end, std::string("progress")), 2);
}

TEST(HelperScan, AClientThatGoesAwayCancelsItsScan) {
    test::TempDir dir;
    const auto image = longImage(dir);
    auto spawned = std::make_unique<SpawnedHelper>();
    ASSERT_TRUE(startScan(*spawned->helper, spawned->client, image, [](std::optional<ErrorObject>) {}));
    const auto started = std::chrono::steady_clock::now();
    auto process = std::move(spawned->process);
    spawned.reset();
    EXPECT_EQ(process->waitForExit(std::chrono::seconds(5)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(HelperScan, AQuitForRelaunchWaitsForAnotherConnectionsScan) {
    test::TempDir dir;
    const auto image = longImage(dir);
    const auto socketPath = (dir / "helper.sock").string();
    test::HelperProcess process({"--listen", socketPath, "--allow-image-files"});
    ASSERT_TRUE(test::waitForSocket(socketPath));
    test::SocketApplication scanning(socketPath);
    test::SocketApplication quitting(socketPath);

    test::ErrorAnswer scanned;
    ASSERT_TRUE(startScan(scanning.helper, scanning.client, image, scanned.callback()));
    EXPECT_FALSE(test::quitAnswer(quitting.helper));
    EXPECT_FALSE(process.waitForExit(std::chrono::milliseconds(300))) << "the other connection's scan still runs";
    scanning.helper.cancelScan();
    expectCancelled(test::waitError(scanned));
    EXPECT_EQ(process.waitForExit(), 0);
}

} // namespace
} // namespace vantrel
