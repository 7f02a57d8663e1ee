// The filter sidebar shown offscreen against a real model: group checkboxes, kind switches, the
// disclosure and the size fields.

#include "AppModelHarness.h"
#include "WidgetTesting.h"

#include "Vantrel/views/FilterSidebar.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

class FilterSidebarTest : public ::testing::Test {
protected:
    FilterSidebarTest() : sidebar((test::widgetApplication(), *harness.model), {FileTypeGroup::images}) { sidebar.show(); }

    template <typename Widget>
    Widget* child(const QString& name) {
        auto* found = sidebar.findChild<Widget*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    void type(const QString& field, const QString& text) {
        auto* edit = child<QLineEdit>(field);
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    const RecoveryFilters& filters() { return harness.model->filters(); }

    test::AppModelHarness harness;
    FilterSidebar sidebar;
};

TEST_F(FilterSidebarTest, ShowsTheDefaultFilter) {
    EXPECT_EQ(child<QCheckBox>("group.images")->checkState(), Qt::Checked);
    EXPECT_EQ(child<QCheckBox>("group.images")->property("symbolName").toString(), "checkmark.square.fill");
    EXPECT_EQ(child<QCheckBox>("group.audio")->property("symbolName").toString(), "square");
    EXPECT_TRUE(child<QCheckBox>("kind.crw")->isChecked());
    EXPECT_EQ(child<QCheckBox>("kind.crw")->text(), "CRW (Canon RAW)");
    EXPECT_EQ(child<QLineEdit>("minimumImageWidth")->text(), QLocale().toString(800));
    EXPECT_TRUE(child<QWidget>("kinds.images")->isVisible());
    EXPECT_FALSE(child<QWidget>("kinds.audio")->isVisible());
}

TEST_F(FilterSidebarTest, TheGroupCheckboxTurnsTheWholeGroupOnAndOff) {
    auto* audio = child<QCheckBox>("group.audio");
    audio->click();
    for (const auto kind : {K::mp3, K::m4a, K::wav, K::flac, K::ogg}) EXPECT_TRUE(filters().allowedKinds.contains(kind));
    EXPECT_EQ(audio->checkState(), Qt::Checked);
    audio->click();
    for (const auto kind : {K::mp3, K::m4a, K::wav, K::flac, K::ogg}) EXPECT_FALSE(filters().allowedKinds.contains(kind));
    EXPECT_EQ(audio->checkState(), Qt::Unchecked);
}

TEST_F(FilterSidebarTest, APartlyChosenGroupShowsSomeAndAClickChoosesAll) {
    child<QCheckBox>("kind.jpeg")->click();
    EXPECT_FALSE(filters().allowedKinds.contains(K::jpeg));
    auto* images = child<QCheckBox>("group.images");
    EXPECT_EQ(images->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(images->property("symbolName").toString(), "minus.square.fill");
    images->click();
    EXPECT_TRUE(filters().allowedKinds.contains(K::jpeg));
    EXPECT_TRUE(filters().allowedKinds.contains(K::cr3));
    EXPECT_EQ(images->checkState(), Qt::Checked);
}

TEST_F(FilterSidebarTest, TheCanonRawSwitchTurnsOffAllThree) {
    child<QCheckBox>("kind.crw")->click();
    for (const auto kind : {K::crw, K::cr2, K::cr3}) EXPECT_FALSE(filters().allowedKinds.contains(kind));
}

TEST_F(FilterSidebarTest, FootnotesShowOnlyWhileTheGroupIsOpen) {
    auto* disclosure = child<QToolButton>("disclosure.audio");
    EXPECT_FALSE(child<QLabel>("footnote.audio")->isVisible());
    disclosure->click();
    EXPECT_TRUE(child<QLabel>("footnote.audio")->isVisible());
    EXPECT_TRUE(disclosure->property("chevronRotated").toBool());
    EXPECT_TRUE(sidebar.expandedGroups().contains(FileTypeGroup::audio));
    child<QToolButton>("disclosure.video")->click();
    EXPECT_EQ(sidebar.findChild<QLabel*>("footnote.video"), nullptr);
    disclosure->click();
    EXPECT_FALSE(child<QLabel>("footnote.audio")->isVisible());
}

TEST_F(FilterSidebarTest, SizeFieldsWriteTheFilterAndRefuseWhatIsNoSize) {
    type("minimumImageWidth", "-5");
    EXPECT_FALSE(filters().minimumImageWidth);
    EXPECT_EQ(child<QLineEdit>("minimumImageWidth")->text(), "0");
    type("minimumImageHeight", "1200");
    EXPECT_EQ(filters().minimumImageHeight, 1200);
    type("minimumByteSize", "4096");
    EXPECT_EQ(filters().minimumByteSize, 4096u);
    type("minimumByteSize", "-1");
    EXPECT_EQ(filters().minimumByteSize, 4096u);
    EXPECT_EQ(child<QLineEdit>("minimumByteSize")->text(), QLocale().toString(4096));
}

TEST_F(FilterSidebarTest, FollowsAFilterChangedElsewhere) {
    RecoveryFilters none{{}, 0, std::nullopt, std::nullopt};
    harness.model->setFilters(none);
    EXPECT_EQ(child<QCheckBox>("group.images")->checkState(), Qt::Unchecked);
    EXPECT_FALSE(child<QCheckBox>("kind.png")->isChecked());
    EXPECT_EQ(child<QLineEdit>("minimumImageHeight")->text(), "0");
    // A picture for whoever reviews the form.
    QDir().mkpath(QStringLiteral(VANTREL_BINARY_DIR "/screenshots"));
    harness.model->setFilters(RecoveryFilters::defaults());
    sidebar.resize(360, 720);
    EXPECT_TRUE(sidebar.grab().save(QStringLiteral(VANTREL_BINARY_DIR "/screenshots/filter-sidebar.png")));
}

} // namespace
} // namespace vantrel
