#pragma once
// The menu bar: File ("Open Catalog…", "Save Catalog…", "Open Image File…", "Quit"), View ("Sort By",
// the list's orders), "Disk Access"
// (install and remove the helper, "Show Internal Disks", the helper-access sheet) and Help ("Vantrel
// Help"), each title and item with its Alt mnemonic; F10 opens the first menu. Every command calls the
// model, the volume list or the quit request; the menus hold no state of their own beyond what they
// show. Main thread only.

#include "Vantrel/effects/ImageFileVolumes.h"
#include "Vantrel/model/AppModel.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QMenu;
class QMenuBar;

namespace vantrel {

class AppMenus final : public QObject {
    Q_OBJECT

public:
    // Fills menuBar. quit is the ordinary request to quit (the road of the window's close button).
    AppMenus(AppModel& model, std::shared_ptr<ImageFileVolumes> volumes, QMenuBar* menuBar, std::function<void()> quit);

    QMenu* fileMenu() const { return m_file; }
    QMenu* viewMenu() const { return m_view; }
    QMenu* sortByMenu() const { return m_sortBy; }
    QMenu* diskAccessMenu() const { return m_diskAccess; }
    QMenu* helpMenu() const { return m_help; }
    QAction* openCatalogAction() const { return m_openCatalog; }
    QAction* saveCatalogAction() const { return m_saveCatalog; }
    QAction* openImageFileAction() const { return m_openImageFile; }
    QAction* quitAction() const { return m_quit; }
    QAction* installHelperAction() const { return m_installHelper; }
    QAction* removeHelperAction() const { return m_removeHelper; }
    QAction* showInternalDisksAction() const { return m_showInternalDisks; }
    QAction* diskAccessAction() const { return m_diskAccessSheet; }
    QAction* helpAction() const { return m_helpSheet; }
    // F10: opens the first menu.
    QAction* openMenuBarAction() const { return m_openMenuBar; }

    // The dialog of "Open Image File…"; a chosen file joins the volume list and is selected.
    void openImageFile();
    // Shows "Open Image File…" only while the helper in use opens image files.
    void refreshImageFileItem();
    // "Remove Helper…" is enabled only while a helper service is registered.
    void refreshRemoveHelperItem();
    // Checks the order the list shows.
    void refreshSortItems();

private:
    void addImageFile(const std::string& path);
    void onField(AppModel::Field field);

    AppModel& m_model;
    std::shared_ptr<ImageFileVolumes> m_volumes;
    std::function<void()> m_requestQuit;
    QMenu* m_file;
    QMenu* m_view;
    QMenu* m_sortBy;
    QMenu* m_diskAccess;
    QMenu* m_help;
    QAction* m_openCatalog;
    QAction* m_saveCatalog;
    QAction* m_openImageFile;
    QAction* m_quit;
    QAction* m_installHelper;
    QAction* m_removeHelper;
    QAction* m_showInternalDisks;
    QAction* m_diskAccessSheet;
    QAction* m_helpSheet;
    QAction* m_openMenuBar;
};

} // namespace vantrel
