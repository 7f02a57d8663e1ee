#include "Vantrel/views/FilterSidebar.h"

#include "Vantrel/model/FilterSidebarLogic.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace vantrel {

namespace {

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    // Texts are ours, but no label of this form interprets markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QString childName(std::string_view prefix, std::string_view name) {
    return QString::fromUtf8(prefix.data(), static_cast<qsizetype>(prefix.size())) +
           QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

FilterSidebar::FilterSidebar(AppModel& model, std::set<FileTypeGroup> expanded, QWidget* parent)
    : QWidget(parent), m_model(model), m_expanded(std::move(expanded)) {
    auto* layout = new QVBoxLayout(this);

    auto* types = new QGroupBox(tr("File types"), this);
    auto* typesLayout = new QVBoxLayout(types);
    m_rows.reserve(FileTypeGroups::allCases().size());
    for (const auto group : FileTypeGroups::allCases()) {
        GroupRow row;
        row.group = group;
        m_rows.push_back(std::move(row));
        typesLayout->addWidget(buildGroupRow(m_rows.back()));
    }
    auto* footer = plainLabel(tr("Enable only what you need — fewer types means faster scans and cleaner results."), types);
    footer->setForegroundRole(QPalette::PlaceholderText);
    typesLayout->addWidget(footer);
    layout->addWidget(types);

    // A group box reads "&" as a shortcut mark; the title shows it as written.
    auto* sizes = new QGroupBox(tr("Size & dimensions").replace(QLatin1Char('&'), QStringLiteral("&&")), this);
    auto* form = new QFormLayout(sizes);
    m_minimumByteSize = new QLineEdit(sizes);
    m_minimumByteSize->setObjectName(QStringLiteral("minimumByteSize"));
    m_minimumImageWidth = new QLineEdit(sizes);
    m_minimumImageWidth->setObjectName(QStringLiteral("minimumImageWidth"));
    m_minimumImageHeight = new QLineEdit(sizes);
    m_minimumImageHeight->setObjectName(QStringLiteral("minimumImageHeight"));
    form->addRow(tr("Min size (bytes)"), m_minimumByteSize);
    form->addRow(tr("Min width (px)"), m_minimumImageWidth);
    form->addRow(tr("Min height (px)"), m_minimumImageHeight);
    auto* caption = plainLabel(tr("Skips typical camera thumbnail previews."), sizes);
    caption->setForegroundRole(QPalette::PlaceholderText);
    form->addRow(caption);
    layout->addWidget(sizes);
    layout->addStretch(1);

    for (auto* field : {m_minimumByteSize, m_minimumImageWidth, m_minimumImageHeight})
        connect(field, &QLineEdit::editingFinished, this, &FilterSidebar::commitSizeFields);
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::filters) syncFromModel();
    });
    syncFromModel();
}

QWidget* FilterSidebar::buildGroupRow(GroupRow& row) {
    const auto name = FileTypeGroups::rawValue(row.group);
    auto* container = new QWidget(this);
    auto* rowLayout = new QVBoxLayout(container);
    rowLayout->setContentsMargins(0, 2, 0, 2);
    rowLayout->setSpacing(6);

    auto* header = new QHBoxLayout();
    header->setSpacing(8);
    row.checkbox = new QCheckBox(container);
    row.checkbox->setObjectName(childName("group.", name));
    row.checkbox->setTristate(true);
    row.checkbox->setToolTip(tr("Select or clear all formats in this group"));
    connect(row.checkbox, &QCheckBox::clicked, this, [this, group = row.group] { toggleGroup(group); });
    header->addWidget(row.checkbox);

    row.disclosure = new QToolButton(container);
    row.disclosure->setObjectName(childName("disclosure.", name));
    row.disclosure->setText(FileTypeGroups::title(row.group));
    row.disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    row.disclosure->setAutoRaise(true);
    QFont bold = row.disclosure->font();
    bold.setWeight(QFont::DemiBold);
    row.disclosure->setFont(bold);
    connect(row.disclosure, &QToolButton::clicked, this, [this, group = row.group] { toggleExpanded(group); });
    header->addWidget(row.disclosure);
    header->addStretch(1);
    rowLayout->addLayout(header);

    row.kinds = new QWidget(container);
    row.kinds->setObjectName(childName("kinds.", name));
    auto* kindsLayout = new QVBoxLayout(row.kinds);
    kindsLayout->setContentsMargins(28, 0, 0, 4);
    kindsLayout->setSpacing(4);
    for (const auto kind : FileTypeGroups::kinds(row.group)) {
        auto* toggle = new QCheckBox(FilterSidebarLogic::kindLabel(kind), row.kinds);
        toggle->setObjectName(childName("kind.", FileKind::rawValue(kind)));
        connect(toggle, &QCheckBox::clicked, this, [this, kind](bool on) {
            m_model.setFilters(FilterSidebarLogic::withKind(m_model.filters(), kind, on));
        });
        kindsLayout->addWidget(toggle);
        row.switches.emplace_back(kind, toggle);
    }
    if (const auto note = FileTypeGroups::footnote(row.group)) {
        auto* footnote = plainLabel(*note, row.kinds);
        footnote->setObjectName(childName("footnote.", name));
        footnote->setForegroundRole(QPalette::PlaceholderText);
        QFont small = footnote->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        footnote->setFont(small);
        footnote->setContentsMargins(0, 2, 0, 0);
        kindsLayout->addWidget(footnote);
    }
    rowLayout->addWidget(row.kinds);
    return container;
}

void FilterSidebar::toggleGroup(FileTypeGroup group) {
    m_model.setFilters(FilterSidebarLogic::toggledGroup(m_model.filters(), group));
    // A click on a three-state box moves its state on its own; put back the filter's.
    syncFromModel();
}

void FilterSidebar::toggleExpanded(FileTypeGroup group) {
    FilterSidebarLogic::toggleExpanded(m_expanded, group);
    syncFromModel();
}

void FilterSidebar::commitSizeFields() {
    RecoveryFilters filters = m_model.filters();
    // Text that is no number (or a negative or oversized size) leaves the limit as it was.
    if (const auto bytes = FilterSidebarLogic::parseMinimumByteSize(m_minimumByteSize->text())) filters.minimumByteSize = *bytes;
    if (const auto width = FilterSidebarLogic::parseMinimumSide(m_minimumImageWidth->text())) filters.minimumImageWidth = *width;
    if (const auto height = FilterSidebarLogic::parseMinimumSide(m_minimumImageHeight->text())) filters.minimumImageHeight = *height;
    m_model.setFilters(std::move(filters));
    syncFromModel();
}

void FilterSidebar::syncFromModel() {
    const RecoveryFilters& filters = m_model.filters();
    for (auto& row : m_rows) {
        const auto selection = FilterSidebarLogic::groupSelection(filters, row.group);
        {
            const QSignalBlocker blocker(row.checkbox);
            row.checkbox->setCheckState(selection == FilterSidebarLogic::GroupSelection::all    ? Qt::Checked
                                        : selection == FilterSidebarLogic::GroupSelection::some ? Qt::PartiallyChecked
                                                                                                : Qt::Unchecked);
        }
        row.checkbox->setProperty("symbolName", FilterSidebarLogic::groupCheckboxSymbol(selection));
        const bool open = m_expanded.contains(row.group);
        row.disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        row.disclosure->setProperty("symbolName", QStringLiteral("chevron.right"));
        row.disclosure->setProperty("chevronRotated", open);
        row.kinds->setVisible(open);
        for (auto& [kind, toggle] : row.switches) {
            const QSignalBlocker blocker(toggle);
            toggle->setChecked(FilterSidebarLogic::isKindOn(filters, kind));
        }
    }
    m_minimumByteSize->setText(FilterSidebarLogic::byteSizeText(filters.minimumByteSize));
    m_minimumImageWidth->setText(FilterSidebarLogic::sideText(filters.minimumImageWidth));
    m_minimumImageHeight->setText(FilterSidebarLogic::sideText(filters.minimumImageHeight));
}

} // namespace vantrel
