#include "Vantrel/views/VolumeStripView.h"

#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"
#include "Vantrel/views/VolumeStripLogic.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <mutex>

namespace vantrel {
namespace {

constexpr int symbolSize = 40;
constexpr int spacing = 8;

QFont captionFont(const QFont& base, double scale, QFont::Weight weight) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * scale);
    font.setWeight(weight);
    return font;
}

// A horizontal strip: the wheel scrolls it sideways, since it has no vertical extent to scroll.
class StripScrollArea final : public QScrollArea {
public:
    using QScrollArea::QScrollArea;

protected:
    void wheelEvent(QWheelEvent* event) override {
        const QPoint delta = event->angleDelta();
        const int steps = std::abs(delta.x()) > std::abs(delta.y()) ? delta.x() : delta.y();
        QScrollBar* bar = horizontalScrollBar();
        bar->setValue(bar->value() - steps * bar->singleStep() / 40);
        event->accept();
    }
};

// What a screen reader is told of the strip and its tiles: a list named "Disks" whose items are the
// disks, each selectable and focusable, selected while it is the chosen disk and focused while the
// strip's arrows stand on it (the strip keeps the keyboard, so the tile's focus is told, not taken).
class VolumeTileAccessible final : public QAccessibleWidget {
public:
    explicit VolumeTileAccessible(VolumeTile* tile) : QAccessibleWidget(tile, QAccessible::ListItem) {
        addControllingSignal(QStringLiteral("clicked(bool)"));
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        const auto* tile = static_cast<const VolumeTile*>(widget());
        state.focusable = true;
        state.focused = tile->showsFocus();
        state.selectable = true;
        state.selected = tile->isSelected();
        return state;
    }

    QString text(QAccessible::Text kind) const override {
        const auto* tile = static_cast<const VolumeTile*>(widget());
        switch (kind) {
        case QAccessible::Name: return QString::fromStdString(tile->volume().name);
        case QAccessible::Description: return VolumeStripLogic::tileTooltip(tile->volume());
        default: return QAccessibleWidget::text(kind);
        }
    }

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction()) static_cast<VolumeTile*>(widget())->click();
    }
};

QAccessibleInterface* stripAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("vantrel::VolumeTile") && object->isWidgetType())
        return new VolumeTileAccessible(static_cast<VolumeTile*>(object));
    if (className == QLatin1String("vantrel::VolumeStripView") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::List);
    return nullptr;
}

void installStripAccessibility() {
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(stripAccessibility); });
}

// Tells an assistive technology that the tile's state changed.
void tellState(VolumeTile* tile, bool focus, bool selection) {
    if (!QAccessible::isActive()) return;
    QAccessible::State changed;
    changed.focused = focus;
    changed.selected = selection;
    QAccessibleStateChangeEvent event(tile, changed);
    QAccessible::updateAccessibility(&event);
}

} // namespace

// ---- Tile.

VolumeTile::VolumeTile(ExternalVolume volume, bool selected, QWidget* parent)
    : QAbstractButton(parent), m_volume(std::move(volume)), m_selected(selected) {
    setCursor(Qt::PointingHandCursor);
    // The strip takes the keyboard for all its tiles.
    setFocusPolicy(Qt::NoFocus);
    setToolTip(VolumeStripLogic::tileTooltip(m_volume).toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>")));
    setAccessibleName(QString::fromStdString(m_volume.name));
    setProperty(Symbols::propertyName, VolumeStripLogic::symbolName(m_volume));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

int VolumeTile::textWidth() const {
    // Wider with large fonts, so that a name keeps as many letters as at the usual size.
    constexpr int lettersShown = 15;
    return std::max(contentWidth, QFontMetrics(captionFont(font(), 0.92, QFont::Medium)).averageCharWidth() * lettersShown);
}

QSize VolumeTile::sizeHint() const {
    const QFontMetrics name(captionFont(font(), 0.92, QFont::Medium));
    const QFontMetrics subtitle(captionFont(font(), 0.82, QFont::Normal));
    return {textWidth() + 2 * padding, 2 * padding + symbolSize + spacing + name.height() + spacing + subtitle.height()};
}

void VolumeTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, 12, 12);
    if (m_selected) {
        painter.fillPath(shape, ViewColors::color(ColorRole::accent, pal, 0.12));
        painter.setPen(QPen(ViewColors::color(ColorRole::accent, pal, 0.4), 1));
        painter.drawPath(shape);
    } else if (underMouse()) {
        painter.fillPath(shape, ViewColors::color(ColorRole::primary, pal, 0.05));
    }
    if (m_showsFocus) {
        // The focus ring, inside the tile's own outline.
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 11, 11);
        painter.setPen(QPen(pal.color(QPalette::Highlight), 2));
        painter.drawPath(ring);
    }

    int y = padding;
    const QColor symbolColor = ViewColors::color(m_selected ? ColorRole::accent : ColorRole::primary, pal);
    const QPixmap symbol = Symbols::pixmap(VolumeStripLogic::symbolName(m_volume), symbolSize, symbolColor, devicePixelRatioF());
    painter.drawPixmap((width() - symbolSize) / 2, y, symbol);
    y += symbolSize + spacing;

    const int columnWidth = textWidth();
    const QRect textColumn(padding, 0, columnWidth, height());
    const QFont nameFont = captionFont(font(), 0.92, QFont::Medium);
    painter.setFont(nameFont);
    painter.setPen(ViewColors::color(ColorRole::primary, pal));
    const QFontMetrics nameMetrics(nameFont);
    painter.drawText(QRect(textColumn.x(), y, textColumn.width(), nameMetrics.height()), Qt::AlignHCenter | Qt::TextSingleLine,
                     nameMetrics.elidedText(QString::fromStdString(m_volume.name), Qt::ElideRight, columnWidth));
    y += nameMetrics.height() + spacing;

    const QFont subtitleFont = captionFont(font(), 0.82, QFont::Normal);
    painter.setFont(subtitleFont);
    painter.setPen(ViewColors::color(VolumeStripLogic::subtitleColor(m_volume), pal));
    const QFontMetrics subtitleMetrics(subtitleFont);
    painter.drawText(QRect(textColumn.x(), y, textColumn.width(), subtitleMetrics.height()), Qt::AlignHCenter | Qt::TextSingleLine,
                     subtitleMetrics.elidedText(VolumeStripLogic::subtitle(m_volume), Qt::ElideRight, columnWidth));
}

void VolumeTile::setShowsFocus(bool shows) {
    if (shows == m_showsFocus) return;
    m_showsFocus = shows;
    update();
    tellState(this, true, false);
    if (shows && QAccessible::isActive()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        QAccessible::updateAccessibility(&focus);
    }
}

// ---- Card.

SelectedVolumeCard::SelectedVolumeCard(QWidget* parent) : QFrame(parent), m_layout(new QVBoxLayout(this)) {
    m_layout->setContentsMargins(10, 8, 10, 8);
    m_layout->setSpacing(3);
    setMinimumWidth(120);
    setMaximumWidth(168);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    setVolume(std::nullopt);
}

void SelectedVolumeCard::setVolume(const std::optional<ExternalVolume>& volume) {
    while (QLayoutItem* item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    m_hasVolume = volume.has_value();
    const QPalette& pal = palette();
    auto addLine = [&](const QString& text, ColorRole role, double scale, QFont::Weight weight) {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        QFont font = captionFont(this->font(), scale, weight);
        label->setFont(font);
        label->setText(QFontMetrics(font).elidedText(text, Qt::ElideRight, maximumWidth() - 20));
        label->setProperty("fullText", text);
        label->setStyleSheet(ViewColors::styleSheet(role, pal));
        m_layout->addWidget(label);
    };
    if (!volume) {
        setMinimumWidth(100);
        addLine(VolumeStripLogic::noSelectionText(), ColorRole::tertiary, 0.92, QFont::Normal);
        setToolTip({});
        return;
    }
    setMinimumWidth(120);
    using Style = VolumeStripLogic::CardLine::Style;
    for (const auto& line : VolumeStripLogic::cardLines(*volume)) {
        switch (line.style) {
        case Style::name: addLine(line.text, line.color, 0.92, QFont::DemiBold); break;
        case Style::size: addLine(line.text, line.color, 0.92, QFont::Normal); break;
        case Style::detail: addLine(line.text, line.color, 0.82, QFont::Normal); break;
        case Style::warning: addLine(line.text, line.color, 0.82, QFont::Medium); break;
        }
    }
    setToolTip(VolumeStripLogic::cardTooltip(*volume).toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>")));
}

QStringList SelectedVolumeCard::lines() const {
    QStringList result;
    for (int i = 0; i < m_layout->count(); ++i)
        if (auto* label = qobject_cast<QLabel*>(m_layout->itemAt(i)->widget())) result << label->property("fullText").toString();
    return result;
}

void SelectedVolumeCard::paintEvent(QPaintEvent* event) {
    if (m_hasVolume) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(shape, ViewColors::color(ColorRole::primary, palette(), 0.05));
    }
    QFrame::paintEvent(event);
}

// ---- Strip.

VolumeStripView::VolumeStripView(QWidget* parent)
    : QWidget(parent), m_scroll(new StripScrollArea(this)), m_row(new QWidget), m_rowLayout(new QHBoxLayout(m_row)),
      m_emptyLabel(new QLabel), m_card(new SelectedVolumeCard(this)) {
    installStripAccessibility();
    setObjectName(QStringLiteral("volumeStrip"));
    setAccessibleName(tr("Disks"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Window).darker(104));
    setPalette(pal);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(20, 12, 20, 12);
    layout->setSpacing(16);

    m_rowLayout->setContentsMargins(0, 0, 0, 0);
    m_rowLayout->setSpacing(16);
    m_emptyLabel->setTextFormat(Qt::PlainText);
    m_emptyLabel->setContentsMargins(8, 0, 8, 0);
    m_emptyLabel->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, pal));

    m_scroll->setWidget(m_row);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tiles that do not fit stay reachable: a scroll bar appears, and the wheel scrolls sideways.
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_row->setAutoFillBackground(false);
    m_scroll->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    layout->addWidget(m_scroll, 1);
    layout->addWidget(m_card, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    // One stop of the Tab chain for the whole strip: neither the scroll area nor the tiles take it.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    rebuildTiles();
}

void VolumeStripView::setVolumes(std::vector<ExternalVolume> volumes, bool showInternal) {
    if (volumes == m_volumes && showInternal == m_showInternal) return;
    const auto shown = [this](const std::string& disk) {
        return std::find(m_shownDisks.begin(), m_shownDisks.end(), disk) != m_shownDisks.end();
    };
    const bool selectedWasShown = m_selected && shown(m_selected->bsdName);
    // A selected tile in view stays in view when disks come or go before it; one the user scrolled
    // away from stays away.
    const bool keepInView = m_selected && (selectedTileInView() || m_revealDisk == m_selected->bsdName);
    m_volumes = std::move(volumes);
    m_showInternal = showInternal;
    rebuildTiles();
    if (m_selected && shown(m_selected->bsdName) && (!selectedWasShown || keepInView)) revealLater(m_selected->bsdName);
}

bool VolumeStripView::selectedTileInView() const {
    for (VolumeTile* tile : tiles()) {
        if (!VolumeStripLogic::isSelected(tile->volume(), m_selected)) continue;
        const QRect place(tile->mapTo(m_scroll->viewport(), QPoint(0, 0)), tile->size());
        return tile->isVisible() && m_scroll->viewport()->rect().contains(place);
    }
    return false;
}

void VolumeStripView::setCurrent(std::optional<std::size_t> index, bool reveal) {
    if (index && *index >= m_volumes.size()) index = m_volumes.empty() ? std::nullopt : std::optional<std::size_t>(m_volumes.size() - 1);
    m_current = index;
    const auto list = tiles();
    for (std::size_t i = 0; i < list.size(); ++i) list[i]->setShowsFocus(hasFocus() && m_current == i);
    if (reveal && m_current && *m_current < list.size()) m_scroll->ensureWidgetVisible(list[*m_current], 0, 0);
}

void VolumeStripView::revealLater(const std::string& disk) {
    m_revealDisk = disk;
    m_revealRounds = 0;
    // After the events that show the new tiles.
    QMetaObject::invokeMethod(this, [this] { revealNow(); }, Qt::QueuedConnection);
}

void VolumeStripView::revealNow() {
    if (!m_revealDisk) return;
    // New tiles are shown, and then laid out, through events of their own: those are handled first, so
    // that the tile stands where it will be drawn and the scroll bar spans the whole row.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    for (VolumeTile* tile : tiles()) {
        if (tile->volume().bsdName != *m_revealDisk) continue;
        // The strip has no size while the window is hidden: resizeEvent comes back here.
        if (!isVisible() || m_scroll->viewport()->width() <= 0) return;
        // A tile made while this call waited is shown by an event that follows it: one more round.
        if (!tile->isVisible() && m_revealRounds++ < 3) {
            QMetaObject::invokeMethod(this, [this] { revealNow(); }, Qt::QueuedConnection);
            return;
        }
        m_scroll->ensureWidgetVisible(tile, 0, 0);
        break;
    }
    m_revealDisk.reset();
}

void VolumeStripView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_revealDisk) revealLater(*m_revealDisk);
}

void VolumeStripView::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    if (!m_current) {
        // The ring starts on the selected tile, else on the first.
        std::size_t start = 0;
        for (std::size_t i = 0; i < m_volumes.size(); ++i)
            if (VolumeStripLogic::isSelected(m_volumes[i], m_selected)) start = i;
        setCurrent(m_volumes.empty() ? std::nullopt : std::optional<std::size_t>(start));
        return;
    }
    setCurrent(m_current);
}

void VolumeStripView::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    setCurrent(m_current);
}

void VolumeStripView::keyPressEvent(QKeyEvent* event) {
    if (m_volumes.empty() || (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    const std::size_t last = m_volumes.size() - 1;
    const std::size_t at = m_current.value_or(0);
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up: setCurrent(at == 0 ? 0 : at - 1); break;
    case Qt::Key_Right:
    case Qt::Key_Down: setCurrent(std::min(at + 1, last)); break;
    case Qt::Key_Home: setCurrent(0); break;
    case Qt::Key_End: setCurrent(last); break;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_current && onPick) onPick(m_volumes[*m_current]);
        break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void VolumeStripView::setSelected(std::optional<ExternalVolume> selected) {
    if (selected == m_selected) return;
    const bool anotherDisk = selected && (!m_selected || m_selected->bsdName != selected->bsdName);
    m_selected = std::move(selected);
    m_card->setVolume(m_selected);
    rebuildTiles();
    for (VolumeTile* tile : tiles())
        if (tile->isSelected()) tellState(tile, false, true);
    if (anotherDisk) revealLater(m_selected->bsdName);
}

std::vector<VolumeTile*> VolumeStripView::tiles() const {
    std::vector<VolumeTile*> result;
    for (int i = 0; i < m_rowLayout->count(); ++i)
        if (auto* tile = qobject_cast<VolumeTile*>(m_rowLayout->itemAt(i)->widget())) result.push_back(tile);
    return result;
}

void VolumeStripView::rebuildTiles() {
    const int scrolled = m_scroll->horizontalScrollBar()->value();
    // The ring stays on its volume when the list changes around it.
    std::optional<std::string> currentDisk;
    if (m_current && *m_current < m_shownDisks.size()) currentDisk = m_shownDisks[*m_current];
    while (QLayoutItem* item = m_rowLayout->takeAt(0)) {
        if (item->widget() != m_emptyLabel) delete item->widget();
        delete item;
    }
    if (m_volumes.empty()) {
        m_emptyLabel->setText(VolumeStripLogic::emptyText(m_showInternal));
        m_emptyLabel->show();
        m_rowLayout->addWidget(m_emptyLabel, 0, Qt::AlignVCenter);
    } else {
        m_emptyLabel->hide();
        m_emptyLabel->setParent(m_row);
        for (const auto& volume : m_volumes) {
            auto* tile = new VolumeTile(volume, VolumeStripLogic::isSelected(volume, m_selected), m_row);
            connect(tile, &QAbstractButton::clicked, this, [this, tile] {
                if (onPick) onPick(tile->volume());
            });
            m_rowLayout->addWidget(tile, 0, Qt::AlignVCenter);
        }
    }
    m_rowLayout->addStretch(1);
    // The strip keeps the height of a tile, with room for the scroll bar when tiles overflow.
    const int tileHeight = VolumeTile(ExternalVolume{}, false).sizeHint().height();
    m_scroll->setFixedHeight(tileHeight + m_scroll->horizontalScrollBar()->sizeHint().height());
    m_scroll->horizontalScrollBar()->setValue(scrolled);

    m_shownDisks.clear();
    for (const auto& volume : m_volumes) m_shownDisks.push_back(volume.bsdName);
    setFocusPolicy(m_volumes.empty() ? Qt::NoFocus : Qt::StrongFocus);
    std::optional<std::size_t> current;
    if (currentDisk)
        for (std::size_t i = 0; i < m_shownDisks.size(); ++i)
            if (m_shownDisks[i] == *currentDisk) current = i;
    if (!current && m_current && !m_volumes.empty()) current = std::min(*m_current, m_volumes.size() - 1);
    // The new tiles have no places yet; scrolling to one now would jump to the strip's start.
    setCurrent(current, false);
}

} // namespace vantrel
