#include "Vantrel/sheets/FilterSidebarPlacement.h"

#include "Vantrel/model/FilterSidebarLogic.h"
#include "Vantrel/sheets/SheetStyle.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace vantrel {

namespace Logic = FilterSidebarLogic;

FilterSidebarPlacement::FilterSidebarPlacement(AppModel& model, std::set<FileTypeGroup> expanded, QWidget* parent)
    : QWidget(parent), m_model(model), m_expanded(std::move(expanded)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 0, 24, 24);
    layout->setSpacing(6);
    auto* heading = new QLabel(tr("File types"), this);
    SheetStyle::setFontScale(*heading, 1.0, QFont::DemiBold);
    layout->addWidget(heading);
    for (const auto group : FileTypeGroups::allCases()) addGroupRow(group, *layout);

    auto* sizes = new QFormLayout;
    auto* sizeHeading = new QLabel(tr("Size & dimensions"), this);
    sizeHeading->setTextFormat(Qt::PlainText);
    SheetStyle::setFontScale(*sizeHeading, 1.0, QFont::DemiBold);
    sizeHeading->setContentsMargins(0, 12, 0, 0);
    layout->addWidget(sizeHeading);
    m_minimumByteSize = new QLineEdit(this);
    m_minimumByteSize->setObjectName(QStringLiteral("minimumByteSize"));
    m_minimumWidth = new QLineEdit(this);
    m_minimumWidth->setObjectName(QStringLiteral("minimumImageWidth"));
    m_minimumHeight = new QLineEdit(this);
    m_minimumHeight->setObjectName(QStringLiteral("minimumImageHeight"));
    sizes->addRow(tr("Min size (bytes)"), m_minimumByteSize);
    sizes->addRow(tr("Min width (px)"), m_minimumWidth);
    sizes->addRow(tr("Min height (px)"), m_minimumHeight);
    layout->addLayout(sizes);
    layout->addStretch();
    for (auto* field : {m_minimumByteSize, m_minimumWidth, m_minimumHeight})
        connect(field, &QLineEdit::editingFinished, this, &FilterSidebarPlacement::commitSizes);

    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::filters) syncFromModel();
    });
    syncFromModel();
}

void FilterSidebarPlacement::addGroupRow(FileTypeGroup group, QLayout& layout) {
    GroupRow row;
    row.group = group;
    auto* header = new QWidget(this);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    row.checkbox = new QCheckBox(header);
    row.checkbox->setObjectName(QStringLiteral("group.") + QString::fromUtf8(FileTypeGroups::rawValue(group)));
    row.disclosure = new QToolButton(header);
    row.disclosure->setText(FileTypeGroups::title(group));
    row.disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    row.disclosure->setAutoRaise(true);
    headerLayout->addWidget(row.checkbox);
    headerLayout->addWidget(row.disclosure);
    headerLayout->addStretch();
    layout.addWidget(header);

    row.kinds = new QWidget(this);
    auto* kindsLayout = new QVBoxLayout(row.kinds);
    kindsLayout->setContentsMargins(28, 0, 0, 4);
    for (const auto kind : FileTypeGroups::kinds(group)) {
        auto* toggle = new QCheckBox(Logic::kindLabel(kind), row.kinds);
        kindsLayout->addWidget(toggle);
        connect(toggle, &QCheckBox::clicked, this,
                [this, kind](bool on) { m_model.setFilters(Logic::withKind(m_model.filters(), kind, on)); });
        row.switches.emplace_back(kind, toggle);
    }
    if (auto footnote = FileTypeGroups::footnote(group)) {
        auto* note = SheetStyle::wrappingLabel(*footnote, row.kinds);
        SheetStyle::setForeground(*note, SheetStyle::secondaryColour(*this));
        kindsLayout->addWidget(note);
    }
    layout.addWidget(row.kinds);

    connect(row.checkbox, &QCheckBox::clicked, this,
            [this, group] { m_model.setFilters(Logic::toggledGroup(m_model.filters(), group)); });
    connect(row.disclosure, &QToolButton::clicked, this, [this, group] {
        Logic::toggleExpanded(m_expanded, group);
        syncFromModel();
    });
    m_rows.push_back(std::move(row));
}

void FilterSidebarPlacement::commitSizes() {
    RecoveryFilters filters = m_model.filters();
    // Text that is no size (negative, beyond 64 bits, not a number) leaves the value as it was; the
    // field shows it again below.
    if (auto bytes = Logic::parseMinimumByteSize(m_minimumByteSize->text())) filters.minimumByteSize = *bytes;
    if (auto width = Logic::parseMinimumSide(m_minimumWidth->text())) filters.minimumImageWidth = *width;
    if (auto height = Logic::parseMinimumSide(m_minimumHeight->text())) filters.minimumImageHeight = *height;
    m_model.setFilters(std::move(filters));
    syncFromModel();
}

void FilterSidebarPlacement::syncFromModel() {
    const RecoveryFilters& filters = m_model.filters();
    for (auto& row : m_rows) {
        const QSignalBlocker blocker(row.checkbox);
        switch (Logic::groupSelection(filters, row.group)) {
        case Logic::GroupSelection::none: row.checkbox->setCheckState(Qt::Unchecked); break;
        case Logic::GroupSelection::all: row.checkbox->setCheckState(Qt::Checked); break;
        case Logic::GroupSelection::some: row.checkbox->setCheckState(Qt::PartiallyChecked); break;
        }
        const bool open = m_expanded.contains(row.group);
        row.disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        row.kinds->setVisible(open);
        for (auto& [kind, toggle] : row.switches) {
            const QSignalBlocker switchBlocker(toggle);
            toggle->setChecked(Logic::isKindOn(filters, kind));
        }
    }
    m_minimumByteSize->setText(Logic::byteSizeText(filters.minimumByteSize));
    m_minimumWidth->setText(Logic::sideText(filters.minimumImageWidth));
    m_minimumHeight->setText(Logic::sideText(filters.minimumImageHeight));
}

} // namespace vantrel
