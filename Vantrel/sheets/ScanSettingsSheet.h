#pragma once
// The scan filters in a sheet: a header with "Scan Settings" and "Done", then the filter sidebar with
// only the images group open. The sidebar edits the model's filter as the user goes; "Done" only
// closes the sheet.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/FileTypeGroup.h"

#include <QDialog>

#include <functional>
#include <set>

namespace vantrel {

class ScanSettingsSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int fixedWidth = 420;
    static constexpr int fixedHeight = 560;
    static constexpr int sidebarMinimumHeight = 420;

    explicit ScanSettingsSheet(AppModel& model, QWidget* parent = nullptr);

    // The groups the sidebar shows open.
    const std::set<FileTypeGroup>& expandedGroups() const;

private:
    std::function<const std::set<FileTypeGroup>&()> m_expanded;
};

} // namespace vantrel
