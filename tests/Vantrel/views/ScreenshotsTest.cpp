// Pictures of the window's main states for review, written to screenshots/ in the build folder: no
// volumes, a volume selected, a scan with hits arriving, a finished scan filtered and sorted, the
// error alert over the window, and a finished scan at the smallest size in a dark palette and with
// fonts twice as large (as QT_FONT_DPI=192 makes them).

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/ResultsPane.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;

ExternalVolume volume(std::string name, std::string bsdName, std::string fileSystem, std::uint64_t size, bool mounted) {
    ExternalVolume v;
    v.name = std::move(name);
    v.bsdName = std::move(bsdName);
    v.fileSystemName = std::move(fileSystem);
    v.sizeBytes = size;
    v.isMounted = mounted;
    v.protocolName = "USB";
    v.partitionScheme = "MBR";
    return v;
}

std::vector<ExternalVolume> someVolumes() {
    return {volume("NIKON D750", "sdb", "FAT", 31'914'983'424, false), volume("SANDISK", "sdc", "exFAT", 127'865'454'592, true),
            volume("Backup", "sdd", "HFS+", 1'000'204'886'016, true)};
}

std::vector<RecoveredHit> someHits(std::size_t count, HitDate today) {
    const RecoveredFileKind kinds[] = {RecoveredFileKind::jpeg, RecoveredFileKind::nef, RecoveredFileKind::mov,
                                       RecoveredFileKind::png, RecoveredFileKind::pdf, RecoveredFileKind::mp3};
    const HitIntegrity states[] = {HitIntegrity::ok, HitIntegrity::ok, HitIntegrity::suspect, HitIntegrity::pending,
                                   HitIntegrity::failed, HitIntegrity::skipped};
    std::vector<RecoveredHit> hits;
    for (std::size_t i = 0; i < count; ++i) {
        const auto kind = kinds[i % 6];
        static const char* const extensions[] = {"JPG", "NEF", "MOV", "PNG", "PDF", "MP3"};
        auto hit = makeHit("DSC_" + std::to_string(4000 + i) + "." + extensions[i % 6],
                           120'000 + i * 731'519 % 9'000'000, kind, states[i % 6]);
        if (kind == RecoveredFileKind::jpeg || kind == RecoveredFileKind::nef) {
            hit.dimensions = ImageDimensions{6016, 4016};
            hit.captureDate = today - std::chrono::hours(24 * static_cast<int>(i % 9) + 3);
        }
        hit.source = i % 3 == 0 ? HitSource::fatUndelete : HitSource::signatureCarve;
        if (i % 3 == 0) hit.reconstructedPath = (i / 6) % 2 == 0 ? "DCIM/100NIKON" : "DCIM/100_FUJI/My_Trip";
        hit.clusterReallocated = i % 10 == 7;
        hits.push_back(std::move(hit));
    }
    return hits;
}

struct Shot {
    explicit Shot(std::vector<ExternalVolume> volumes, QSize size = {1180, 720}) {
        harness.volumes->current = std::move(volumes);
        window = std::make_unique<MainWindow>(*harness.model, harness.volumes);
        window->resize(size);
        window->show();
        settle();
    }
    AppModel& model() { return *harness.model; }
    void settle() {
        harness.executor->runUntilIdle();
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    // Writes the window, with any open alert drawn over its middle, and returns the file.
    QString save(const QString& name, QWidget* alert = nullptr) {
        settle();
        QImage image = window->grab().toImage();
        if (alert) {
            alert->adjustSize();
            const QImage dialog = alert->grab().toImage();
            QPainter painter(&image);
            painter.fillRect(image.rect(), QColor(0, 0, 0, 60));
            const QPoint at((image.width() - dialog.width()) / 2, (image.height() - dialog.height()) / 3);
            painter.fillRect(QRect(at, dialog.size()).adjusted(-1, -1, 1, 1), QColor(0, 0, 0, 90));
            painter.drawImage(at, dialog);
        }
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        EXPECT_TRUE(image.save(file)) << file.toStdString();
        return file;
    }

    QApplication& application = test::widgetApplication();
    AppModelHarness harness;
    std::unique_ptr<MainWindow> window;
};

TEST(Screenshots, NoVolumes) {
    Shot shot({});
    EXPECT_TRUE(QFile::exists(shot.save("1-no-volumes")));
}

TEST(Screenshots, AVolumeSelected) {
    Shot shot(someVolumes());
    shot.model().setSelectedVolume(someVolumes()[0]);
    EXPECT_TRUE(QFile::exists(shot.save("2-volume-selected")));
}

TEST(Screenshots, AScanWithHitsArriving) {
    Shot shot(someVolumes());
    shot.model().setSelectedVolume(someVolumes()[1]);
    shot.model().setIsScanning(true);
    for (auto& hit : someHits(40, shot.harness.clock->current)) {
        hit.integrity = hit.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
        hit.captureDate.reset();
        shot.model().appendHit(std::move(hit));
    }
    shot.model().setProgress({47'000'000'000, 127'865'454'592, 40, 2});
    shot.model().setScanThroughputMBps(86.4);
    shot.model().setStatusMessage("Scanning SANDISK — carving file signatures…");
    shot.model().setCatalogDirty(true);
    shot.model().setSelectedHitIDs({shot.model().hits()[2].id, shot.model().hits()[3].id});
    EXPECT_TRUE(QFile::exists(shot.save("3-scan-running")));
}

TEST(Screenshots, AFinishedScanFilteredAndSorted) {
    Shot shot(someVolumes());
    shot.model().setSelectedVolume(someVolumes()[0]);
    shot.model().setHits(someHits(60, shot.harness.clock->current));
    shot.model().setQualityPassStarted(true);
    shot.model().setLastFinishedScanMode(ScanMode::standard);
    shot.model().setProgress({31'914'983'424, 31'914'983'424, 60, 0});
    shot.model().setStatusMessage("Scan finished: 60 files found.");
    shot.model().setCatalogDirty(true);
    ResultsQuery query;
    query.integrityFilter = ResultsIntegrityFilter::ok;
    query.sort = ResultsSort::sizeDescending;
    shot.model().setResultsQuery(query);
    shot.model().setSelectedHitIDs({shot.model().displayedHit(1).id});
    EXPECT_TRUE(QFile::exists(shot.save("4-finished-filtered-sorted")));
}

TEST(Screenshots, TheErrorAlert) {
    Shot shot(someVolumes());
    shot.model().setSelectedVolume(someVolumes()[0]);
    shot.model().setErrorMessage(QStringLiteral("Linux blocked raw disk access. Allow disk access for Vantrel in system settings, then try again."));
    shot.settle();
    ASSERT_NE(shot.window->errorAlert(), nullptr);
    EXPECT_TRUE(QFile::exists(shot.save("5-error-alert", shot.window->errorAlert())));
}

// A finished scan with its badges, as the state to look at in other palettes and fonts.
void finishScan(Shot& shot) {
    shot.model().setSelectedVolume(someVolumes()[1]);
    shot.model().setHits(someHits(24, shot.harness.clock->current));
    shot.model().setQualityPassStarted(true);
    shot.model().setLastFinishedScanMode(ScanMode::standard);
    shot.model().setProgress({127'865'454'592, 127'865'454'592, 24, 0});
    shot.model().setStatusMessage("Scan finished: 24 files found.");
    shot.model().setSelectedHitIDs({shot.model().displayedHit(2).id});
}

TEST(Screenshots, AFinishedScanInADarkPaletteAtTheSmallestSize) {
    QApplication& application = test::widgetApplication();
    const QPalette usual = QApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Mid, QColor(0x50, 0x50, 0x50));
    application.setPalette(dark);
    {
        Shot shot(someVolumes(), {MainWindow::minimumWidth, MainWindow::minimumHeight});
        finishScan(shot);
        EXPECT_TRUE(QFile::exists(shot.save("6-dark-finished-smallest")));
    }
    application.setPalette(usual);
}

TEST(Screenshots, AFinishedScanWithFontsTwiceAsLarge) {
    test::widgetApplication();
    const QFont usual = QApplication::font();
    QFont large = usual;
    large.setPointSizeF(usual.pointSizeF() * 2);
    QApplication::setFont(large);
    {
        Shot shot(someVolumes(), {1440, 900});
        finishScan(shot);
        EXPECT_TRUE(QFile::exists(shot.save("7-large-fonts-finished")));
    }
    QApplication::setFont(usual);
}

} // namespace
} // namespace vantrel
