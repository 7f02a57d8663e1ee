#include "Vantrel/sheets/ScanSettingsSheet.h"

#include "Vantrel/sheets/SheetStyle.h"

#include "Vantrel/views/FilterSidebar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace vantrel {

ScanSettingsSheet::ScanSettingsSheet(AppModel& model, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Scan Settings"));
    setFixedSize(fixedWidth, fixedHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(24, 24, 24, 24);
    header->addWidget(SheetStyle::titleLabel(tr("Scan Settings"), this));
    header->addStretch();
    auto* done = new QPushButton(tr("Done"), this);
    done->setObjectName(QStringLiteral("done"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    header->addWidget(done);
    layout->addLayout(header);

    auto* sidebar = new FilterSidebar(model, {FileTypeGroup::images});
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(sidebar);
    scroll->setMinimumHeight(sidebarMinimumHeight);
    layout->addWidget(scroll, 1);
    m_expanded = [sidebar]() -> const std::set<FileTypeGroup>& { return sidebar->expandedGroups(); };
}

const std::set<FileTypeGroup>& ScanSettingsSheet::expandedGroups() const { return m_expanded(); }

} // namespace vantrel
