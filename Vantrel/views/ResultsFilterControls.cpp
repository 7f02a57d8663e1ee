#include "Vantrel/views/ResultsFilterControls.h"

#include "Vantrel/views/ResultsFilterLogic.h"
#include "Vantrel/views/Symbols.h"
#include "Vantrel/views/ViewColors.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <QDateEdit>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace vantrel {
namespace {

QFont scaled(QFont font, double scale, QFont::Weight weight = QFont::Normal) {
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    return font;
}

} // namespace

void populateStatusMenu(QMenu& menu, AppModel& model) {
    menu.clear();
    for (const auto filter : ResultsIntegrityFilterName::allCases()) {
        QAction* action = menu.addAction(ResultsIntegrityFilterName::title(filter));
        action->setData(QString::fromLatin1(ResultsIntegrityFilterName::rawValue(filter).data()));
        action->setCheckable(true);
        action->setChecked(filter == model.resultsIntegrityFilter());
        QObject::connect(action, &QAction::triggered, &model, [&model, filter] {
            ResultsFilterLogic::chooseStatusFilter(model, filter);
        });
    }
}

// ---- Status menu.

ResultsStatusFilterControl::ResultsStatusFilterControl(AppModel& model, bool compact, QWidget* parent)
    : QToolButton(parent), m_model(model), m_compact(compact), m_menu(new QMenu(this)) {
    setObjectName(compact ? QStringLiteral("compactStatusFilter") : QStringLiteral("statusFilter"));
    setAutoRaise(true);
    setPopupMode(QToolButton::InstantPopup);
    setMenu(m_menu);
    setToolTip(ResultsFilterLogic::menuTooltip());
    setToolButtonStyle(compact ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
    setFont(scaled(font(), 0.92));
    // The menu indicator shows in the full form only.
    if (compact) setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
    connect(m_menu, &QMenu::aboutToShow, this, [this] { populateStatusMenu(*m_menu, m_model); });
    refresh();
}

void ResultsStatusFilterControl::refresh() {
    const ColorRole tint = ResultsFilterLogic::menuTint(m_model.resultsIntegrityFilter());
    Symbols::apply(this, ResultsFilterLogic::menuSymbol(), 14, ViewColors::color(tint, palette()));
    setProperty("tint", static_cast<int>(tint));
    if (!m_compact) {
        setText(ResultsFilterLogic::menuTitle(m_model.resultsIntegrityFilter()));
        setStyleSheet(QStringLiteral("QToolButton#statusFilter { %1 }").arg(ViewColors::styleSheet(tint, QWidget::palette())));
    }
    populateStatusMenu(*m_menu, m_model);
}

// ---- Date popover.

DateFilterPopover::DateFilterPopover(AppModel& model, QWidget* parent)
    : QFrame(parent, Qt::Popup), m_model(model), m_note(new QLabel(this)), m_caption(new QLabel(this)),
      m_fromToggle(new QCheckBox(ResultsFilterLogic::boundTitle(ResultsFilterLogic::Bound::from), this)),
      m_toToggle(new QCheckBox(ResultsFilterLogic::boundTitle(ResultsFilterLogic::Bound::to), this)),
      m_fromDate(new QDateEdit(this)), m_toDate(new QDateEdit(this)),
      m_clear(new QPushButton(ResultsFilterLogic::clearTitle(), this)) {
    setFrameShape(QFrame::StyledPanel);
    setMinimumWidth(260);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(14);

    auto* title = new QLabel(ResultsFilterLogic::dateFilterTitle(), this);
    title->setFont(scaled(font(), 1.0, QFont::DemiBold));
    layout->addWidget(title);
    for (QLabel* label : {m_note, m_caption}) {
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setStyleSheet(ViewColors::styleSheet(ColorRole::secondary, palette()));
    }
    m_note->setText(ResultsFilterLogic::waitingNote());
    m_caption->setText(ResultsFilterLogic::boundsCaption());
    m_caption->setFont(scaled(font(), 0.92));
    layout->addWidget(m_note);

    using ResultsFilterLogic::Bound;
    auto addRow = [&](Bound bound, QCheckBox* toggle, QDateEdit* date) {
        auto* row = new QVBoxLayout;
        row->setSpacing(6);
        row->addWidget(toggle);
        date->setCalendarPopup(true);
        date->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
        date->installEventFilter(this);
        row->addWidget(date);
        layout->addLayout(row);
        connect(toggle, &QCheckBox::toggled, this, [this, bound](bool on) {
            if (!m_refreshing) ResultsFilterLogic::setBoundOn(m_model, bound, on);
        });
        connect(date, &QDateEdit::dateChanged, this, [this, bound](QDate day) {
            if (!m_refreshing && !ResultsFilterLogic::setBoundDay(m_model, bound, day)) refresh();
        });
    };
    addRow(Bound::from, m_fromToggle, m_fromDate);
    addRow(Bound::to, m_toToggle, m_toDate);
    layout->addWidget(m_caption);
    layout->addWidget(m_clear, 0, Qt::AlignLeft);
    // Tab runs down the popover as it reads: each bound's switch, then its date.
    setTabOrder(m_fromToggle, m_fromDate);
    setTabOrder(m_fromDate, m_toToggle);
    setTabOrder(m_toToggle, m_toDate);
    setTabOrder(m_toDate, m_clear);
    // Clearing keeps the popover open.
    connect(m_clear, &QPushButton::clicked, this, [this] { m_model.clearCaptureDateFilter(); });
    refresh();
}

void DateFilterPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    // The keyboard goes back to the button that opened the popover.
    QWidget* focus = QApplication::focusWidget();
    QWidget* owner = parentWidget();
    if (!owner || (focus && focus != this && !isAncestorOf(focus))) return;
    // After the application has closed the popup, which hands the keyboard back on its own terms.
    QTimer::singleShot(0, owner, [owner] {
        if (owner->isVisible()) owner->setFocus(Qt::PopupFocusReason);
    });
}

bool DateFilterPopover::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == m_fromDate || watched == m_toDate)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool alt = key->modifiers() & Qt::AltModifier;
        if (key->key() == Qt::Key_F4 || (alt && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up))) {
            openCalendar(static_cast<QDateEdit*>(watched));
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

void DateFilterPopover::openCalendar(QDateEdit* date) {
    // The date field opens its calendar only from its arrow: the keys (F4, Alt+Down, as on a combo box)
    // press that arrow.
    // Where the field itself looks for its arrow: a combo box's, on an editable one.
    QStyleOptionComboBox option;
    option.initFrom(date);
    option.editable = true;
    option.subControls = QStyle::SC_All;
    QRect arrow = date->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, date);
    if (!arrow.isValid() || arrow.isEmpty()) arrow = QRect(date->width() - 12, 0, 12, date->height());
    const QPointF at = arrow.center();
    QMouseEvent press(QEvent::MouseButtonPress, at, date->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(date, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, date->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(date, &release);
}

void DateFilterPopover::refresh() {
    using ResultsFilterLogic::Bound;
    m_refreshing = true;
    const bool dated = m_model.hasCaptureDates();
    m_note->setVisible(!dated);
    m_caption->setVisible(dated);
    for (auto [bound, toggle, date] : {std::tuple{Bound::from, m_fromToggle, m_fromDate}, std::tuple{Bound::to, m_toToggle, m_toDate}}) {
        const bool on = ResultsFilterLogic::isBoundOn(m_model, bound);
        toggle->setVisible(dated);
        toggle->setChecked(on);
        date->setVisible(dated && on);
        // The field offers no day that would put the start after the end.
        date->clearMinimumDate();
        date->clearMaximumDate();
        if (const auto limit = ResultsFilterLogic::dayLimit(m_model, bound)) {
            if (bound == Bound::from) date->setMaximumDate(*limit);
            else date->setMinimumDate(*limit);
        }
        date->setDate(ResultsFilterLogic::boundDay(m_model, bound));
    }
    m_clear->setVisible(m_model.isCaptureDateFilterActive());
    m_refreshing = false;
    // The wrapped notes are as tall as the width they get: the height is the one for the width the
    // popover takes, not for the wider one the notes would like.
    layout()->activate();
    const int width = std::max(minimumWidth(), sizeHint().width());
    resize(width, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width) : sizeHint().height());
}

// ---- Date filter button.

ResultsDateFilterControl::ResultsDateFilterControl(AppModel& model, QWidget* parent)
    : QToolButton(parent), m_model(model), m_popover(new DateFilterPopover(model, this)) {
    setObjectName(QStringLiteral("dateFilter"));
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setText(ResultsFilterLogic::dateFilterTitle());
    setFont(scaled(font(), 0.92));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QToolButton::clicked, this, &ResultsDateFilterControl::togglePopover);
    refresh();
}

void ResultsDateFilterControl::refresh() {
    const ColorRole tint = ResultsFilterLogic::dateFilterTint(m_model);
    Symbols::apply(this, ResultsFilterLogic::dateFilterSymbol(), 14, ViewColors::color(tint, palette()));
    setProperty("tint", static_cast<int>(tint));
    // Its own colour only: a plain QToolButton rule would reach the buttons of the popover's calendar too,
    // and paint the month and the year in the colour of their bar.
    setStyleSheet(QStringLiteral("QToolButton#dateFilter { %1 }").arg(ViewColors::styleSheet(tint, palette())));
    setToolTip(ResultsFilterLogic::dateFilterTooltip(m_model));
    if (m_popover->isVisible()) m_popover->refresh();
}

void ResultsDateFilterControl::togglePopover() {
    if (m_popover->isVisible()) {
        m_popover->hide();
        return;
    }
    m_popover->refresh();
    const QPoint below = mapToGlobal(QPoint(0, height()));
    m_popover->move(below);
    m_popover->show();
    // The keyboard goes into the popover: Tab walks its controls, Escape closes it.
    for (QWidget* first : std::initializer_list<QWidget*>{m_popover->fromToggle(), m_popover->clearButton()}) {
        if (first->isVisible()) {
            first->setFocus(Qt::PopupFocusReason);
            break;
        }
    }
}

} // namespace vantrel
