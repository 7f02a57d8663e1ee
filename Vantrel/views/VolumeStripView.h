#pragma once
// The strip across the top of the window: one tile per attached volume and a card for the selected
// one. A click on a tile reports the volume; the selection shown is whatever the window sets.
//
// The keyboard reaches the strip as one stop of the window's Tab chain: the arrows (and Home, End)
// move a focus ring from tile to tile without choosing anything, Space or Return chooses the tile
// under the ring.
//
// When more tiles are listed than fit, the strip scrolls the selected tile into view whenever the
// selection moves to another disk or the selected disk's tile appears, and keeps it in view while
// disks come and go around it; a strip the user scrolled away from the selection stays where it is.

#include "support/volumes/ExternalVolume.h"

#include <QAbstractButton>
#include <QFrame>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QHBoxLayout;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace vantrel {

// One tile: the symbol, the name and the second line, highlighted while selected.
class VolumeTile : public QAbstractButton {
    Q_OBJECT

public:
    static constexpr int contentWidth = 110;
    static constexpr int padding = 10;

    VolumeTile(ExternalVolume volume, bool selected, QWidget* parent = nullptr);
    const ExternalVolume& volume() const { return m_volume; }
    bool isSelected() const { return m_selected; }
    // The strip has the keyboard and this tile is where its arrows stand.
    bool showsFocus() const { return m_showsFocus; }
    void setShowsFocus(bool shows);
    QSize sizeHint() const override;
    // The width of the name and second line: contentWidth, or more for a large font.
    int textWidth() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ExternalVolume m_volume;
    bool m_selected;
    bool m_showsFocus = false;
};

// The summary of the selected volume at the strip's end.
class SelectedVolumeCard : public QFrame {
    Q_OBJECT

public:
    explicit SelectedVolumeCard(QWidget* parent = nullptr);
    void setVolume(const std::optional<ExternalVolume>& volume);
    // The texts shown, top to bottom.
    QStringList lines() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_layout;
    bool m_hasVolume = false;
};

class VolumeStripView : public QWidget {
    Q_OBJECT

public:
    explicit VolumeStripView(QWidget* parent = nullptr);

    void setVolumes(std::vector<ExternalVolume> volumes, bool showInternal);
    void setSelected(std::optional<ExternalVolume> selected);

    // Receives the clicked tile's volume (also the selected one again).
    std::function<void(const ExternalVolume&)> onPick;

    std::vector<VolumeTile*> tiles() const;
    QLabel* emptyLabel() const { return m_emptyLabel; }
    SelectedVolumeCard* card() const { return m_card; }
    QScrollArea* scrollArea() const { return m_scroll; }
    // The tile the arrow keys stand on; none without tiles.
    std::optional<std::size_t> currentTile() const { return m_current; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuildTiles();
    // Moves the ring; reveal scrolls its tile into view (the tiles must be laid out).
    void setCurrent(std::optional<std::size_t> index, bool reveal = true);
    // Scrolls the disk's tile into view once the tiles are laid out (after a rebuild, or when the
    // strip gets its size).
    void revealLater(const std::string& disk);
    void revealNow();
    bool selectedTileInView() const;

    std::vector<ExternalVolume> m_volumes;
    bool m_showInternal = false;
    std::optional<ExternalVolume> m_selected;
    std::optional<std::size_t> m_current;
    std::vector<std::string> m_shownDisks;  // the tiles' disks, in order, as last built
    std::optional<std::string> m_revealDisk;  // a tile still to scroll into view
    int m_revealRounds = 0;
    QScrollArea* m_scroll;
    QWidget* m_row;
    QHBoxLayout* m_rowLayout;
    QLabel* m_emptyLabel;
    SelectedVolumeCard* m_card;
};

} // namespace vantrel
