// What a screen reader and a user of large fonts or a dark theme get from the main window: every
// control of the accessible tree named with a role, the disk strip a list whose tiles are focusable,
// report the chosen disk and follow the arrow keys; rows that grow with the font and a minimum size
// that fits a 1920×1080 screen at 200 %; badge labels that keep WCAG's 4.5:1 in light and dark palettes.

#include "ActiveMainWindow.h"

#include "Vantrel/views/ColorContrast.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/ResultsFilterLogic.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/VolumeStripView.h"

#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QProgressBar>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace vantrel {
namespace {

struct Fixture : test::ActiveMainWindow {
    Fixture() : ActiveMainWindow({test::mountedCard("Card", "sdb"), test::mountedCard("Camera", "sdc")}) {}
};

QAccessibleInterface* accessible(QObject* object) { return QAccessible::queryAccessibleInterface(object); }

// Every interface below root that is shown, depth first.
void walk(QAccessibleInterface* root, const std::function<void(QAccessibleInterface*)>& visit) {
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        if (!child || child->state().invisible) continue;
        visit(child);
        walk(child, visit);
    }
}

TEST(Accessibility, EveryControlOfTheWindowHasANameAndARole) {
    Fixture f;
    f.harness.model->setHits({test::makeHit("IMG_0001.jpg", 120'000)});
    f.settle();
    // The roles a user acts on; each needs a name a screen reader can say.
    const std::set<QAccessible::Role> controls = {QAccessible::PushButton, QAccessible::CheckBox, QAccessible::RadioButton,
                                                  QAccessible::ComboBox,   QAccessible::ListItem, QAccessible::List,
                                                  QAccessible::Table,      QAccessible::ProgressBar,
                                                  QAccessible::EditableText, QAccessible::ButtonMenu};
    int checked = 0;
    walk(accessible(f.window.get()), [&](QAccessibleInterface* node) {
        EXPECT_NE(node->role(), QAccessible::NoRole) << node->object()->metaObject()->className();
        if (!controls.count(node->role())) return;
        ++checked;
        EXPECT_FALSE(node->text(QAccessible::Name).trimmed().isEmpty())
            << "unnamed " << node->object()->metaObject()->className() << " role " << node->role();
    });
    EXPECT_GE(checked, 6);

    QAccessibleInterface* strip = accessible(f.window->volumeStrip());
    EXPECT_EQ(strip->role(), QAccessible::List);
    EXPECT_EQ(strip->text(QAccessible::Name), "Disks");
    QAccessibleInterface* list = accessible(f.window->resultsPane()->list());
    EXPECT_EQ(list->role(), QAccessible::Table);
    EXPECT_EQ(list->text(QAccessible::Name), "Found files");
    // Shown only while a scan runs: named all the same.
    const auto bars = f.window->findChildren<QProgressBar*>();
    ASSERT_EQ(bars.size(), 2);
    for (QProgressBar* bar : bars) EXPECT_FALSE(accessible(bar)->text(QAccessible::Name).isEmpty());
}

TEST(Accessibility, TheStripsTilesAreFocusableReportTheChosenDiskAndFollowTheArrows) {
    Fixture f;
    VolumeStripView& strip = *f.window->volumeStrip();
    static std::vector<QObject*>* focusTargets = nullptr;
    std::vector<QObject*> targets;
    focusTargets = &targets;
    QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        if (event->type() == QAccessible::Focus) focusTargets->push_back(event->object());
    });
    QAccessible::setActive(true);

    strip.setFocus(Qt::TabFocusReason);
    f.settle();
    const auto state = [&](std::size_t index) { return accessible(strip.tiles()[index])->state(); };
    for (std::size_t i = 0; i < 2; ++i) {
        QAccessibleInterface* tile = accessible(strip.tiles()[i]);
        EXPECT_EQ(tile->role(), QAccessible::ListItem);
        EXPECT_EQ(tile->text(QAccessible::Name), i == 0 ? "Card" : "Camera");
        EXPECT_TRUE(tile->state().focusable);
        EXPECT_TRUE(tile->state().selectable);
        EXPECT_FALSE(tile->state().selected) << "no disk chosen yet";
    }
    EXPECT_TRUE(state(0).focused);
    f.press(Qt::Key_Right);
    EXPECT_FALSE(state(0).focused);
    EXPECT_TRUE(state(1).focused);
    if (QAccessible::isActive()) {
        ASSERT_FALSE(targets.empty());
        EXPECT_EQ(targets.back(), strip.tiles()[1]) << "the screen reader follows the ring";
    }
    f.press(Qt::Key_Space);
    ASSERT_TRUE(f.harness.model->selectedVolume());
    EXPECT_TRUE(state(1).selected);
    EXPECT_FALSE(state(0).selected);
    EXPECT_TRUE(state(1).focused) << "the rebuilt tile keeps the ring";
    // The press action a screen reader offers chooses the tile too.
    accessible(strip.tiles()[0])->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    f.settle();
    EXPECT_EQ(f.harness.model->selectedVolume()->bsdName, "sdb");
    QAccessible::installUpdateHandler(nullptr);
    focusTargets = nullptr;
}

TEST(Accessibility, RowsGrowWithTheFontAndTheMinimumSizeFitsAScreenAt200Percent) {
    Fixture f;
    EXPECT_LE(f.window->minimumSize().width(), 960);
    EXPECT_LE(f.window->minimumSize().height(), 540);
    const QSize needed = f.window->minimumSizeHint().expandedTo(f.window->minimumSize());
    EXPECT_LE(needed.width(), 960) << "what the layout needs at the usual font";
    EXPECT_LE(needed.height(), 540);

    const QFont usual = QApplication::font();
    for (const double scale : {1.0, 2.0}) {
        QFont font = usual;
        font.setPointSizeF(usual.pointSizeF() * scale);
        QApplication::setFont(font);
        HitsColumnList list(*f.harness.model);
        QFont path = font;
        path.setPointSizeF(font.pointSizeF() * 0.8);
        // The name's line and the path's below it fit in the row.
        const int lines = QFontMetrics(font).height() + 1 + QFontMetrics(path).height();
        EXPECT_GE(list.verticalHeader()->defaultSectionSize(), lines) << "font scale " << scale;
        EXPECT_GE(list.verticalHeader()->defaultSectionSize(), HitsColumnList::rowHeight);
    }
    QApplication::setFont(usual);
}

TEST(Accessibility, BadgeLabelsKeepTextContrastInLightAndDarkPalettes) {
    // WCAG's own figures first: black on white, and a grey just short of 4.5:1.
    EXPECT_NEAR(ColorContrast::contrastRatio(Qt::black, Qt::white), 21.0, 1e-6);
    EXPECT_NEAR(ColorContrast::contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);

    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));

    struct Case {
        const char* palette;
        const QPalette* colors;
    };
    const Case palettes[] = {{"light", &light}, {"dark", &dark}};
    bool fixedGreenWasTooFaint = false;
    for (const auto& entry : palettes) {
        for (const auto integrity : {HitIntegrity::pending, HitIntegrity::ok, HitIntegrity::suspect, HitIntegrity::failed,
                                     HitIntegrity::skipped}) {
            const auto badge = ResultsFilterLogic::badge(integrity, false);
            const auto colors = ColorContrast::badgeColors(badge.color, *entry.colors, badge.fillOpacity);
            EXPECT_GE(ColorContrast::contrastRatio(colors.text, colors.background), ColorContrast::minimumTextContrast)
                << badge.label.toStdString() << " in the " << entry.palette << " palette";
            const QColor fixed = ColorContrast::over(ViewColors::color(badge.color, *entry.colors), colors.background);
            if (integrity == HitIntegrity::ok && ColorContrast::contrastRatio(fixed, colors.background) < 4.5)
                fixedGreenWasTooFaint = true;
        }
    }
    EXPECT_TRUE(fixedGreenWasTooFaint) << "the fixed colours alone would pass: the case is not the one it guards";
}

} // namespace
} // namespace vantrel
