#include "Vantrel/sheets/HelpSheet.h"

#include "Vantrel/sheets/HelpDocument.h"
#include "Vantrel/sheets/HelpRendering.h"
#include "Vantrel/sheets/SheetStyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace vantrel {

HelpSheet::HelpSheet(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Vantrel Help"));
    setMinimumSize(minimumWidth, minimumHeight);
    resize(idealWidth, idealHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(24, 20, 24, 12);
    auto* title = SheetStyle::titleLabel(tr("Vantrel Help"), this);
    title->setObjectName(QStringLiteral("title"));
    header->addWidget(title);
    header->addStretch();
    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("close"));
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    header->addWidget(close);
    layout->addLayout(header);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    m_browser = new QTextBrowser(this);
    m_browser->setFrameShape(QFrame::NoFrame);
    m_browser->setOpenExternalLinks(true);
    m_browser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_browser->document()->setDocumentMargin(24);
    const auto blocks = HelpDocument::parse(HelpDocument::loadMarkdown());
    m_blockCount = blocks.size();
    m_browser->setHtml(HelpRendering::documentHtml(blocks, SheetStyle::secondaryColour(*this).name()));
    layout->addWidget(m_browser, 1);
}

} // namespace vantrel
