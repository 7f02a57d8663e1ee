#include "Vantrel/app/AppMenus.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/views/ResultsPaneLogic.h"

#include "support/log/AppLog.h"

#include <QAction>
#include <QActionGroup>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <filesystem>

namespace vantrel {

namespace {

Task<void> removeHelper(AppModel* model) { co_await model->uninstallHelper(); }

Task<void> saveCatalog(AppModel* model) { co_await CatalogFlows::saveCatalogWithPanel(model); }

} // namespace

AppMenus::AppMenus(AppModel& model, std::shared_ptr<ImageFileVolumes> volumes, QMenuBar* menuBar, std::function<void()> quit)
    : QObject(menuBar), m_model(model), m_volumes(std::move(volumes)), m_requestQuit(std::move(quit)) {
    m_file = menuBar->addMenu(tr("&File"));
    m_openCatalog = m_file->addAction(tr("&Open Catalog…"));
    m_openCatalog->setShortcuts(QKeySequence::Open);
    connect(m_openCatalog, &QAction::triggered, this, [this] { CatalogFlows::openCatalogWithPanel(m_model); });
    m_saveCatalog = m_file->addAction(tr("&Save Catalog…"));
    m_saveCatalog->setShortcuts(QKeySequence::Save);
    // Its result (saved or not) is the dialog's business: the model shows what happened.
    connect(m_saveCatalog, &QAction::triggered, this, [this] {
        if (!m_model.hits().empty()) m_model.tasks().spawn(saveCatalog(&m_model));
    });
    m_openImageFile = m_file->addAction(tr("Open &Image File…"));
    m_openImageFile->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(m_openImageFile, &QAction::triggered, this, [this] { openImageFile(); });
    m_file->addSeparator();
    m_quit = m_file->addAction(tr("&Quit"));
    // The desktop's own Quit keys; a platform without any (no desktop theme) gets the usual Ctrl+Q.
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (quitKeys.isEmpty()) quitKeys = {QKeySequence(Qt::CTRL | Qt::Key_Q)};
    m_quit->setShortcuts(quitKeys);
    connect(m_quit, &QAction::triggered, this, [this] {
        if (m_requestQuit) m_requestQuit();
    });
    // Whether the helper opens image files is known once it has been reached, and it may change
    // when the helper service is installed or removed: looked at again with every change the model
    // makes (the helper's checks and installation all end in one) and whenever the menu opens.
    connect(m_file, &QMenu::aboutToShow, this, [this] { refreshImageFileItem(); });

    // The orders of the column headers, for the keyboard: checked at the order the list shows.
    m_view = menuBar->addMenu(tr("&View"));
    m_sortBy = m_view->addMenu(tr("Sort &By"));
    auto* orders = new QActionGroup(this);
    for (const ResultsSort sort : ResultsPaneLogic::sortMenuOrders()) {
        QAction* action = m_sortBy->addAction(ResultsPaneLogic::sortMenuTitle(sort));
        action->setCheckable(true);
        action->setData(static_cast<int>(sort));
        orders->addAction(action);
        connect(action, &QAction::triggered, this, [this, sort] { m_model.setResultsSort(sort); });
    }
    connect(m_sortBy, &QMenu::aboutToShow, this, [this] { refreshSortItems(); });

    m_diskAccess = menuBar->addMenu(tr("&Disk Access"));
    m_installHelper = m_diskAccess->addAction(tr("&Install Helper…"));
    connect(m_installHelper, &QAction::triggered, this, [this] {
        // The sheet is asked for first, so that it is already requested when the installation starts.
        m_model.setShowHelperSheet(true);
        m_model.installHelper();
    });
    m_removeHelper = m_diskAccess->addAction(tr("&Remove Helper…"));
    connect(m_removeHelper, &QAction::triggered, this, [this] { m_model.tasks().spawn(removeHelper(&m_model)); });
    m_diskAccess->addSeparator();
    m_showInternalDisks = m_diskAccess->addAction(tr("Show Internal &Disks"));
    m_showInternalDisks->setCheckable(true);
    m_showInternalDisks->setChecked(m_volumes->showInternal());
    // Only the user's change refreshes the list; showing the menu merely shows the current value.
    connect(m_showInternalDisks, &QAction::triggered, this, [this](bool checked) {
        m_volumes->setShowInternal(checked);
        m_volumes->refresh();
    });
    connect(m_diskAccess, &QMenu::aboutToShow, this, [this] { m_showInternalDisks->setChecked(m_volumes->showInternal()); });
    m_diskAccess->addSeparator();
    m_diskAccessSheet = m_diskAccess->addAction(tr("Disk &Access…"));
    connect(m_diskAccessSheet, &QAction::triggered, this, [this] { m_model.setShowHelperSheet(true); });

    m_help = menuBar->addMenu(tr("&Help"));
    m_helpSheet = m_help->addAction(tr("Vantrel &Help"));
    m_helpSheet->setShortcuts({QKeySequence(QKeySequence::HelpContents), QKeySequence(Qt::CTRL | Qt::Key_Question)});
    connect(m_helpSheet, &QAction::triggered, this, [this] { m_model.setShowHelpSheet(true); });

    // F10 opens the menu bar at its first menu, as the desktops do; the menus then go on with the arrows.
    m_openMenuBar = new QAction(tr("Menu Bar"), this);
    m_openMenuBar->setShortcut(QKeySequence(Qt::Key_F10));
    m_openMenuBar->setShortcutContext(Qt::WindowShortcut);
    if (QWidget* window = menuBar->parentWidget()) window->addAction(m_openMenuBar);
    connect(m_openMenuBar, &QAction::triggered, menuBar, [this, menuBar] { menuBar->setActiveAction(m_file->menuAction()); });

    connect(&m_model, &AppModel::fieldChanged, this, &AppMenus::onField);
    m_saveCatalog->setEnabled(!m_model.hits().empty());
    refreshImageFileItem();
    refreshRemoveHelperItem();
    refreshSortItems();
}

void AppMenus::refreshSortItems() {
    const int current = static_cast<int>(m_model.resultsSort());
    for (QAction* action : m_sortBy->actions()) action->setChecked(action->data().toInt() == current);
}

void AppMenus::refreshRemoveHelperItem() {
    // Nothing to remove while no service is installed.
    const auto status = m_model.helperStatus();
    m_removeHelper->setEnabled(status != HelperInstallStatus::notInstalled && status != HelperInstallStatus::unknown);
}

void AppMenus::onField(AppModel::Field field) {
    if (field == AppModel::Field::hits) m_saveCatalog->setEnabled(!m_model.hits().empty());
    if (field == AppModel::Field::helperStatus) refreshRemoveHelperItem();
    if (field == AppModel::Field::resultsSort) refreshSortItems();
    refreshImageFileItem();
}

void AppMenus::refreshImageFileItem() {
    m_openImageFile->setVisible(m_model.helperAcceptsImageFiles());
}

void AppMenus::openImageFile() {
    const auto& dialogs = m_model.effects().dialogs;
    if (!dialogs || !m_openImageFile->isVisible()) return;
    FileDialogOptions options;
    options.title = tr("Open Image File").toStdString();
    options.prompt = tr("Open").toStdString();
    options.fileExtensions = ImageFileVolumes::extensions();
    options.filterName = tr("Disk images").toStdString();
    // An image may carry any name; what is not one is refused with the reason once chosen.
    options.offersAllFiles = true;
    options.canCreateFolders = false;
    // The dialog answers on the main thread, perhaps after the menus are gone.
    dialogs->chooseFileToOpen(options, [self = QPointer<AppMenus>(this)](std::optional<std::string> path) {
        if (!self || !path) return;
        self->addImageFile(*path);
    });
}

void AppMenus::addImageFile(const std::string& path) {
    const auto volume = m_volumes->addImageFile(path);
    if (!volume) {
        const QString name = QString::fromStdString(path);
        QString message;
        std::error_code sizeError;
        switch (ImageFileVolumes::problemOf(path).value_or(ImageFileProblem::notRegularFile)) {
        case ImageFileProblem::missing: message = tr("“%1” does not exist.").arg(name); break;
        case ImageFileProblem::notRegularFile:
            message = tr("“%1” is not a disk image file: only a regular file can be opened as one.").arg(name);
            break;
        case ImageFileProblem::empty:
            message = tr("“%1” is empty (0 bytes): there is no disk image in it to scan.").arg(name);
            break;
        case ImageFileProblem::tooSmall:
            message = tr("“%1” holds only %2 bytes: too little for a disk image, which takes at least one "
                         "512-byte sector.")
                          .arg(name)
                          .arg(static_cast<qulonglong>(std::filesystem::file_size(path, sizeError)));
            break;
        }
        AppLog::info("Image file refused: " + message.toStdString(), "app");
        m_model.setErrorMessage(message);
        return;
    }
    AppLog::info("Image file opened: " + volume->bsdName + " bytes=" + std::to_string(volume->sizeBytes) +
                     " fileSystems=" + volume->fileSystemName.value_or("none"),
                 "app");
    m_model.tasks().spawn(m_model.selectVolume(*volume));
}

} // namespace vantrel
