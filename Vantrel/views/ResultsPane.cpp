#include "Vantrel/views/ResultsPane.h"

#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/ResultsFilterControls.h"
#include "Vantrel/views/ResultsPaneLogic.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace vantrel {
namespace {

QFont scaled(QFont font, double scale, QFont::Weight weight = QFont::Normal) {
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    return font;
}

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The orange card behind the empty state of a finished scan; transparent for the plain form.
class EmptyCard final : public QWidget {
public:
    using QWidget::QWidget;
    bool drawn = false;

protected:
    void paintEvent(QPaintEvent*) override {
        if (!drawn) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 16, 16);
        painter.fillPath(shape, ViewColors::color(ColorRole::orange, palette(), 0.12));
        painter.setPen(QPen(ViewColors::color(ColorRole::orange, palette(), 0.35), 1));
        painter.drawPath(shape);
    }
};

// The page in a scroll area of its own: a window made small (a screen at 200 %, large fonts) scrolls
// the empty state's card rather than cutting its lines.
QScrollArea* scrolling(QWidget* page) {
    auto* area = new QScrollArea;
    area->setWidget(page);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->viewport()->setAutoFillBackground(false);
    page->setAutoFillBackground(false);
    return area;
}

// The stack's entry that shows the page: its scroll area.
QWidget* shownBy(QWidget* page) {
    for (QWidget* up = page; up; up = up->parentWidget())
        if (auto* area = qobject_cast<QScrollArea*>(up)) return area;
    return page;
}

// A row that centres the widget between two stretches. Unlike a centring alignment, the row works out
// the height of wrapped text at the width the widget really gets, so no line is lost.
QHBoxLayout* centredRow(QWidget* widget) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch(1);
    row->addWidget(widget);
    row->addStretch(1);
    return row;
}

} // namespace

ResultsPane::ResultsPane(AppModel& model, QWidget* parent)
    : QWidget(parent), m_model(model), m_count(plainLabel(this)), m_statusFilter(new ResultsStatusFilterControl(model, false, this)),
      m_dateFilter(new ResultsDateFilterControl(model, this)), m_selection(plainLabel(this)),
      m_recover(new QPushButton(tr("Recover Selected"), this)), m_stack(new QStackedWidget(this)), m_emptyPage(new QWidget),
      m_emptySymbol(new QLabel), m_emptyTitle(plainLabel(nullptr)), m_emptyText(plainLabel(nullptr)), m_emptyCard(new EmptyCard),
      m_emptyAction(new QPushButton), m_noMatchPage(new QWidget), m_noMatchText(plainLabel(nullptr)),
      m_resetFilters(new QPushButton(tr("Reset filters"))), m_list(new HitsColumnList(model)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Header.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 10, 12, 10);
    header->setSpacing(12);
    auto* title = plainLabel(this);
    title->setText(tr("Found files"));
    title->setFont(scaled(font(), 1.05, QFont::DemiBold));
    header->addWidget(title);
    m_count->setFont(scaled(font(), 0.92));
    m_count->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
    header->addWidget(m_count);
    header->addStretch(1);
    header->addWidget(m_statusFilter);
    header->addWidget(m_dateFilter);
    m_selection->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
    header->addWidget(m_selection);
    header->addWidget(m_recover);
    m_recover->setObjectName(QStringLiteral("recoverSelected"));
    m_list->setAccessibleName(tr("Found files"));
    // The keyboard's way to the folder picker; like the button, it does nothing while disabled.
    m_recover->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    layout->addLayout(header);
    connect(m_recover, &QPushButton::clicked, this, [this] {
        if (onRecover) onRecover();
    });

    // Empty state: a symbol, a title, a text and, after a quick scan, "Start Standard scan".
    {
        auto* pageLayout = new QVBoxLayout(m_emptyPage);
        pageLayout->setContentsMargins(24, 24, 24, 24);
        auto* cardLayout = new QVBoxLayout(m_emptyCard);
        cardLayout->setContentsMargins(28, 28, 28, 28);
        cardLayout->setSpacing(16);
        m_emptyCard->setMaximumWidth(480);
        m_emptySymbol->setAlignment(Qt::AlignCenter);
        m_emptyTitle->setAlignment(Qt::AlignCenter);
        m_emptyTitle->setFont(scaled(font(), 1.35, QFont::DemiBold));
        m_emptyText->setAlignment(Qt::AlignCenter);
        m_emptyText->setWordWrap(true);
        m_emptyText->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
        cardLayout->addWidget(m_emptySymbol);
        cardLayout->addWidget(m_emptyTitle);
        cardLayout->addWidget(m_emptyText);
        cardLayout->addSpacing(4);
        m_emptyAction->setDefault(true);
        m_emptyAction->setAutoDefault(true);
        m_emptyAction->setMinimumHeight(32);
        cardLayout->addWidget(m_emptyAction, 0, Qt::AlignHCenter);
        pageLayout->addStretch(1);
        pageLayout->addLayout(centredRow(m_emptyCard));
        pageLayout->addStretch(1);
        connect(m_emptyAction, &QPushButton::clicked, this, [this] {
            if (onStartScan) onStartScan(ScanMode::standard);
        });
    }

    // "No matches".
    {
        auto* pageLayout = new QVBoxLayout(m_noMatchPage);
        pageLayout->setSpacing(16);
        auto* symbol = new QLabel;
        symbol->setAlignment(Qt::AlignCenter);
        Symbols::apply(symbol, ResultsPaneLogic::noMatchSymbol(), 40, ViewColors::color(ColorRole::secondary, palette()));
        auto* noMatchTitle = plainLabel(nullptr);
        noMatchTitle->setText(ResultsPaneLogic::noMatchTitle());
        noMatchTitle->setAlignment(Qt::AlignCenter);
        noMatchTitle->setFont(scaled(font(), 1.35, QFont::DemiBold));
        m_noMatchText->setAlignment(Qt::AlignCenter);
        m_noMatchText->setWordWrap(true);
        m_noMatchText->setMaximumWidth(480);
        m_noMatchText->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
        m_resetFilters->setMinimumHeight(32);
        pageLayout->addStretch(1);
        pageLayout->addWidget(symbol);
        pageLayout->addWidget(noMatchTitle);
        pageLayout->addLayout(centredRow(m_noMatchText));
        pageLayout->addWidget(m_resetFilters, 0, Qt::AlignHCenter);
        pageLayout->addStretch(1);
        connect(m_resetFilters, &QPushButton::clicked, this, [this] { ResultsPaneLogic::resetFilters(m_model); });
    }

    // The wrapped texts get a width from their page, so that their layouts give them the height of all
    // their lines (a centred item would otherwise keep the width and height of its first guess).
    m_emptyPage->installEventFilter(this);
    m_noMatchPage->installEventFilter(this);

    m_stack->addWidget(scrolling(m_emptyPage));
    m_stack->addWidget(scrolling(m_noMatchPage));
    m_stack->addWidget(m_list);
    layout->addWidget(m_stack, 1);

    // Tab runs through the header's filters, then what the pane shows (the list, or the empty state's
    // and "No matches"' buttons), then "Recover Selected": pick files, then recover them.
    setTabOrder(m_statusFilter, m_dateFilter);
    setTabOrder(m_dateFilter, m_emptyAction);
    setTabOrder(m_emptyAction, m_resetFilters);
    setTabOrder(m_resetFilters, m_list);
    setTabOrder(m_list, m_recover);

    connect(&m_model, &AppModel::fieldChanged, this, [this] { scheduleRefresh(); });
    refresh();
}

bool ResultsPane::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && (watched == m_emptyPage || watched == m_noMatchPage)) fitTextWidths();
    return QWidget::eventFilter(watched, event);
}

void ResultsPane::fitTextWidths() {
    constexpr int maxTextWidth = 480;
    const int cardWidth = std::max(200, std::min(maxTextWidth, m_emptyPage->width() - 48));
    m_emptyCard->setFixedWidth(cardWidth);
    m_noMatchText->setFixedWidth(std::max(200, std::min(maxTextWidth, m_noMatchPage->width() - 48)));
}

void ResultsPane::scheduleRefresh() {
    // Many changes arrive per turn of the event loop while a scan runs; the header follows once.
    if (m_refreshPending) return;
    m_refreshPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_refreshPending) refresh();
    });
}

QWidget* ResultsPane::currentContent() const {
    QWidget* shown = m_stack->currentWidget();
    if (auto* area = qobject_cast<QScrollArea*>(shown)) return area->widget();
    return shown;
}

void ResultsPane::refresh() {
    m_refreshPending = false;
    const auto summary = ResultsPaneLogic::countSummary(m_model.displayedCount(), m_model.hits().size());
    m_count->setVisible(summary.has_value());
    m_count->setText(summary.value_or(QString()));
    const bool filters = ResultsPaneLogic::showsFilterControls(m_model);
    m_statusFilter->setVisible(filters);
    m_dateFilter->setVisible(filters);
    m_statusFilter->refresh();
    m_dateFilter->refresh();
    m_selection->setText(ResultsPaneLogic::selectionText(m_model.selectedHitIDs().size()));
    m_recover->setEnabled(ResultsPaneLogic::recoverEnabled(m_model));
    m_recover->setToolTip(ResultsPaneLogic::recoverTooltip(m_model.isScanning()));

    switch (ResultsPaneLogic::content(m_model)) {
    case ResultsPaneLogic::Content::empty:
        refreshEmptyState();
        m_stack->setCurrentWidget(shownBy(m_emptyPage));
        break;
    case ResultsPaneLogic::Content::noMatches:
        m_noMatchText->setText(ResultsPaneLogic::noMatchMessage(m_model));
        m_resetFilters->setVisible(ResultsPaneLogic::showsResetFilters(m_model));
        m_stack->setCurrentWidget(shownBy(m_noMatchPage));
        break;
    case ResultsPaneLogic::Content::list: m_stack->setCurrentWidget(m_list); break;
    }
}

void ResultsPane::refreshEmptyState() {
    const auto state = ResultsPaneLogic::emptyState(m_model.lastFinishedScanMode(), m_model.scannedDiskLeftUnmounted());
    static_cast<EmptyCard*>(m_emptyCard)->drawn = state.isCard;
    const ColorRole symbolColor = state.isCard ? ColorRole::orange : ColorRole::secondary;
    Symbols::apply(m_emptySymbol, state.symbol, state.isCard ? 36 : 48, ViewColors::color(symbolColor, palette()));
    m_emptyTitle->setText(state.title);
    m_emptyText->setText(state.text);
    m_emptyAction->setVisible(state.action.has_value());
    m_emptyAction->setText(state.action.value_or(QString()));
    m_emptyAction->setAccessibleName(state.action.value_or(QString()));
    m_emptyAction->setAccessibleDescription(m_emptyText->text());
    if (state.action && isVisible()) m_emptyAction->setFocus();
    m_emptyCard->update();
}

} // namespace vantrel
