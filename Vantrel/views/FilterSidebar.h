#pragma once
// The form in which the user edits the scan filter: one row per file-type group (a three-state group
// checkbox, a disclosure with the group's title, and while open one switch per kind and the group's
// footnote), then the minimum file size and picture size. Every control writes the model's filter at
// once; the form follows the filter when anything else changes it.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/FileTypeGroup.h"

#include <QWidget>

#include <set>
#include <utility>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace vantrel {

class FilterSidebar : public QWidget {
    Q_OBJECT

public:
    FilterSidebar(AppModel& model, std::set<FileTypeGroup> expanded, QWidget* parent = nullptr);

    const std::set<FileTypeGroup>& expandedGroups() const { return m_expanded; }

private:
    struct GroupRow {
        FileTypeGroup group;
        QCheckBox* checkbox = nullptr;
        QToolButton* disclosure = nullptr;
        QWidget* kinds = nullptr;
        std::vector<std::pair<RecoveredFileKind, QCheckBox*>> switches;
    };

    QWidget* buildGroupRow(GroupRow& row);
    void toggleGroup(FileTypeGroup group);
    void toggleExpanded(FileTypeGroup group);
    void commitSizeFields();
    void syncFromModel();

    AppModel& m_model;
    std::set<FileTypeGroup> m_expanded;
    std::vector<GroupRow> m_rows;
    QLineEdit* m_minimumByteSize = nullptr;
    QLineEdit* m_minimumImageWidth = nullptr;
    QLineEdit* m_minimumImageHeight = nullptr;
};

} // namespace vantrel
