#include "Vantrel/sheets/ScanModeSheet.h"

#include "Vantrel/sheets/ScanModeLogic.h"
#include "Vantrel/sheets/SheetStyle.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace vantrel {

ScanModeSheet::ScanModeSheet(AppModel& model, ScanModeActions actions, QWidget* parent)
    : QDialog(parent), m_model(model), m_actions(std::move(actions)) {
    setWindowTitle(tr("Scan Mode"));
    setFixedWidth(fixedWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(SheetStyle::titleLabel(tr("Scan Mode"), this));
    auto* intro = SheetStyle::wrappingLabel(tr("Choose how thoroughly Vantrel searches the volume."), this);
    SheetStyle::setForeground(*intro, SheetStyle::secondaryColour(*this));
    layout->addWidget(intro);

    auto* picker = new QHBoxLayout;
    picker->setSpacing(8);
    auto* pickerTitle = new QLabel(tr("Mode:"), this);
    picker->addWidget(pickerTitle, 0, Qt::AlignTop);
    m_modeColumn = new QVBoxLayout;
    m_modeColumn->setSpacing(6);
    picker->addLayout(m_modeColumn, 1);
    layout->addLayout(picker);
    m_modeGroup = new QButtonGroup(this);

    m_description = SheetStyle::wrappingLabel(QString(), this);
    m_description->setObjectName(QStringLiteral("description"));
    SheetStyle::setForeground(*m_description, SheetStyle::secondaryColour(*this));
    layout->addWidget(m_description);

    auto* buttons = new QHBoxLayout;
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(cancel);
    buttons->addStretch();
    auto* startButton = new QPushButton(tr("Start Scan"), this);
    startButton->setObjectName(QStringLiteral("start"));
    startButton->setDefault(true);
    connect(startButton, &QPushButton::clicked, this, &ScanModeSheet::start);
    buttons->addWidget(startButton);
    layout->addLayout(buttons);

    rebuildModes();
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::selectedVolume) rebuildModes();
    });
}

std::vector<QRadioButton*> ScanModeSheet::modeButtons() const {
    std::vector<QRadioButton*> buttons;
    for (auto* button : m_modeGroup->buttons()) buttons.push_back(static_cast<QRadioButton*>(button));
    return buttons;
}

void ScanModeSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    select(ScanModeLogic::initialMode(m_actions.preferredScanMode(), m_model.selectedVolume()));
}

void ScanModeSheet::rebuildModes() {
    for (auto& [mode, button] : m_modeButtons) {
        m_modeGroup->removeButton(button);
        delete button;
    }
    m_modeButtons.clear();
    const auto modes = ScanModeLogic::availableModes(m_model.selectedVolume());
    for (const auto mode : modes) {
        auto* button = new QRadioButton(ScanModeLogic::title(mode), this);
        button->setObjectName(QStringLiteral("mode.") + QString::fromUtf8(ScanModeName::rawValue(mode)));
        m_modeGroup->addButton(button);
        m_modeColumn->addWidget(button);
        connect(button, &QRadioButton::toggled, this, [this, mode](bool on) {
            if (on) select(mode);
        });
        m_modeButtons.emplace(mode, button);
    }
    // A choice the volume no longer offers falls back to the standard scan.
    select(m_modeButtons.contains(m_selected) ? m_selected : ScanMode::standard);
}

void ScanModeSheet::select(ScanMode mode) {
    m_selected = mode;
    if (auto found = m_modeButtons.find(mode); found != m_modeButtons.end() && !found->second->isChecked())
        found->second->setChecked(true);
    m_description->setText(ScanModeLogic::description(mode));
    // The width is fixed; the height follows the texts.
    if (layout()) {
        layout()->activate();
        setFixedHeight(layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(fixedWidth) : sizeHint().height());
    }
}

void ScanModeSheet::start() {
    m_actions.startScan(m_selected);
    accept();
}

} // namespace vantrel
