// The main road with the real verifying child: a FAT volume made by mkfs.fat and mtools, holding a
// JPEG with a capture time, a PNG and a PDF made by the usual tools and a JPEG cut short, all deleted
// beside a file that stays; scanned through the real helper, every hit judged by vantrel-verify, then
// recovered into a folder where a name is taken (each file compared byte for byte with what was put
// on the volume) and into a folder that takes no files.

#include "RealHelperHarness.h"

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

namespace vantrel {
namespace {

struct Sample {
    std::string name;
    RecoveredFileKind kind;
    HitIntegrity expected;
    Bytes bytes;
};

class RealCheckerThroughHelper : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"mkfs.fat", "mcopy", "mdel", "convert", "cjpeg", "qpdf"})
            if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed";
        m_dated = test::haveProgram("exiftool");
    }

    std::string path(const std::string& name) const { return (m_dir / name).string(); }

    // A noisy picture, which compresses about as badly as a photograph.
    Bytes jpeg(const std::string& name, int width, int height, int seed) const {
        test::runOrFail({"convert", "-seed", std::to_string(seed), "-size", std::to_string(width) + "x" + std::to_string(height),
                         "xc:gray", "+noise", "Random", "-depth", "8", path("picture.ppm")});
        test::runOrFail({"cjpeg", "-quality", "88", "-outfile", path(name), path("picture.ppm")});
        return test::readFile(m_dir / name);
    }
    Bytes png(const std::string& name) const {
        test::runOrFail({"convert", "-seed", "5", "-size", "800x600", "xc:gray", "+noise", "Random", path(name)});
        return test::readFile(m_dir / name);
    }
    // A one-page PDF of some 12 KB (above the default size filter), written by hand and rewritten by
    // qpdf with a correct cross-reference table.
    Bytes pdf(const std::string& name) const {
        std::string drawing;
        for (int i = 0; i < 400; ++i) drawing += "0 0 1 rg " + std::to_string(i % 180) + " 20 10 160 re f\n";
        const std::string text =
            "%PDF-1.4\n1 0 obj <</Type/Catalog/Pages 2 0 R>> endobj\n2 0 obj <</Type/Pages/Kids[3 0 R]/Count 1>> "
            "endobj\n3 0 obj <</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R>> endobj\n4 0 obj "
            "<</Length " + std::to_string(drawing.size()) + ">> stream\n" + drawing +
            "endstream endobj\ntrailer <</Size 5/Root 1 0 R>>\n%%EOF\n";
        test::writeFile(m_dir / "hand.pdf", Bytes(text.begin(), text.end()));
        // qpdf exits 3 for "succeeded with warnings" on the hand-made cross-reference table.
        test::run({"qpdf", "--compress-streams=n", path("hand.pdf"), path(name)});
        return test::readFile(m_dir / name);
    }

    // The samples, made once per test; large enough for the default scan filters.
    const std::vector<Sample>& samples() {
        if (!m_samples.empty()) return m_samples;
        Bytes photo = jpeg("holiday.jpg", 1024, 768, 1);
        if (m_dated) {
            // Taken at 10:20:30 two hours east of universal time.
            test::runOrFail({"exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=2023:08:14 10:20:30",
                             "-OffsetTimeOriginal=+02:00", path("holiday.jpg")});
            photo = test::readFile(m_dir / "holiday.jpg");
        }
        Bytes cut = jpeg("broken.jpg", 1280, 960, 2);
        cut.resize(cut.size() * 55 / 100);
        test::writeFile(m_dir / "broken.jpg", cut);
        m_samples = {
            {"holiday.jpg", RecoveredFileKind::jpeg, HitIntegrity::ok, photo},
            {"diagram.png", RecoveredFileKind::png, HitIntegrity::ok, png("diagram.png")},
            {"report.pdf", RecoveredFileKind::pdf, HitIntegrity::ok, pdf("report.pdf")},
            {"broken.jpg", RecoveredFileKind::jpeg, HitIntegrity::suspect, cut},
        };
        return m_samples;
    }

    // A 16 MiB FAT volume holding the samples and a file that stays; the samples deleted again.
    std::filesystem::path card() {
        const auto image = m_dir / "card.img";
        test::runOrFail({"mkfs.fat", "-C", image.string(), "16384"});
        const Bytes kept = jpeg("kept.jpg", 800, 600, 3);
        test::runOrFail({"mcopy", "-i", image.string(), path("kept.jpg"), "::/kept.jpg"});
        for (const auto& sample : samples()) test::runOrFail({"mcopy", "-i", image.string(), path(sample.name), "::/" + sample.name});
        for (const auto& sample : samples()) test::runOrFail({"mdel", "-i", image.string(), "::/" + sample.name});
        return image;
    }

    // Scans the card in the quick mode and lets the quality pass run to its end; the hits found for
    // the samples, in their order.
    std::vector<RecoveredHit> scanAndCheck(test::RealHelperHarness& h) {
        const auto image = card();
        h.model->beginHelperScan(image.string(), ScanMode::quickUndelete);
        EXPECT_TRUE(h.pumpUntil([&] { return !h.model->isScanning(); }));
        EXPECT_FALSE(h.model->errorMessage()) << h.model->errorMessage()->toStdString();
        EXPECT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
        EXPECT_EQ(h.model->statusMessage(), "Quality check finished.");
        std::vector<RecoveredHit> found;
        for (const auto& sample : samples()) {
            const auto match = std::find_if(h.model->hits().begin(), h.model->hits().end(), [&](const RecoveredHit& hit) {
                return hit.kind == sample.kind && hit.byteLength == sample.bytes.size();
            });
            EXPECT_NE(match, h.model->hits().end()) << sample.name << " was not found";
            if (match != h.model->hits().end()) found.push_back(*match);
        }
        return found;
    }

    test::TempDir m_dir;
    bool m_dated = false;
    std::vector<Sample> m_samples;
};

struct CheckedHarness : test::RealHelperHarness {
    CheckedHarness() : test::RealHelperHarness(VANTREL_HELPER_PATH) {
        model->setIntegrityChecker(std::make_shared<ChildProcessIntegrityChecker>(VANTREL_VERIFY_PATH));
    }
};

TEST_F(RealCheckerThroughHelper, EveryHitIsJudgedAndRecoveredByteForByte) {
    CheckedHarness h;
    const auto found = scanAndCheck(h);
    ASSERT_EQ(found.size(), samples().size());
    for (const auto& hit : h.model->hits())
        EXPECT_NE(hit.integrity, HitIntegrity::pending) << hit.suggestedName << " was never checked";
    for (std::size_t i = 0; i < found.size(); ++i)
        EXPECT_EQ(found[i].integrity, samples()[i].expected) << samples()[i].name;
    if (m_dated) {
        using namespace std::chrono;
        EXPECT_EQ(found[0].captureDate, HitDate(sys_days(2023y / August / 14) + 10h + 20min + 30s)) << "the camera's clock";
        EXPECT_EQ(found[0].captureUtcOffsetMinutes, 120) << "the EXIF offset, kept beside the clock";
    }
    EXPECT_EQ(found[3].captureDate, std::nullopt) << "a cut file is given no date";

    // Into a folder where the first hit's name is taken; from the helper, not the probes.
    const auto folder = m_dir / "recovered";
    std::filesystem::create_directory(folder);
    const std::string taken = found[0].suggestedName;
    test::writeFile(folder / taken, {9, 9, 9});
    std::set<Uuid> chosen;
    for (const auto& hit : found) chosen.insert(hit.id);
    h.model->setSelectedHitIDs(chosen);
    h.model->probeCache().clear();
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    ASSERT_FALSE(h.model->errorMessage()) << h.model->errorMessage()->toStdString();
    EXPECT_EQ(h.model->statusMessage(), "Recovered 4 file(s).");
    EXPECT_EQ(test::readFile(folder / taken), (Bytes{9, 9, 9})) << "an existing file is never replaced";
    const auto dot = taken.rfind('.');
    ASSERT_NE(dot, std::string::npos) << taken;
    EXPECT_EQ(test::readFile(folder / (taken.substr(0, dot) + "_1" + taken.substr(dot))), samples()[0].bytes);
    for (std::size_t i = 1; i < found.size(); ++i)
        EXPECT_EQ(test::readFile(folder / found[i].suggestedName), samples()[i].bytes) << samples()[i].name;
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, found.size() + 1);
    // The verdicts the quality pass gave stay.
    for (std::size_t i = 0; i < found.size(); ++i)
        EXPECT_EQ(h.model->hit(found[i].id)->integrity, samples()[i].expected) << samples()[i].name;
}

// A folder that takes no files: read-only to this user, or immutable when the test runs as root (for
// whom permission bits are no bar).
class LockedFolder {
public:
    explicit LockedFolder(std::filesystem::path path) : m_path(std::move(path)) {
        std::filesystem::create_directory(m_path);
        if (test::runningAsRoot()) m_immutable = test::haveProgram("chattr") && test::run({"chattr", "+i", m_path.string()}).exitCode == 0;
        else m_locked = ::chmod(m_path.c_str(), 0555) == 0;
    }
    ~LockedFolder() {
        if (m_immutable) test::run({"chattr", "-i", m_path.string()});
        if (m_locked) ::chmod(m_path.c_str(), 0755);
    }
    bool locked() const { return m_immutable || m_locked; }

private:
    std::filesystem::path m_path;
    bool m_immutable = false;
    bool m_locked = false;
};

TEST_F(RealCheckerThroughHelper, AFolderThatTakesNoFilesIsReportedAndLeftEmpty) {
    const auto folder = m_dir / "locked";
    const LockedFolder lock(folder);
    if (!lock.locked()) GTEST_SKIP() << "the folder could not be made read-only (chattr +i needs root and a file system that keeps the flag)";
    CheckedHarness h;
    const auto found = scanAndCheck(h);
    ASSERT_EQ(found.size(), samples().size());
    std::set<Uuid> chosen;
    for (const auto& hit : found) chosen.insert(hit.id);
    h.model->setSelectedHitIDs(chosen);
    h.model->recoverSelected(folder.string());
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isRecovering(); }));
    ASSERT_TRUE(h.model->errorMessage());
    const std::string message = h.model->errorMessage()->toStdString();
    EXPECT_EQ(message.rfind("Could not create a file in the folder " + folder.string() + ": ", 0), 0u) << message;
    EXPECT_NE(h.model->fullDiskAccessState(), AppModel::RawDiskAccessState::denied) << "the folder, not disk access";
    EXPECT_FALSE(h.model->showHelperSheet());
    EXPECT_EQ(h.model->statusMessage(), "Recovered 0 file(s).");
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << "no file is left behind";
}

} // namespace
} // namespace vantrel
