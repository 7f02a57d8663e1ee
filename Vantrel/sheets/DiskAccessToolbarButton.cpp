#include "Vantrel/sheets/DiskAccessToolbarButton.h"

#include "Vantrel/sheets/HelperAccessLogic.h"
#include "Vantrel/sheets/SheetStyle.h"

namespace vantrel {

DiskAccessToolbarButton::DiskAccessToolbarButton(AppModel& model, QWidget* parent) : QToolButton(parent), m_model(model) {
    setObjectName(QStringLiteral("diskAccess"));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setAutoRaise(true);
    connect(this, &QToolButton::clicked, this, [this] { m_model.setShowHelperSheet(true); });
    connect(&m_model, &AppModel::fieldChanged, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::helperStatus || field == AppModel::Field::helperRuntimeState ||
            field == AppModel::Field::fullDiskAccessState)
            refresh();
    });
    refresh();
}

void DiskAccessToolbarButton::refresh() {
    const auto attention = m_model.diskAccessAttention();
    const QString title = AppModel::diskAccessTitle(attention);
    const QString symbol = HelperAccessLogic::toolbarSymbol(attention);
    setText(title);
    setToolTip(title.toHtmlEscaped());
    setIcon(SheetStyle::symbolIcon(symbol));
    setProperty(SheetStyle::symbolProperty, symbol);
    SheetStyle::setForeground(*this, HelperAccessLogic::toolbarIsWarning(attention) ? SheetStyle::warningColour()
                                                                                    : SheetStyle::secondaryColour(*this));
}

} // namespace vantrel
