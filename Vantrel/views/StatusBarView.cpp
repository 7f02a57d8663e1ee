#include "Vantrel/views/StatusBarView.h"

#include "Vantrel/views/ElidedLabel.h"
#include "Vantrel/views/StatusBarLogic.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace vantrel {
namespace {

QLabel* plainLabel(QWidget* parent, ColorRole role) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(ViewColors::styleSheet(role, parent->palette()));
    return label;
}

QFont monospacedDigits(const QFont& base) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(base.pointSizeF());
    return font;
}

} // namespace

StatusBarView::StatusBarView(AppModel& model, QWidget* parent)
    : QWidget(parent), m_model(model), m_bar(new QProgressBar(this)), m_spinner(new QProgressBar(this)),
      m_percent(plainLabel(this, ColorRole::secondary)), m_throughput(plainLabel(this, ColorRole::secondary)),
      m_info(new QLabel(this)), m_summary(new ElidedLabel(this)), m_dot(plainLabel(this, ColorRole::tertiary)),
      m_message(new ElidedLabel(this)), m_settings(new QPushButton(StatusBarLogic::settingsTitle(), this)),
      m_hits(plainLabel(this, ColorRole::primary)), m_readErrors(plainLabel(this, ColorRole::primary)),
      m_unsaved(plainLabel(this, ColorRole::orange)) {
    setObjectName(QStringLiteral("statusBar"));
    QFont caption = font();
    caption.setPointSizeF(caption.pointSizeF() * 0.92);
    setFont(caption);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Window).darker(104));
    setPalette(pal);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(16);
    m_bar->setRange(0, 1000);
    m_bar->setMaximumWidth(220);
    m_bar->setMinimumWidth(120);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(8);
    m_bar->setAccessibleName(tr("Scan progress"));
    m_spinner->setAccessibleName(tr("Scanning"));
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setFixedSize(48, 8);
    m_percent->setFont(monospacedDigits(caption));
    m_throughput->setFont(monospacedDigits(caption));
    m_throughput->setToolTip(StatusBarLogic::throughputTooltip());
    Symbols::apply(m_info, StatusBarLogic::nothingFoundSymbol(), 14, ViewColors::color(ColorRole::orange, palette()));
    m_dot->setText(QStringLiteral("\u00B7"));
    m_settings->setFlat(true);
    m_settings->setCursor(Qt::PointingHandCursor);
    m_settings->setStyleSheet(QStringLiteral("QPushButton { %1 border: none; padding: 0 2px; }")
                                  .arg(ViewColors::styleSheet(ColorRole::accent, palette())));
    m_unsaved->setText(StatusBarLogic::unsavedText());
    m_summary->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
    // Each asks for its whole text; fitMessageAndSummary caps them so that the message is served first.
    for (ElidedLabel* label : {m_summary, m_message}) label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);

    for (QWidget* widget : std::initializer_list<QWidget*>{m_bar, m_spinner, m_percent, m_throughput, m_info, m_summary,
                                                           m_settings, m_dot, m_message})
        layout->addWidget(widget);
    layout->addStretch(1);
    layout->addWidget(m_hits);
    layout->addWidget(m_readErrors);
    layout->addWidget(m_unsaved);

    connect(m_settings, &QPushButton::clicked, this, [this] { m_model.setShowScanSettingsSheet(true); });
    connect(&m_model, &AppModel::fieldChanged, this, [this] { scheduleRefresh(); });
    refresh();
}

void StatusBarView::scheduleRefresh() {
    if (m_refreshPending) return;
    m_refreshPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_refreshPending) refresh();
    });
}

void StatusBarView::refresh() {
    using StatusBarLogic::Activity;
    m_refreshPending = false;
    const Activity activity = StatusBarLogic::activity(m_model);
    const auto& progress = m_model.progress();
    const QString message = m_model.statusMessage();

    const bool determinate = activity == Activity::scanning;
    m_bar->setVisible(determinate);
    m_percent->setVisible(determinate);
    if (determinate) {
        m_bar->setValue(static_cast<int>(StatusBarLogic::progressFraction(progress) * 1000));
        m_percent->setText(StatusBarLogic::percentText(progress));
    }
    const auto throughput = StatusBarLogic::throughputText(m_model.scanThroughputMBps(), QLocale());
    m_throughput->setVisible(determinate && throughput.has_value());
    m_throughput->setText(throughput.value_or(QString()));
    m_spinner->setVisible(StatusBarLogic::showsSpinner(activity));
    m_info->setVisible(activity == Activity::nothingFound);
    m_summary->setVisible(activity == Activity::idle);
    m_summary->setFullText(StatusBarLogic::summary(m_model));
    m_settings->setVisible(StatusBarLogic::showsSettings(activity));
    m_dot->setVisible(activity == Activity::idle && !message.isEmpty());

    // The message: primary and up to two lines in the nothing-found form, else one secondary line.
    const bool nothingFound = activity == Activity::nothingFound;
    m_message->setVisible(!message.isEmpty());
    m_message->setStyleSheet(ViewColors::styleSheet(nothingFound ? ColorRole::primary : ColorRole::secondary, palette()));
    // Cut at a word and ended in "…" when it is longer than its room; the tooltip holds it whole.
    m_message->setFullText(message, nothingFound ? 2 : 1);
    // "Settings…" follows the summary, or in the nothing-found form the message it offers a way out of.
    auto* box = static_cast<QHBoxLayout*>(layout());
    QWidget* before = nothingFound ? static_cast<QWidget*>(m_message) : m_summary;
    if (box->indexOf(m_settings) != box->indexOf(before) + 1) {
        box->removeWidget(m_settings);
        box->insertWidget(box->indexOf(before) + 1, m_settings);
    }

    const bool counts = StatusBarLogic::showsCounts(m_model);
    m_hits->setVisible(counts);
    m_readErrors->setVisible(counts);
    // The hits in the list, as the list counts them (the helper's own count includes hits the list
    // dropped or merged).
    m_hits->setText(StatusBarLogic::hitsText(static_cast<std::int64_t>(m_model.hits().size())));
    m_readErrors->setText(StatusBarLogic::readErrorsText(progress.readErrors));
    m_unsaved->setVisible(m_model.catalogDirty());
    fitMessageAndSummary();
}

void StatusBarView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitMessageAndSummary();
}

void StatusBarView::fitMessageAndSummary() {
    auto* box = static_cast<QHBoxLayout*>(layout());
    const bool idle = StatusBarLogic::activity(m_model) == StatusBarLogic::Activity::idle;
    const bool message = !m_model.statusMessage().isEmpty();
    // What the other shown parts take, with the gaps between all shown parts.
    const bool dot = idle && message;
    int taken = box->contentsMargins().left() + box->contentsMargins().right();
    int shown = (message ? 1 : 0) + (idle ? 1 : 0) + (dot ? 1 : 0);
    if (dot) taken += m_dot->sizeHint().width();
    for (int index = 0; index < box->count(); ++index) {
        QWidget* widget = box->itemAt(index)->widget();
        if (!widget || widget->isHidden() || widget == m_message || widget == m_summary || widget == m_dot) continue;
        ++shown;
        taken += widget->sizeHint().width();
    }
    taken += box->spacing() * std::max(shown - 1, 0);
    const QFontMetrics metrics(m_message->font());
    const int messageNeed = message ? metrics.horizontalAdvance(m_model.statusMessage()) + 2 : 0;
    const int summaryNeed = idle ? m_summary->sizeHint().width() : 0;
    const auto shares = StatusBarLogic::shareRoom(width() - taken, messageNeed, summaryNeed, metrics.averageCharWidth() * 12);

    m_message->setFixedWidth(std::max(shares.message, 0));
    const bool summaryShown = idle && shares.summary > 0;
    m_summary->setVisible(summaryShown);
    m_summary->setFixedWidth(std::max(shares.summary, 0));
    // A summary without room is whole in the tooltip of the button that changes it.
    m_settings->setToolTip(idle && !summaryShown ? m_summary->fullText() : QString());
    m_dot->setVisible(summaryShown && message);
}

} // namespace vantrel
