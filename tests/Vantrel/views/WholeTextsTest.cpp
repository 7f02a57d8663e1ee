// Texts that must never lose a line, at the window's smallest size (880 × 480) and a large one
// (1440 × 900): the three empty states, the four "No matches" messages, the date popover's note and
// caption with its calendar open, and a long status message. Each wrapped label is as tall as its text
// needs at its width; each one-line label shows its whole text or ends it in "…". Pictures of every
// state go to screenshots/ in the build folder for review.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/views/MainWindow.h"
#include "Vantrel/views/ResultsFilterControls.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/StatusBarView.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::makeHit;

const QSize sizes[] = {{MainWindow::minimumWidth, MainWindow::minimumHeight}, {1440, 900}};

QString sizeName(QSize size) { return QStringLiteral("%1x%2").arg(size.width()).arg(size.height()); }

struct TextsFixture {
    explicit TextsFixture(QSize size) {
        test::widgetApplication();
        ExternalVolume card;
        card.name = "NIKON D750";
        card.bsdName = "sdb";
        card.sizeBytes = 31'914'983'424;
        card.isMounted = false;
        card.fileSystemName = "FAT";
        harness.volumes->current = {card};
        window = std::make_unique<MainWindow>(model(), harness.volumes);
        window->resize(size);
        window->show();
        model().setSelectedVolume(card);
        settle();
    }
    AppModel& model() { return *harness.model; }
    ResultsPane& pane() { return *window->resultsPane(); }
    void settle() {
        harness.executor->runUntilIdle();
        for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    }
    void datedHits() {
        std::vector<RecoveredHit> hits;
        for (int i = 0; i < 6; ++i) {
            auto hit = makeHit("DSC_" + std::to_string(4000 + i) + ".JPG", 2'000'000 + i, RecoveredFileKind::jpeg, HitIntegrity::ok);
            hit.captureDate = std::chrono::system_clock::from_time_t(1'767'225'600 + i * 86'400);  // from 1 January 2026
            hits.push_back(hit);
        }
        model().setHits(hits);
        model().setQualityPassStarted(true);
    }
    // Every visible label of the widget shows all of its text: a wrapped one has the height its text
    // needs at its width, a one-line one is wide enough or ends in "…".
    static void expectWhole(QWidget* root, const std::string& where) {
        for (QLabel* label : root->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(root) || label->text().isEmpty() || !label->pixmap().isNull()) continue;
            const std::string text = label->text().toStdString();
            if (label->wordWrap()) {
                EXPECT_GE(label->height(), label->heightForWidth(label->width())) << where << ": lines lost of \"" << text << "\"";
                EXPECT_GT(label->width(), 40) << where << ": \"" << text << "\" squeezed";
            } else {
                for (const QString& line : label->text().split(QLatin1Char('\n'))) {
                    if (line.endsWith(QChar(0x2026))) continue;
                    const int needed = label->fontMetrics().horizontalAdvance(line) + label->contentsMargins().left() +
                                       label->contentsMargins().right();
                    EXPECT_GE(label->width(), needed) << where << ": \"" << line.toStdString() << "\" cut without \"…\"";
                }
                const int lines = static_cast<int>(label->text().count(QLatin1Char('\n'))) + 1;
                EXPECT_GE(label->height(), label->fontMetrics().lineSpacing() * lines) << where << ": lines of \"" << text << "\" lost";
            }
        }
    }
    void save(const QString& name, QWidget* overlay = nullptr, QPoint at = {}) {
        settle();
        QImage image = window->grab().toImage();
        if (overlay) {
            QPainter painter(&image);
            painter.drawImage(at, overlay->grab().toImage());
        }
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(image.save(folder + "/texts-" + name + "-" + sizeName(window->size()) + ".png"));
    }

    test::AppModelHarness harness;
    std::unique_ptr<MainWindow> window;
};

TEST(WholeTexts, TheThreeEmptyStatesKeepEveryLine) {
    for (const QSize size : sizes) {
        const std::pair<std::optional<ScanMode>, QString> states[] = {
            {std::nullopt, "empty-no-scan"}, {ScanMode::quickUndelete, "empty-quick"}, {ScanMode::standard, "empty-standard"}};
        for (const auto& [mode, name] : states) {
            TextsFixture f(size);
            f.model().setLastFinishedScanMode(mode);
            if (mode) f.model().setStatusMessage("Scan finished: no files found on NIKON D750.");
            f.settle();
            ASSERT_EQ(f.pane().currentContent(), f.pane().emptyPage());
            TextsFixture::expectWhole(f.pane().emptyPage(), name.toStdString() + " " + sizeName(size).toStdString());
            f.save(name);
        }
    }
}

TEST(WholeTexts, EveryNoMatchesMessageKeepsEveryLine) {
    for (const QSize size : sizes) {
        TextsFixture f(size);
        f.datedHits();
        auto query = f.model().resultsQuery();
        query.integrityFilter = ResultsIntegrityFilter::suspect;
        f.model().setResultsQuery(query);
        f.settle();
        ASSERT_EQ(f.pane().currentContent(), f.pane().noMatchPage());
        TextsFixture::expectWhole(f.pane().noMatchPage(), "status filter " + sizeName(size).toStdString());
        f.save("no-matches-status");

        // A date range that no hit falls in: the date-or-status message.
        query.integrityFilter = ResultsIntegrityFilter::all;
        query.captureDateFrom = std::chrono::system_clock::from_time_t(1'900'000'000);
        f.model().setResultsQuery(query);
        f.settle();
        ASSERT_EQ(f.pane().currentContent(), f.pane().noMatchPage());
        TextsFixture::expectWhole(f.pane().noMatchPage(), "date filter " + sizeName(size).toStdString());
        f.save("no-matches-date");
    }
}

TEST(WholeTexts, TheDatePopoverShowsItsCaptionAndACalendarWithMonthAndYear) {
    for (const QSize size : sizes) {
        TextsFixture f(size);
        f.datedHits();
        f.settle();
        ResultsDateFilterControl& button = *f.pane().dateFilter();
        button.togglePopover();
        f.settle();
        DateFilterPopover& popover = *button.popover();
        ASSERT_TRUE(popover.isVisible());
        popover.fromToggle()->click();
        popover.toToggle()->click();
        f.settle();
        TextsFixture::expectWhole(&popover, "popover " + sizeName(size).toStdString());
        const QPoint popoverAt = f.window->mapFromGlobal(popover.pos());
        f.save("date-popover", &popover, popoverAt);

        // The calendar of "From", opened with Alt+Down: its navigation bar names the month and the year.
        QTest::keyClick(popover.fromDate(), Qt::Key_Down, Qt::AltModifier);
        f.settle();
        QCalendarWidget* calendar = popover.fromDate()->calendarWidget();
        ASSERT_TRUE(calendar && calendar->isVisible());
        auto* month = calendar->findChild<QToolButton*>(QStringLiteral("qt_calendar_monthbutton"));
        auto* year = calendar->findChild<QToolButton*>(QStringLiteral("qt_calendar_yearbutton"));
        ASSERT_TRUE(month && year);
        EXPECT_TRUE(month->isVisible());
        EXPECT_TRUE(year->isVisible());
        EXPECT_EQ(month->text(), QLocale().standaloneMonthName(1));
        EXPECT_EQ(year->text(), QStringLiteral("2026"));
        // The bar's texts stand out from its background (many pixels far from the bar's own colour), and
        // are wide enough to be read whole.
        QWidget* bar = calendar->findChild<QWidget*>(QStringLiteral("qt_calendar_navigationbar"));
        ASSERT_NE(bar, nullptr);
        const QImage drawnBar = bar->grab().toImage();
        const int barLightness = drawnBar.pixelColor(2, 2).lightness();
        for (QToolButton* part : {month, year}) {
            EXPECT_GE(part->width(), part->fontMetrics().horizontalAdvance(part->text())) << part->text().toStdString();
            const QRect area = part->geometry() & drawnBar.rect();
            int contrasting = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    contrasting += std::abs(drawnBar.pixelColor(x, y).lightness() - barLightness) > 80;
            EXPECT_GT(contrasting, 20) << part->text().toStdString() << " readable on its bar";
        }
        QWidget* calendarWindow = calendar->window();
        QImage image = f.window->grab().toImage();
        {
            QPainter painter(&image);
            painter.drawImage(popoverAt, popover.grab().toImage());
            painter.drawImage(f.window->mapFromGlobal(calendarWindow->pos()), calendarWindow->grab().toImage());
        }
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        EXPECT_TRUE(image.save(folder + "/texts-date-calendar-" + sizeName(size) + ".png"));
        calendarWindow->hide();
        popover.hide();
    }
}

TEST(WholeTexts, ALongStatusMessageEndsInAnEllipsisOrWraps) {
    for (const QSize size : sizes) {
        TextsFixture f(size);
        f.model().setStatusMessage(QStringLiteral(
            "Recovered 3 file(s). 2 file(s) could not be written to /media/user/Backup drive with a long name/Recovered "
            "files of the holiday in the mountains/2026-01-01: the disk is full. Free some space and try again."));
        f.settle();
        TextsFixture::expectWhole(f.window->statusBarView(), "idle status " + sizeName(size).toStdString());
        f.save("status-long");
        // After a scan that found nothing: the message in at most two lines, then "…".
        f.model().setLastFinishedScanMode(ScanMode::standard);
        f.settle();
        TextsFixture::expectWhole(f.window->statusBarView(), "nothing-found status " + sizeName(size).toStdString());
        f.save("status-long-nothing-found");
    }
}

} // namespace
} // namespace vantrel
