#include "Vantrel/sheets/HelperAccessSheet.h"

#include "Vantrel/sheets/SheetStyle.h"

#include "support/log/AppLog.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace vantrel {

namespace Logic = HelperAccessLogic;

namespace {

QLabel* monospaceLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setWordWrap(true);
    return label;
}

QLabel* secondaryLabel(const QString& text, QWidget& parent) {
    auto* label = SheetStyle::wrappingLabel(text, &parent);
    SheetStyle::setForeground(*label, SheetStyle::secondaryColour(parent));
    return label;
}

} // namespace

HelperAccessSheet::HelperAccessSheet(AppModel& model, QWidget* parent) : QDialog(parent), m_model(model) {
    setWindowTitle(tr("Disk Access"));
    setFixedWidth(fixedWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(SheetStyle::titleLabel(tr("Disk Access"), this));
    m_summary = SheetStyle::wrappingLabel(QString(), this);
    m_summary->setObjectName(QStringLiteral("summary"));
    layout->addWidget(m_summary);

    // 1. The helper.
    auto* helperRow = new QVBoxLayout;
    helperRow->setSpacing(8);
    helperRow->addLayout(rowHeader(tr("1."), tr("Helper"), m_helperStatus));
    m_guidance = SheetStyle::wrappingLabel(QString(), this);
    m_guidance->setObjectName(QStringLiteral("guidance"));
    SheetStyle::setForeground(*m_guidance, SheetStyle::warningColour());
    helperRow->addWidget(m_guidance);
    m_helperButtons = new QWidget(this);
    auto* helperButtons = new QHBoxLayout(m_helperButtons);
    helperButtons->setContentsMargins(0, 0, 0, 0);
    helperButtons->setSpacing(12);
    m_repair = button(Logic::buttonTitle(Logic::HelperButton::repair), QStringLiteral("repair"));
    m_install = button(Logic::buttonTitle(Logic::HelperButton::install), QStringLiteral("install"));
    m_helperCommands = button(Logic::buttonTitle(Logic::HelperButton::showCommands), QStringLiteral("helperCommands"));
    for (auto* each : {m_repair, m_install, m_helperCommands}) {
        each->setParent(m_helperButtons);
        helperButtons->addWidget(each);
    }
    helperButtons->addStretch();
    helperRow->addWidget(m_helperButtons);
    layout->addLayout(helperRow);
    connect(m_install, &QPushButton::clicked, this, [this] { m_model.installHelper(); });
    // "Repair Helper" registers the service again where the helper does not answer; "Recheck" below
    // restarts a helper that answers and checks both conditions again.
    connect(m_repair, &QPushButton::clicked, this,
            [this] { m_model.tasks().spawn(m_model.recheckHelperAndDiskAccess(true, true)); });
    connect(m_helperCommands, &QPushButton::clicked, this, &HelperAccessSheet::showCommands);

    // 2. Raw disk access.
    auto* accessRow = new QVBoxLayout;
    accessRow->setSpacing(8);
    accessRow->addLayout(rowHeader(tr("2."), tr("Disk Access"), m_accessStatus));
    m_accessExplanation = secondaryLabel(
        tr("Vantrel reads disks only through its helper, which must run as root: as its service, or started for "
           "Vantrel through pkexec. The privileged helper performs the raw disk operations on behalf of Vantrel."),
        *this);
    m_accessExplanation->setObjectName(QStringLiteral("accessExplanation"));
    accessRow->addWidget(m_accessExplanation);
    m_accessButtons = new QWidget(this);
    auto* accessButtons = new QHBoxLayout(m_accessButtons);
    accessButtons->setContentsMargins(0, 0, 0, 0);
    accessButtons->setSpacing(12);
    m_accessCommands = button(tr("Show Commands"), QStringLiteral("accessCommands"));
    m_recheck = button(tr("Recheck"), QStringLiteral("recheck"));
    for (auto* each : {m_accessCommands, m_recheck}) {
        each->setParent(m_accessButtons);
        accessButtons->addWidget(each);
    }
    accessButtons->addStretch();
    accessRow->addWidget(m_accessButtons);
    layout->addLayout(accessRow);
    connect(m_accessCommands, &QPushButton::clicked, this, [this] {
        m_model.openFullDiskAccessSettings();
        showCommands();
    });
    connect(m_recheck, &QPushButton::clicked, this, [this] { m_model.tasks().spawn(m_model.repairHelper()); });

    // What to run where this system has no settings page for it.
    m_commands = new QWidget(this);
    m_commands->setObjectName(QStringLiteral("commands"));
    auto* commands = new QVBoxLayout(m_commands);
    commands->setContentsMargins(0, 0, 0, 0);
    commands->setSpacing(6);
    commands->addWidget(SheetStyle::wrappingLabel(
        tr("Run these commands in a terminal and log in again so that the group counts. Vantrel checks the helper "
           "again each time this sheet opens."),
        m_commands));
    commands->addWidget(monospaceLabel(Logic::setupCommands(), m_commands));
    m_commands->hide();
    layout->addWidget(m_commands);

    // More Information.
    m_detailsToggle = new QToolButton(this);
    m_detailsToggle->setObjectName(QStringLiteral("details"));
    m_detailsToggle->setText(tr("More Information"));
    m_detailsToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_detailsToggle->setAutoRaise(true);
    SheetStyle::setFontScale(*m_detailsToggle, 1.0, QFont::Medium);
    connect(m_detailsToggle, &QToolButton::clicked, this, [this] { setDetailsShown(!m_detailsShown); });
    layout->addWidget(m_detailsToggle);
    m_details = new QWidget(this);
    auto* details = new QVBoxLayout(m_details);
    details->setContentsMargins(0, 8, 0, 0);
    details->setSpacing(12);
    auto* path = monospaceLabel(QString::fromStdString(m_model.helperExecutablePath()), m_details);
    path->setObjectName(QStringLiteral("helperPath"));
    SheetStyle::setFontScale(*path, 0.85);
    details->addWidget(path);
    auto* detailButtons = new QHBoxLayout;
    auto* reveal = button(tr("Show Helper in File Manager"), QStringLiteral("reveal"));
    m_remove = button(tr("Remove Helper…"), QStringLiteral("remove"));
    detailButtons->addWidget(reveal);
    detailButtons->addWidget(m_remove);
    detailButtons->addStretch();
    details->addLayout(detailButtons);
    connect(reveal, &QPushButton::clicked, this, [this] { m_model.revealHelperInFinder(); });
    connect(m_remove, &QPushButton::clicked, this, &HelperAccessSheet::confirmRemoval);
    auto* privileges = secondaryLabel(tr("The helper runs with elevated privileges so Vantrel can unmount drives and "
                                         "access raw disk devices. Disk access is requested through Vantrel."),
                                      *m_details);
    SheetStyle::setFontScale(*privileges, 0.85);
    details->addWidget(privileges);
    auto* loggingColumn = new QVBoxLayout;
    loggingColumn->setSpacing(2);
    m_logging = new QCheckBox(tr("Verbose logging"), m_details);
    m_logging->setObjectName(QStringLiteral("logging"));
    loggingColumn->addWidget(m_logging);
    auto* loggingNote = secondaryLabel(tr("Enable temporarily for diagnostics."), *m_details);
    loggingNote->setContentsMargins(24, 0, 0, 0);
    SheetStyle::setFontScale(*loggingNote, 0.85);
    loggingColumn->addWidget(loggingNote);
    details->addLayout(loggingColumn);
    connect(m_logging, &QCheckBox::toggled, this, &HelperAccessSheet::setLogging);
    layout->addWidget(m_details);
    setDetailsShown(false);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    auto* close = button(tr("Close"), QStringLiteral("close"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::helperStatus || field == AppModel::Field::helperRuntimeState ||
            field == AppModel::Field::fullDiskAccessState)
            refresh();
    });
    {
        const QSignalBlocker blocker(m_logging);
        m_logging->setChecked(AppLog::isEnabled());
    }
    refresh();
}

bool HelperAccessSheet::detailsShown() const { return m_detailsShown; }
bool HelperAccessSheet::commandsShown() const { return !m_commands->isHidden(); }

void HelperAccessSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    {
        const QSignalBlocker blocker(m_logging);
        m_logging->setChecked(AppLog::isEnabled());
    }
    if (Logic::opensDetailsOnAppear(Logic::State::of(m_model))) setDetailsShown(true);
    m_model.refreshHelperStatus();
    m_model.tasks().spawn(m_model.recheckHelperAndDiskAccess(false, false));
}

QHBoxLayout* HelperAccessSheet::rowHeader(const QString& number, const QString& title, StatusLine& status) {
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* numberLabel = new QLabel(number, this);
    SheetStyle::setForeground(*numberLabel, SheetStyle::secondaryColour(*this));
    header->addWidget(numberLabel);
    auto* titleLabel = new QLabel(title, this);
    SheetStyle::setFontScale(*titleLabel, 1.0, QFont::Bold);
    header->addWidget(titleLabel);
    header->addStretch();
    status.icon = new QLabel(this);
    status.text = new QLabel(this);
    status.text->setTextFormat(Qt::PlainText);
    SheetStyle::setFontScale(*status.text, 0.95, QFont::Medium);
    header->addWidget(status.icon);
    header->addWidget(status.text);
    return header;
}

QPushButton* HelperAccessSheet::button(const QString& text, const QString& name) {
    auto* pushButton = new QPushButton(text, this);
    pushButton->setObjectName(name);
    pushButton->setAutoDefault(false);
    return pushButton;
}

void HelperAccessSheet::setStatus(StatusLine& line, const QString& text, bool ready) {
    const QString symbol = Logic::markerSymbol(ready);
    const int side = line.text->fontMetrics().height();
    line.icon->setPixmap(SheetStyle::symbolIcon(symbol).pixmap(side, side));
    line.icon->setProperty(SheetStyle::symbolProperty, symbol);
    line.text->setText(text);
    SheetStyle::setForeground(*line.text, ready ? SheetStyle::successColour() : SheetStyle::warningColour());
}

void HelperAccessSheet::refresh() {
    const auto state = Logic::State::of(m_model);
    m_summary->setText(Logic::summaryText(state));
    SheetStyle::setForeground(*m_summary, Logic::summaryIsWarning(state) ? SheetStyle::warningColour()
                                                                         : SheetStyle::secondaryColour(*this));

    const bool helperReady = Logic::helperIsReady(state);
    setStatus(m_helperStatus, Logic::helperStatusText(state), helperReady);
    m_guidance->setText(Logic::helperGuidance(state));
    m_guidance->setVisible(!helperReady);
    m_helperButtons->setVisible(!helperReady);
    const auto buttons = Logic::helperButtons(state);
    auto offered = [&buttons](Logic::HelperButton which) {
        return std::find(buttons.begin(), buttons.end(), which) != buttons.end();
    };
    m_install->setVisible(offered(Logic::HelperButton::install));
    m_repair->setVisible(offered(Logic::HelperButton::repair));
    m_helperCommands->setVisible(offered(Logic::HelperButton::showCommands));
    // The first button is the one Return presses, while the helper row is shown.
    for (auto* each : {m_install, m_repair, m_helperCommands}) each->setDefault(false);
    if (!helperReady) {
        switch (buttons.front()) {
        case Logic::HelperButton::install: m_install->setDefault(true); break;
        case Logic::HelperButton::repair: m_repair->setDefault(true); break;
        case Logic::HelperButton::showCommands: m_helperCommands->setDefault(true); break;
        }
    }

    const bool accessReady = Logic::diskAccessReady(state);
    setStatus(m_accessStatus, Logic::diskAccessStatusText(state), accessReady);
    m_accessExplanation->setVisible(!accessReady);
    // Until the helper is ready, its row's "Show Commands" is the one way to the commands.
    m_accessButtons->setVisible(!accessReady && Logic::offersRecheck(state));
    m_accessCommands->setVisible(Logic::offersRecheck(state));
    m_recheck->setVisible(Logic::offersRecheck(state));
    m_remove->setEnabled(Logic::removeEnabled(state));
    fitHeight();
}

void HelperAccessSheet::setDetailsShown(bool shown) {
    m_detailsShown = shown;
    m_detailsToggle->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
    m_details->setVisible(shown);
    fitHeight();
}

void HelperAccessSheet::fitHeight() {
    // The width is fixed; the height follows the rows that are shown.
    layout()->activate();
    setFixedHeight(layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(fixedWidth) : sizeHint().height());
}

void HelperAccessSheet::showCommands() {
    m_commands->show();
    fitHeight();
}

void HelperAccessSheet::confirmRemoval() {
    if (m_confirmation) return;
    m_confirmation = new QMessageBox(QMessageBox::Warning, tr("Remove the privileged disk-access helper?"),
                                     tr("Remove the privileged disk-access helper?"), QMessageBox::NoButton, this);
    m_confirmation->setTextFormat(Qt::PlainText);
    m_confirmation->setInformativeText(tr("This unregisters io.tessik.vantrel.helper. You can install it again later."));
    auto* remove = m_confirmation->addButton(tr("Remove Helper"), QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("confirmRemove"));
    m_confirmation->addButton(QMessageBox::Cancel);
    m_confirmation->setDefaultButton(QMessageBox::Cancel);
    m_confirmation->setEscapeButton(QMessageBox::Cancel);
    m_confirmation->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_confirmation, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton* clicked) {
        if (clicked != remove) return;
        auto removal = [](AppModel* model) -> Task<void> { co_await model->uninstallHelper(); };
        m_model.tasks().spawn(removal(&m_model));
    });
    m_confirmation->open();
}

void HelperAccessSheet::setLogging(bool enabled) {
    AppLog::setEnabled(enabled);
    AppLog::info(Logic::loggingChangeLine(enabled).toStdString(), "app");
}

} // namespace vantrel
