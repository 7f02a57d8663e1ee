// The views' rules over the model's values, without a display: what the volume strip, the results
// pane, its filters and badge, the status bar and the toolbar show for each state.

#include "AppModelHarness.h"

#include "Vantrel/views/MainWindowLogic.h"
#include "Vantrel/views/ResultsFilterLogic.h"
#include "Vantrel/views/ResultsPaneLogic.h"
#include "Vantrel/views/StatusBarLogic.h"
#include "Vantrel/views/VolumeStripLogic.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;
using Column = ResultsPaneLogic::Column;

ExternalVolume volume(std::string name, std::string bsdName) {
    ExternalVolume v;
    v.name = std::move(name);
    v.bsdName = std::move(bsdName);
    v.sizeBytes = 31'914'983'424;
    v.isMounted = true;
    return v;
}

TEST(VolumeStripLogic, SymbolsFollowTheFileSystemName) {
    auto v = volume("Card", "sdb");
    for (const char* name : {"APFS", "apfs", "HFS+"}) {
        v.fileSystemName = name;
        EXPECT_EQ(VolumeStripLogic::symbolName(v), "internaldrive.fill") << name;
    }
    for (const char* name : {"exFAT", "FAT", "NTFS"}) {
        v.fileSystemName = name;
        EXPECT_EQ(VolumeStripLogic::symbolName(v), "sdcard.fill") << name;
    }
    v.fileSystemName.reset();
    EXPECT_EQ(VolumeStripLogic::symbolName(v), "sdcard.fill");
}

TEST(VolumeStripLogic, SubtitlesAndTheirColours) {
    auto v = volume("Card", "sdb");
    v.isMounted = false;
    v.fileSystemName = "FAT";
    EXPECT_EQ(VolumeStripLogic::subtitle(v), "FAT \u00B7 31.91 GB");
    EXPECT_EQ(VolumeStripLogic::subtitleColor(v), ColorRole::orange);
    v.fileSystemName.reset();
    EXPECT_EQ(VolumeStripLogic::subtitle(v), "Unmounted \u00B7 31.91 GB");
    v.isMounted = true;
    EXPECT_EQ(VolumeStripLogic::subtitle(v), "31.91 GB");
    EXPECT_EQ(VolumeStripLogic::subtitleColor(v), ColorRole::secondary);

    // An image file is never mounted, and not "Unmounted" either: it reads like a mounted disk.
    auto image = volume("card.img", "/srv/images/card.img");
    image.isMounted = false;
    image.fileSystemName = "FAT";
    EXPECT_EQ(VolumeStripLogic::subtitle(image), "FAT · 31.91 GB");
    EXPECT_EQ(VolumeStripLogic::subtitleColor(image), ColorRole::secondary);
    image.fileSystemName.reset();
    EXPECT_EQ(VolumeStripLogic::subtitle(image), "31.91 GB");
    EXPECT_EQ(VolumeStripLogic::cardTooltip(image), "card.img (/srv/images/card.img)\n31.91 GB");
    for (const auto& line : VolumeStripLogic::cardLines(image)) EXPECT_NE(line.text, "Unmounted");
}

TEST(VolumeStripLogic, TooltipsAndCardLines) {
    auto v = volume("Card", "sdb");
    EXPECT_EQ(VolumeStripLogic::tileTooltip(v), "Card (sdb)\n31.91 GB");
    EXPECT_EQ(VolumeStripLogic::cardTooltip(v), "Card (sdb)\n31.91 GB");
    v.isMounted = false;
    EXPECT_EQ(VolumeStripLogic::tileTooltip(v), "Card (sdb)\n31.91 GB");
    EXPECT_EQ(VolumeStripLogic::cardTooltip(v), "Card (sdb)\n31.91 GB\nUnmounted");

    v.fileSystemName = "";  // present but empty: a tooltip line, no card line
    v.partitionScheme = "MBR";
    v.protocolName = "USB";
    EXPECT_EQ(VolumeStripLogic::tileTooltip(v), "Card (sdb)\n31.91 GB\n\nPartition: MBR\nUSB");
    QStringList texts;
    for (const auto& line : VolumeStripLogic::cardLines(v)) texts << line.text;
    EXPECT_EQ(texts, (QStringList{"Card", "31.91 GB", "Partition: MBR", "USB", "Unmounted"}));
    EXPECT_EQ(VolumeStripLogic::cardLines(v).back().color, ColorRole::orange);
}

TEST(VolumeStripLogic, SelectionIsByKernelNameAndEmptyTextsByTheInternalSwitch) {
    const auto a = volume("Card", "sdb");
    const auto b = volume("Card", "sdc");
    EXPECT_TRUE(VolumeStripLogic::isSelected(a, a));
    EXPECT_FALSE(VolumeStripLogic::isSelected(b, a));
    EXPECT_FALSE(VolumeStripLogic::isSelected(a, std::nullopt));
    EXPECT_EQ(VolumeStripLogic::emptyText(false), "Connect an SD card or external drive");
    EXPECT_EQ(VolumeStripLogic::emptyText(true), "No disks found");
}

TEST(ResultsPaneLogic, HeaderCountsAndRecoverButton) {
    EXPECT_EQ(ResultsPaneLogic::countSummary(0, 0), std::nullopt);
    EXPECT_EQ(ResultsPaneLogic::countSummary(12, 12), "12 total");
    EXPECT_EQ(ResultsPaneLogic::countSummary(3, 12), "3 of 12");
    EXPECT_EQ(ResultsPaneLogic::selectionText(0), "0 selected");

    AppModelHarness h;
    auto& model = *h.model;
    model.appendHit(makeHit("a.jpg", 10));
    EXPECT_FALSE(ResultsPaneLogic::recoverEnabled(model));
    model.setSelectedHitIDs({model.hits().front().id});
    EXPECT_TRUE(ResultsPaneLogic::recoverEnabled(model));
    model.setIsRecovering(true);
    EXPECT_FALSE(ResultsPaneLogic::recoverEnabled(model));
    EXPECT_EQ(ResultsPaneLogic::recoverTooltip(true), "Extract selected files while the scan continues.");
    EXPECT_EQ(ResultsPaneLogic::recoverTooltip(false), "Extract selected files to a folder.");
}

TEST(ResultsPaneLogic, EmptyStatesFollowTheLastFinishedScan) {
    const auto none = ResultsPaneLogic::emptyState(std::nullopt, true);
    EXPECT_EQ(none.title, "No files yet");
    EXPECT_EQ(none.symbol, "photo.on.rectangle.angled");
    EXPECT_FALSE(none.isCard);
    const auto quick = ResultsPaneLogic::emptyState(ScanMode::quickUndelete, true);
    EXPECT_EQ(quick.title, "Quick scan found nothing");
    EXPECT_EQ(quick.action, "Start Standard scan");
    const auto standard = ResultsPaneLogic::emptyState(ScanMode::standard, true);
    EXPECT_EQ(standard.title, "No files found");
    EXPECT_EQ(standard.symbol, "tray");
    EXPECT_TRUE(standard.isCard);
    EXPECT_EQ(standard.action, std::nullopt);
}

TEST(ResultsPaneLogic, NoMatchMessagesInTheirOrder) {
    AppModelHarness h;
    auto& model = *h.model;
    model.appendHit(makeHit("a.jpg", 10));
    model.setResultsIntegrityFilter(ResultsIntegrityFilter::suspect);
    EXPECT_EQ(ResultsPaneLogic::content(model), ResultsPaneLogic::Content::noMatches);
    EXPECT_EQ(ResultsPaneLogic::noMatchMessage(model),
              "Nothing matches the status filter “Suspect”. Choose “All statuses” in the toolbar, or reset filters.");
    model.setResultsCaptureDateFrom(h.clock->current);
    EXPECT_TRUE(ResultsPaneLogic::noMatchMessage(model).startsWith("Dates are still being read."));
    auto dated = model.hits().front();
    dated.captureDate = h.clock->current - std::chrono::hours(24 * 40);
    model.updateHit(dated);
    EXPECT_TRUE(ResultsPaneLogic::noMatchMessage(model).startsWith("Nothing matches the date or status filter."));
    EXPECT_TRUE(ResultsPaneLogic::showsResetFilters(model));

    ResultsPaneLogic::resetFilters(model);
    EXPECT_FALSE(model.hasActiveResultsFilter());
    EXPECT_EQ(ResultsPaneLogic::content(model), ResultsPaneLogic::Content::list);
}

TEST(ResultsPaneLogic, ColumnClicksAlternateWithinTheirPair) {
    using ResultsPaneLogic::sortAfterClick;
    EXPECT_EQ(sortAfterClick(Column::size, ResultsSort::discovery), ResultsSort::sizeDescending);
    EXPECT_EQ(sortAfterClick(Column::size, ResultsSort::sizeDescending), ResultsSort::sizeAscending);
    EXPECT_EQ(sortAfterClick(Column::size, ResultsSort::sizeAscending), ResultsSort::sizeDescending);
    EXPECT_EQ(sortAfterClick(Column::name, ResultsSort::sizeAscending), ResultsSort::name);
    EXPECT_EQ(sortAfterClick(Column::date, ResultsSort::name), ResultsSort::captureDateDescending);
    EXPECT_EQ(sortAfterClick(Column::status, ResultsSort::integrity), ResultsSort::integrity);
    EXPECT_EQ(sortAfterClick(Column::source, ResultsSort::name), std::nullopt);

    using ResultsPaneLogic::chevronSymbol;
    using ResultsPaneLogic::headerState;
    EXPECT_EQ(chevronSymbol(headerState(Column::size, ResultsSort::sizeDescending)), "chevron.down");
    EXPECT_EQ(chevronSymbol(headerState(Column::size, ResultsSort::sizeAscending)), "chevron.up");
    EXPECT_EQ(chevronSymbol(headerState(Column::name, ResultsSort::name)), "chevron.up");
    EXPECT_EQ(chevronSymbol(headerState(Column::name, ResultsSort::sizeAscending)), std::nullopt);
    EXPECT_EQ(chevronSymbol(headerState(Column::status, ResultsSort::integrity)), "chevron.up");
}

TEST(ResultsPaneLogic, RowTexts) {
    auto hit = makeHit("IMG_0001.JPG", 2'400'000, RecoveredFileKind::cr2);
    EXPECT_EQ(ResultsPaneLogic::typeText(hit.kind), "CRW");
    EXPECT_EQ(ResultsPaneLogic::kindSymbol(RecoveredFileKind::cr2), "photo");
    EXPECT_EQ(ResultsPaneLogic::kindSymbol(RecoveredFileKind::mov), "film");
    EXPECT_EQ(ResultsPaneLogic::kindSymbol(RecoveredFileKind::ogg), "waveform");
    EXPECT_EQ(ResultsPaneLogic::kindSymbol(RecoveredFileKind::pptx), "rectangle.on.rectangle");
    EXPECT_EQ(ResultsPaneLogic::kindSymbol(RecoveredFileKind::unknown), "doc");
    EXPECT_EQ(ResultsPaneLogic::sizeText(hit.byteLength), "2.4 MB");
    EXPECT_EQ(ResultsPaneLogic::sizeText(~std::uint64_t{0}), ResultsPaneLogic::sizeText(std::uint64_t{1} << 63));
    EXPECT_EQ(ResultsPaneLogic::resolutionText(hit), std::nullopt);
    hit.dimensions = ImageDimensions{4000, 3000};
    EXPECT_EQ(ResultsPaneLogic::resolutionText(hit), "4000\u00D73000");
    EXPECT_EQ(ResultsPaneLogic::dateText(hit, QLocale::c()), std::nullopt);
    EXPECT_EQ(ResultsPaneLogic::sourceLabel(HitSource::signatureCarve), "Content scan");
    EXPECT_EQ(ResultsPaneLogic::sourceLabel(HitSource::exfatUndelete), "Deleted file (exFAT)");
    EXPECT_EQ(ResultsPaneLogic::placeholder(), "\u2014");
}

TEST(ResultsPaneLogic, ThePreviewedHitIsTheLastSelectedInArrivalOrder) {
    AppModelHarness h;
    auto& model = *h.model;
    EXPECT_EQ(ResultsPaneLogic::hitToPreview(model), nullptr);
    for (const char* name : {"a", "b", "c"}) model.appendHit(makeHit(name, 1));
    model.setResultsSort(ResultsSort::nameDescending);
    model.setSelectedHitIDs({model.hits()[0].id, model.hits()[1].id});
    ASSERT_NE(ResultsPaneLogic::hitToPreview(model), nullptr);
    EXPECT_EQ(ResultsPaneLogic::hitToPreview(model)->suggestedName, "b");
}

TEST(ResultsFilterLogic, BadgesWarnAboutReusedClusters) {
    using ResultsFilterLogic::badge;
    EXPECT_EQ(badge(HitIntegrity::pending, false).label, "Queued…");
    EXPECT_EQ(badge(HitIntegrity::ok, false).color, ColorRole::green);
    EXPECT_EQ(badge(HitIntegrity::failed, false).label, "Broken");
    EXPECT_EQ(badge(HitIntegrity::skipped, false).label, "\u2014");
    EXPECT_EQ(badge(HitIntegrity::skipped, false).tooltip, "Type not validated.");
    const QString reused = "Clusters reused by a live file — recovered data may not match the name or tags.";
    for (const auto integrity : {HitIntegrity::pending, HitIntegrity::suspect, HitIntegrity::skipped}) {
        EXPECT_EQ(badge(integrity, true).label, "Suspect");
        EXPECT_EQ(badge(integrity, true).color, ColorRole::orange);
        EXPECT_EQ(badge(integrity, true).tooltip, reused);
    }
    EXPECT_EQ(badge(HitIntegrity::ok, true).label, "OK");
    EXPECT_EQ(badge(HitIntegrity::ok, true).tooltip, reused);
    EXPECT_EQ(badge(HitIntegrity::failed, true).label, "Broken");
}

TEST(ResultsFilterLogic, StatusMenuAndDateBounds) {
    EXPECT_EQ(ResultsFilterLogic::menuTitle(ResultsIntegrityFilter::all), "Status");
    EXPECT_EQ(ResultsFilterLogic::menuTitle(ResultsIntegrityFilter::failed), "Broken");
    EXPECT_EQ(ResultsFilterLogic::menuTint(ResultsIntegrityFilter::all), ColorRole::secondary);
    EXPECT_EQ(ResultsFilterLogic::menuTint(ResultsIntegrityFilter::ok), ColorRole::accent);

    AppModelHarness h;
    auto& model = *h.model;
    int resets = 0;
    QObject::connect(&model, &AppModel::displayedHitsReset, [&] { ++resets; });
    ResultsFilterLogic::chooseStatusFilter(model, ResultsIntegrityFilter::all);
    EXPECT_EQ(resets, 1) << "choosing the active filter still rebuilds the list";

    using ResultsFilterLogic::Bound;
    auto early = makeHit("early", 1);
    early.captureDate = h.clock->current - std::chrono::hours(24 * 30) + std::chrono::hours(5);
    auto late = makeHit("late", 1);
    late.captureDate = h.clock->current - std::chrono::hours(24 * 2);
    model.appendHit(early);
    model.appendHit(late);
    EXPECT_EQ(ResultsFilterLogic::dateFilterTint(model), ColorRole::secondary);
    ResultsFilterLogic::setBoundOn(model, Bound::from, true);
    EXPECT_EQ(model.resultsCaptureDateFrom(), CaptureDay::startOfDay(*early.captureDate));
    EXPECT_EQ(ResultsFilterLogic::dateFilterTint(model), ColorRole::accent);
    ResultsFilterLogic::setBoundOn(model, Bound::from, false);
    EXPECT_EQ(model.resultsCaptureDateFrom(), std::nullopt);

    const QDate chosen = ResultsFilterLogic::captureDay(*late.captureDate);
    ResultsFilterLogic::setBoundDay(model, Bound::to, chosen);
    EXPECT_EQ(model.resultsCaptureDateTo(), CaptureDay::startOfDay(*late.captureDate)) << "midnight of the chosen day";
    EXPECT_EQ(ResultsFilterLogic::boundDay(model, Bound::to), chosen);
    EXPECT_EQ(ResultsFilterLogic::boundDay(model, Bound::from), ResultsFilterLogic::captureDay(*early.captureDate));

    // An inverted range is refused: a start after the end, or an end before the start, changes nothing.
    EXPECT_EQ(ResultsFilterLogic::dayLimit(model, Bound::from), chosen);
    EXPECT_EQ(ResultsFilterLogic::dayLimit(model, Bound::to), std::nullopt) << "the start is off";
    EXPECT_FALSE(ResultsFilterLogic::setBoundDay(model, Bound::from, chosen.addDays(1)));
    EXPECT_EQ(model.resultsCaptureDateFrom(), std::nullopt);
    EXPECT_TRUE(ResultsFilterLogic::setBoundDay(model, Bound::from, chosen)) << "one day is a range";
    EXPECT_FALSE(ResultsFilterLogic::setBoundDay(model, Bound::to, chosen.addDays(-1)));
    EXPECT_EQ(model.resultsCaptureDateTo(), CaptureDay::startOfDay(*late.captureDate));
    EXPECT_EQ(ResultsFilterLogic::dayLimit(model, Bound::to), chosen);
    // Turned on at its default, a bound stops at the other one.
    ResultsFilterLogic::setBoundOn(model, Bound::from, false);
    ASSERT_TRUE(ResultsFilterLogic::setBoundDay(model, Bound::to, ResultsFilterLogic::captureDay(*early.captureDate).addDays(-3)));
    ResultsFilterLogic::setBoundOn(model, Bound::from, true);
    EXPECT_EQ(model.resultsCaptureDateFrom(), model.resultsCaptureDateTo());
}

TEST(StatusBarLogic, TheMessageIsServedBeforeTheSummary) {
    struct Case {
        int room, message, summary;
        StatusBarLogic::StatusRoom expected;
    };
    for (const auto& c : {Case{500, 200, 200, {200, 200}},    // room for both
                          Case{500, 300, 400, {300, 200}},    // the summary is cut
                          Case{500, 460, 400, {460, 0}},      // too little left: the summary goes
                          Case{500, 700, 400, {500, 0}},      // the message alone is too long
                          Case{500, 0, 400, {0, 400}},        // no message
                          Case{500, 470, 20, {470, 20}}}) {   // a short summary fits whole
        const auto shares = StatusBarLogic::shareRoom(c.room, c.message, c.summary, 50);
        EXPECT_EQ(shares.message, c.expected.message) << c.room << " " << c.message << " " << c.summary;
        EXPECT_EQ(shares.summary, c.expected.summary) << c.room << " " << c.message << " " << c.summary;
    }
}

TEST(StatusBarLogic, ActivityGroups) {
    AppModelHarness h;
    auto& model = *h.model;
    using StatusBarLogic::Activity;
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::idle);
    EXPECT_FALSE(StatusBarLogic::showsCounts(model));
    model.setLastFinishedScanMode(ScanMode::standard);
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::idle) << "no message: the summary";
    model.setStatusMessage("Scan finished: nothing found.");
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::nothingFound);
    EXPECT_TRUE(StatusBarLogic::showsSettings(Activity::nothingFound));

    model.setIsQualityPassRunning(true);
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::qualityPass);
    EXPECT_TRUE(StatusBarLogic::showsCounts(model)) << "counts stay while busy, even at 0";
    EXPECT_FALSE(StatusBarLogic::showsSettings(Activity::qualityPass));
    model.setIsRecovering(true);
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::recovering);
    model.setIsScanning(true);
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::scanningUnsized);
    model.setProgress({10, 100, 0, 0});
    EXPECT_EQ(StatusBarLogic::activity(model), Activity::scanning);
}

TEST(StatusBarLogic, PercentageThroughputAndCounts) {
    EXPECT_EQ(StatusBarLogic::percentText({333, 1000, 0, 0}), "33%");
    EXPECT_EQ(StatusBarLogic::percentText({999, 1000, 0, 0}), "99%");
    EXPECT_EQ(StatusBarLogic::percentText({2000, 1000, 0, 0}), "100%");
    EXPECT_EQ(StatusBarLogic::progressFraction({2000, 1000, 0, 0}), 1.0);
    EXPECT_EQ(StatusBarLogic::percentText({~std::uint64_t{0} - 1, ~std::uint64_t{0}, 0, 0}), "99%");
    EXPECT_EQ(StatusBarLogic::throughputText(std::nullopt, QLocale::c()), std::nullopt);
    EXPECT_EQ(StatusBarLogic::throughputText(12.5, QLocale::c()), "12.5 MB/s");
    EXPECT_EQ(StatusBarLogic::throughputText(12.0, QLocale(QLocale::German)), "12,0 MB/s");
    EXPECT_EQ(StatusBarLogic::hitsText(7), "Hits: 7");
    EXPECT_EQ(StatusBarLogic::readErrorsText(2), "Read errors: 2");

    AppModelHarness h;
    h.model->setProgress({0, 0, 0, 3});
    EXPECT_TRUE(StatusBarLogic::showsCounts(*h.model)) << "read errors keep the counts after a scan";
}

TEST(MainWindowLogic, ScanNeedsAVolumeAndNoRunningScan) {
    AppModelHarness h;
    auto& model = *h.model;
    EXPECT_FALSE(MainWindowLogic::scanEnabled(model));
    model.setSelectedVolume(volume("Card", "sdb"));
    EXPECT_TRUE(MainWindowLogic::scanEnabled(model));
    model.setIsScanning(true);
    EXPECT_FALSE(MainWindowLogic::scanEnabled(model));
    EXPECT_TRUE(MainWindowLogic::showsCancel(model));
    const auto cancel = MainWindowLogic::resolution(MainWindowLogic::UnsavedAnswer::cancel);
    EXPECT_FALSE(cancel.save || cancel.discard);
}

} // namespace
} // namespace vantrel
