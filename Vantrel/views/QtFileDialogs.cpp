#include "Vantrel/views/QtFileDialogs.h"

#include "Vantrel/views/WindowFocusKeeper.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QStringList>

#include <memory>

namespace vantrel {

void QtFileDialogs::chooseFileToOpen(const FileDialogOptions& options, Completion done) {
    show(Mode::open, options, std::move(done));
}

void QtFileDialogs::chooseFileToSave(const FileDialogOptions& options, Completion done) {
    show(Mode::save, options, std::move(done));
}

void QtFileDialogs::chooseFolder(const FileDialogOptions& options, Completion done) {
    show(Mode::folder, options, std::move(done));
}

QStringList QtFileDialogs::nameFilters(const FileDialogOptions& options) {
    if (options.fileExtensions.empty()) return {};
    QStringList patterns;
    for (const auto& extension : options.fileExtensions) patterns << "*." + QString::fromStdString(extension);
    QString filter = patterns.join(' ');
    if (!options.filterName.empty()) filter = QStringLiteral("%1 (%2)").arg(QString::fromStdString(options.filterName), filter);
    QStringList filters{filter};
    if (options.offersAllFiles) filters << QCoreApplication::translate("QtFileDialogs", "All files (*)");
    return filters;
}

void QtFileDialogs::show(Mode mode, const FileDialogOptions& options, Completion done) {
    auto* dialog = new QFileDialog(m_parent, QString::fromStdString(options.title),
                                   QString::fromStdString(options.directory));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    makeDialogWindow(*dialog);
    switch (mode) {
    case Mode::open:
        dialog->setFileMode(QFileDialog::ExistingFile);
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        break;
    case Mode::save:
        dialog->setFileMode(QFileDialog::AnyFile);
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        if (!options.defaultName.empty()) dialog->selectFile(QString::fromStdString(options.defaultName));
        break;
    case Mode::folder:
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
        break;
    }
    if (!options.fileExtensions.empty()) {
        dialog->setNameFilters(nameFilters(options));
        if (mode == Mode::save) dialog->setDefaultSuffix(QString::fromStdString(options.fileExtensions.front()));
    }
    if (!options.prompt.empty()) dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(options.prompt));
    if (!options.canCreateFolders) dialog->setOption(QFileDialog::ReadOnly);

    // One answer, whichever way the dialog ends.
    auto answer = std::make_shared<Completion>(std::move(done));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, answer](int result) {
        const auto chosen = dialog->selectedFiles();
        auto completion = std::move(*answer);
        *answer = nullptr;
        if (!completion) return;
        if (result == QDialog::Accepted && !chosen.isEmpty()) completion(chosen.front().toStdString());
        else completion(std::nullopt);
    });
    dialog->open();
}

} // namespace vantrel
