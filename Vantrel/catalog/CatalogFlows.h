#pragma once
// The model's catalog commands: saving the results with a dialog, opening a catalog with a dialog,
// applying a loaded catalog to the model, finding its disk among the attached volumes, and keeping the
// selection on the same disk when the volume list changes. Main thread only, like the model.
//
// A catalog's device path and names are never trusted: its disk counts as attached only when the
// volume list shows it (and its node is a block device), and until then the results can be looked at
// but neither verified nor recovered (resultsDiskAttached is false).

#include "Vantrel/async/Task.h"
#include "Vantrel/catalog/ScanCatalog.h"
#include "Vantrel/model/AppModel.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantrel::CatalogFlows {

// The dialogs offer only catalog files.
inline constexpr std::string_view fileExtension = "vtcat";

// Records the disk a scan reads, so that a catalog saved later describes that disk and not whatever
// is selected by then. The scan flow calls this when it starts reading.
void recordScannedDisk(AppModel& model, const ExternalVolume& volume, const std::string& rawDevicePath);

// Whether the disk the results came from is attached: verification and recovery read from it.
bool resultsDiskAttached(const AppModel& model);

// The save dialog, then saveCatalog; true only when a catalog was written.
Task<bool> saveCatalogWithPanel(AppModel* model);
// Builds the catalog of the current results and writes it; true on success, else errorMessage is set.
bool saveCatalog(AppModel& model, const std::string& path);

// Refused while a scan runs. Otherwise the open dialog; a chosen file is opened in a task of the model
// after the unsaved-results question.
void openCatalogWithPanel(AppModel& model);
// A catalog as read from its file, or why it could not be read.
using LoadedCatalog = std::variant<ScanCatalog, ErrorObject>;
LoadedCatalog readCatalog(const std::string& path);
// Reads a catalog and applies it to the model; errorMessage tells why not (the results stay).
void loadCatalog(AppModel& model, const std::string& path);
// Applies what readCatalog gave. The open flow reads on a thread of its own and applies on the model's,
// so that a large or hostile file never holds the window.
void loadCatalog(AppModel& model, const std::string& path, LoadedCatalog loaded);
// Selects the catalog's disk when the volume list shows it, else a volume made from the catalog (or
// nothing without a disk name), and sets activeRawDevicePath to the attached disk's node or nothing.
void matchCatalogSource(AppModel& model, const ScanCatalog::Source& source);
// Keeps the selection on the same disk after the volume list changed; a catalog's disk that appears
// is searched for, and the results' disk, once the read guard no longer takes it, is asked again.
void reconcileSelectedVolume(AppModel& model, const std::vector<ExternalVolume>& volumes);

// ---- Finding the results' disk (CatalogDiskSearch.cpp).
//
// A disk is known by what its medium says of itself (MediumIdentity, read through the helper), never
// by its kernel name, size or a card reader's serial number, which the next card shares. The search
// asks the helper about each attached disk of the recorded size (the one of the recorded name first)
// and takes the first whose medium is the recorded one, under whatever name it has now. For results
// that record no medium (older catalogs), the disk that the recorded name, device path or size point
// at is taken only when its label and size agree and the user confirms it, once. A disk that is
// another one is never read: sourceRefusal and the status say so in words.
//
// One search runs at a time for the current results; a disk already asked with the same medium
// number is not asked again, so the volume list's refreshes do not repeat the question. The disk that
// is taken is attached, bound (bindResultsDisk) and its pending hits queued for checking.
void searchResultsDisk(AppModel& model);
// The results' disk now stands at volume: it is selected and its node becomes the active one.
void attach(AppModel& model, const ExternalVolume& volume);
// What the image file says of itself, read with this program's own rights. Throws on a read failure.
MediumIdentity localImageIdentity(const std::string& path);
// The status of loaded results: their count and disk while it is attached, else where to find it.
QString loadedStatus(const AppModel& model, bool attached);
QString searchingStatus(const AppModel& model);

} // namespace vantrel::CatalogFlows
