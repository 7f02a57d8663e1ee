// How a scan ended, wherever its results are shown: a cancelled scan or one stopped by an error says
// that its list is partial in the status bar, still after the quality pass, and in the first line of
// its catalog's summary, from which a reopened catalog says it again. A finished scan marks nothing.

#include "ScanFakes.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/model/ScanEnd.h"

#include "support/VantrelError.h"
#include "tests/fixtures/SampleContent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace vantrel {
namespace {

using test::hitRecord;
using test::ScanHarness;

const ErrorObject cancelledReply{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt};

// Every status line shown, in order (the quality pass follows the scan's end at once).
struct StatusLines {
    explicit StatusLines(AppModel& model) {
        QObject::connect(&model, &AppModel::fieldChanged, &model, [this, &model](AppModel::Field field) {
            if (field == AppModel::Field::statusMessage) lines.push_back(model.statusMessage().toStdString());
        });
    }
    bool saw(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    std::vector<std::string> lines;
};

// A scan that found two real pictures (checked ok by the quality pass), ended by reply, whose last
// progress report counted the sectors it could not read.
void scanTwoPictures(ScanHarness& h, std::optional<ErrorObject> reply, bool cancel, std::int64_t unreadable = 0) {
    const auto first = test::SampleContent::jpeg(640, 480, 30'000, 1);
    const auto second = test::SampleContent::jpeg(640, 480, 30'000, 2);
    h.place(0, first);
    h.place(40'000, second);
    h.startScanning();
    h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 0, first.size(), "a.jpg"));
    h.helper->sendHit(hitRecord(RecoveredFileKind::jpeg, 40'000, second.size(), "b.jpg"));
    if (unreadable > 0) h.helper->sendProgress(80'000, 80'000, 2, unreadable);
    if (cancel) h.model->cancelScan();
    h.replyToScan(std::move(reply));
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(ScanEnd, EachEndHasOneTextThatReadsBackAndNoOtherLineIsAnEnd) {
    using Kind = ScanEnd::Kind;
    EXPECT_EQ(ScanEnd({Kind::cancelled, 157}).text(), "Scan cancelled — 157 files found so far.");
    EXPECT_EQ(ScanEnd({Kind::cancelled, 1}).text(), "Scan cancelled — 1 file found so far.");
    EXPECT_EQ(ScanEnd({Kind::failed, 3}).text(), "Scan stopped by an error — 3 files found so far.");
    EXPECT_EQ(ScanEnd({Kind::finished, 12}).text(), "Scan finished — 12 file(s) found.");
    for (const Kind kind : {Kind::finished, Kind::cancelled, Kind::failed}) {
        for (const std::int64_t count : {0, 1, 2, 157, 1'000'000}) {
            const ScanEnd end{kind, count};
            EXPECT_EQ(ScanEnd::fromText(end.text()), end) << end.text().toStdString();
            EXPECT_EQ(ScanEnd::fromSummary(end.text().toStdString() + "\nmore lines"), end);
            EXPECT_EQ(end.isPartial(), kind != Kind::finished);
        }
    }
    for (const char* line : {"", "Scan cancelled.", "Scan cancelled — 1 files found so far.", "Scan cancelled — 157 files found so far!",
                             "Scan cancelled — -4 files found so far.", "Scan cancelled — 99999999999999999999 files found so far.",
                             "x Scan finished — 2 file(s) found."})
        EXPECT_FALSE(ScanEnd::fromText(QString::fromUtf8(line))) << line;
    EXPECT_FALSE(ScanEnd::fromSummary("Some words\nScan cancelled — 2 files found so far.")) << "only the first line counts";
}

TEST(ScanEnd, ACancelledScanSaysItsListIsPartialAfterTheQualityPassInItsCatalogAndWhenReopened) {
    ScanHarness h;
    StatusLines shown(*h.model);
    scanTwoPictures(h, cancelledReply, true);
    EXPECT_TRUE(shown.saw("Scan cancelled — 2 files found so far."));
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(h.model->statusMessage(), "Scan cancelled — 2 files found so far. Quality check finished.")
        << "the quality pass does not hide that the list is partial";

    const auto path = h.dir / "cut.vtcat";
    ASSERT_TRUE(CatalogFlows::saveCatalog(*h.model, path.string()));
    EXPECT_EQ(ScanCatalog::load(path).summary, "Scan cancelled — 2 files found so far.");
    EXPECT_NE(fileText(path).find("\"summary\": \"Scan cancelled — 2 files found so far.\",\n  \"version\": 1"), std::string::npos);

    // Reopened elsewhere: the status says it again, with the count of the list that was read.
    ScanHarness reopened;
    CatalogFlows::loadCatalog(*reopened.model, path.string());
    ASSERT_EQ(reopened.model->hits().size(), 2u);
    EXPECT_TRUE(reopened.model->statusMessage().startsWith("Scan cancelled — 2 files found so far. Loaded catalog — 2 file(s)"))
        << reopened.model->statusMessage().toStdString();
    // Saved again, it still says so.
    const auto again = reopened.dir / "again.vtcat";
    ASSERT_TRUE(CatalogFlows::saveCatalog(*reopened.model, again.string()));
    EXPECT_EQ(ScanCatalog::load(again).summary, "Scan cancelled — 2 files found so far.");

    // A new scan's results are whole again until it ends otherwise.
    reopened.startScanning();
    EXPECT_FALSE(reopened.model->plainState().resultsScanEnd);
    reopened.replyToScan();
    ASSERT_TRUE(reopened.model->plainState().resultsScanEnd);
    EXPECT_FALSE(reopened.model->plainState().resultsScanEnd->isPartial());
    EXPECT_TRUE(reopened.model->statusMessage().startsWith("Scan finished — no files found."));
}

TEST(ScanEnd, AnErrorMarksTheListAsPartialAndAFinishedScanMarksNothing) {
    ScanHarness failed;
    StatusLines shown(*failed.model);
    scanTwoPictures(failed, ErrorObject::posix(EIO, "/dev/sdb"), false);
    EXPECT_TRUE(shown.saw("Scan stopped by an error — 2 files found so far."));
    EXPECT_TRUE(failed.model->errorMessage()) << "the error itself is shown in the alert";
    ASSERT_TRUE(failed.pumpUntil([&] { return !failed.model->isQualityPassRunning(); }));
    EXPECT_EQ(failed.model->statusMessage(), "Scan stopped by an error — 2 files found so far. Quality check finished.");

    // A cancel that the helper answers with an error reports the error's end.
    ScanHarness cancelledThenFailed;
    StatusLines cancelledThenFailedShown(*cancelledThenFailed.model);
    scanTwoPictures(cancelledThenFailed, ErrorObject::posix(EIO, "/dev/sdb"), true);
    EXPECT_TRUE(cancelledThenFailedShown.saw("Scan stopped by an error — 2 files found so far."));

    ScanHarness finished;
    scanTwoPictures(finished, std::nullopt, false);
    ASSERT_TRUE(finished.pumpUntil([&] { return !finished.model->isQualityPassRunning(); }));
    EXPECT_EQ(finished.model->statusMessage(), "Quality check finished.");
    const auto path = finished.dir / "whole.vtcat";
    ASSERT_TRUE(CatalogFlows::saveCatalog(*finished.model, path.string()));
    EXPECT_EQ(ScanCatalog::load(path).summary, "Scan finished — 2 file(s) found.");
    ScanHarness reopened;
    CatalogFlows::loadCatalog(*reopened.model, path.string());
    EXPECT_TRUE(reopened.model->statusMessage().startsWith("Loaded catalog — 2 file(s)"));
}

TEST(ScanEnd, UnreadableSectorsAreToldInTheStatusTheCatalogAndWhenReopened) {
    using Kind = ScanEnd::Kind;
    const std::string twelve = "12 sectors could not be read; files in the folders they held may be missing.";
    EXPECT_EQ(ScanEnd({Kind::finished, 2, 12}).lossText().toStdString(), twelve);
    EXPECT_EQ(ScanEnd({Kind::finished, 2, 1}).lossText(), "1 sector could not be read; files in the folders it held may be missing.");
    EXPECT_TRUE(ScanEnd({Kind::finished, 2, 0}).lossText().isEmpty());
    for (const ScanEnd end : {ScanEnd{Kind::finished, 2, 12}, ScanEnd{Kind::cancelled, 1, 1}, ScanEnd{Kind::failed, 0, 0}})
        EXPECT_EQ(ScanEnd::fromSummary(end.summary()), end) << end.summary();
    EXPECT_EQ(ScanEnd::fromSummary("Scan finished — 2 file(s) found.\n12 sectors could not be read."),
              (ScanEnd{Kind::finished, 2, 0})) << "a second line of another form states nothing";

    ScanHarness h;
    StatusLines shown(*h.model);
    scanTwoPictures(h, std::nullopt, false, 12);
    EXPECT_TRUE(shown.saw("Scan finished — 2 file(s) found. Volume stays unmounted until you remount it. " + twelve))
        << testing::PrintToString(shown.lines);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    EXPECT_EQ(h.model->statusMessage().toStdString(), "Quality check finished. " + twelve);
    const auto path = h.dir / "damaged.vtcat";
    ASSERT_TRUE(CatalogFlows::saveCatalog(*h.model, path.string()));
    EXPECT_EQ(ScanCatalog::load(path).summary, "Scan finished — 2 file(s) found.\n" + twelve);
    ScanHarness reopened;
    CatalogFlows::loadCatalog(*reopened.model, path.string());
    EXPECT_TRUE(reopened.model->statusMessage().startsWith("Loaded catalog — 2 file(s)"));
    EXPECT_TRUE(reopened.model->statusMessage().endsWith(QString::fromStdString(twelve)))
        << reopened.model->statusMessage().toStdString();
}

TEST(ScanEnd, ACatalogWithoutASummaryOrWithALineOfItsOwnOpensUnmarked) {
    ScanHarness h;
    scanTwoPictures(h, cancelledReply, true);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.model->isQualityPassRunning(); }));
    const auto path = h.dir / "old.vtcat";
    ASSERT_TRUE(CatalogFlows::saveCatalog(*h.model, path.string()));
    for (const std::optional<std::string>& summary :
         {std::optional<std::string>(), std::optional<std::string>("Scan cancelled — 9 files found so far? No.")}) {
        ScanCatalog catalog = ScanCatalog::load(path);
        catalog.summary = summary;
        catalog.write(path);
        ScanHarness reopened;
        CatalogFlows::loadCatalog(*reopened.model, path.string());
        ASSERT_EQ(reopened.model->hits().size(), 2u);
        EXPECT_TRUE(reopened.model->statusMessage().startsWith("Loaded catalog — 2 file(s)"))
            << reopened.model->statusMessage().toStdString();
        EXPECT_FALSE(reopened.model->plainState().resultsScanEnd);
        // Nothing to say about the end: the catalog saved again has no summary.
        ASSERT_TRUE(CatalogFlows::saveCatalog(*reopened.model, (reopened.dir / "re.vtcat").string()));
        EXPECT_FALSE(ScanCatalog::load(reopened.dir / "re.vtcat").summary);
    }
}

} // namespace
} // namespace vantrel
