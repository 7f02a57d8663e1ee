#pragma once
// The open, save and folder choices as Qt's file dialogs, shown window-modal with open() so the main
// thread never blocks; closing a dialog any way but its accepting button answers nothing.

#include "Vantrel/effects/FileDialogs.h"

#include <QPointer>
#include <QWidget>

namespace vantrel {

class QtFileDialogs final : public FileDialogs {
public:
    // The dialogs open over parent once it is set (the main window); before that, on their own.
    void setParent(QWidget* parent) { m_parent = parent; }

    void chooseFileToOpen(const FileDialogOptions& options, Completion done) override;
    void chooseFileToSave(const FileDialogOptions& options, Completion done) override;
    void chooseFolder(const FileDialogOptions& options, Completion done) override;

    // The dialog's choices of file type: the extensions ("Disk images (*.img *.dd *.raw)"), then
    // "All files (*)" where offered; none for any file.
    static QStringList nameFilters(const FileDialogOptions& options);

private:
    enum class Mode { open, save, folder };
    void show(Mode mode, const FileDialogOptions& options, Completion done);

    QPointer<QWidget> m_parent;
};

} // namespace vantrel
