#pragma once
// A plain editor of the scan filter for the scan-settings sheet: per file-type group a checkbox that
// turns the group on or off, a disclosure with one switch per kind, then the minimum file size and
// picture sides. Every control writes the model's filter at once, and the form follows the filter when
// anything else changes it. It has the filter sidebar's interface, so either can sit in the sheet.

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/FileTypeGroup.h"

#include <QWidget>

#include <set>
#include <vector>

class QCheckBox;
class QLineEdit;
class QToolButton;

namespace vantrel {

class FilterSidebarPlacement : public QWidget {
    Q_OBJECT

public:
    FilterSidebarPlacement(AppModel& model, std::set<FileTypeGroup> expanded, QWidget* parent = nullptr);

    const std::set<FileTypeGroup>& expandedGroups() const { return m_expanded; }

private:
    struct GroupRow {
        FileTypeGroup group = FileTypeGroup::images;
        QCheckBox* checkbox = nullptr;
        QToolButton* disclosure = nullptr;
        QWidget* kinds = nullptr;
        std::vector<std::pair<RecoveredFileKind, QCheckBox*>> switches;
    };

    void addGroupRow(FileTypeGroup group, QLayout& layout);
    void commitSizes();
    void syncFromModel();

    AppModel& m_model;
    std::set<FileTypeGroup> m_expanded;
    std::vector<GroupRow> m_rows;
    QLineEdit* m_minimumByteSize = nullptr;
    QLineEdit* m_minimumWidth = nullptr;
    QLineEdit* m_minimumHeight = nullptr;
};

} // namespace vantrel
