// The volume strip as the window holds it, offscreen: an image file's tile and card beside a card
// reader's, and a selected tile that lies beyond the strip's width scrolled into view. Each writes a
// picture to screenshots/ in the build folder.

#include "WidgetTesting.h"

#include "Vantrel/views/VolumeStripView.h"

#include <QApplication>
#include <QDir>
#include <QScrollArea>
#include <QScrollBar>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

ExternalVolume disk(std::string name, std::string bsdName, bool mounted) {
    ExternalVolume v;
    v.name = std::move(name);
    v.bsdName = std::move(bsdName);
    v.sizeBytes = 16'777'216;
    v.isMounted = mounted;
    v.fileSystemName = "FAT";
    v.protocolName = "USB";
    return v;
}

ExternalVolume imageFile(const std::string& path, std::optional<std::string> fileSystem) {
    ExternalVolume v;
    v.name = std::filesystem::path(path).filename().string();
    v.bsdName = path;
    v.sizeBytes = 16'777'216;
    v.protocolName = "Disk Image";
    v.fileSystemName = std::move(fileSystem);
    return v;
}

struct Strip {
    explicit Strip(int width) {
        view.resize(width, 160);
        view.show();
        settle();
    }
    void settle() {
        for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    }
    // Whether the tile lies wholly inside the strip's visible part.
    bool inView(const std::string& bsdName) const {
        for (VolumeTile* tile : view.tiles()) {
            if (tile->volume().bsdName != bsdName) continue;
            const QRect shown = view.scrollArea()->viewport()->rect();
            const QRect place(tile->mapTo(view.scrollArea()->viewport(), QPoint(0, 0)), tile->size());
            return shown.contains(place);
        }
        return false;
    }
    void save(const QString& name) {
        settle();
        const QString folder = QStringLiteral(VANTREL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(view.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
    }

    QApplication& application = test::widgetApplication();
    VolumeStripView view;
};

TEST(VolumeStripView, AnImageFileIsNeverCalledUnmountedWhileAnUnmountedCardIs) {
    Strip strip(900);
    const auto card = disk("NIKON", "sdb", false);
    const auto image = imageFile("/srv/images/card.img", "FAT");
    const auto blank = imageFile("/srv/images/blank.img", std::nullopt);
    strip.view.setVolumes({card, image, blank}, false);

    strip.view.setSelected(image);
    EXPECT_EQ(strip.view.card()->lines(), (QStringList{"card.img", "16.8 MB", "FAT", "Disk Image"}));
    EXPECT_FALSE(strip.view.card()->toolTip().contains("Unmounted"));
    strip.save("volume-strip-image-file");

    strip.view.setSelected(blank);
    EXPECT_EQ(strip.view.card()->lines(), (QStringList{"blank.img", "16.8 MB", "Disk Image"}));

    strip.view.setSelected(card);
    EXPECT_EQ(strip.view.card()->lines().back(), "Unmounted");
    strip.save("volume-strip-unmounted-card");
}

TEST(VolumeStripView, TheSelectedTileIsScrolledIntoViewAndKeptThereWhileAStripScrolledAwayStays) {
    Strip strip(600);
    std::vector<ExternalVolume> many;
    for (int i = 0; i < 14; ++i) many.push_back(disk("Disk " + std::to_string(i), "loop" + std::to_string(150 + i), i % 2 == 0));
    strip.view.setVolumes(many, true);
    strip.settle();
    QScrollBar* bar = strip.view.scrollArea()->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "the tiles do not overflow the strip";
    ASSERT_FALSE(strip.inView("loop162"));

    strip.view.setSelected(many[12]);
    strip.settle();
    EXPECT_TRUE(strip.inView("loop162"));
    strip.save("volume-strip-far-tile-selected");

    // The selected disk changes state (mounted): same disk, the strip stays where it is.
    const int scrolled = bar->value();
    auto mounted = many;
    mounted[12].isMounted = !mounted[12].isMounted;
    strip.view.setVolumes(mounted, true);
    strip.view.setSelected(mounted[12]);
    strip.settle();
    EXPECT_EQ(bar->value(), scrolled);
    EXPECT_TRUE(strip.inView("loop162"));

    // Disks attached before it push the selected tile along: it stays in view.
    for (int i = 0; i < 3; ++i) mounted.insert(mounted.begin(), disk("Front " + std::to_string(i), "sd" + std::string(1, char('e' + i)), true));
    strip.view.setVolumes(mounted, true);
    strip.settle();
    EXPECT_TRUE(strip.inView("loop162"));

    // The user scrolls back to the start; another disk appearing does not pull the strip back.
    bar->setValue(0);
    mounted.push_back(disk("Disk 14", "loop164", true));
    strip.view.setVolumes(mounted, true);
    strip.settle();
    EXPECT_EQ(bar->value(), 0);

    // The first tile chosen again comes into view from the far end.
    bar->setValue(bar->maximum());
    strip.view.setSelected(mounted[3]);
    strip.settle();
    EXPECT_TRUE(strip.inView("loop150"));

    // A selected disk that was not listed comes into view when its tile appears.
    auto later = disk("Later", "loop199", false);
    strip.view.setSelected(later);
    strip.settle();
    bar->setValue(0);
    mounted.push_back(later);
    strip.view.setVolumes(mounted, true);
    strip.settle();
    EXPECT_TRUE(strip.inView("loop199"));
}

} // namespace
} // namespace vantrel
