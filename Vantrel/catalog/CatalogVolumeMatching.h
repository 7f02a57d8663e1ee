#pragma once
// Finding the disk of a scan catalog among the attached volumes, and keeping a selection on the same disk
// when the volume list changes. Pure functions over plain values: no model state, no device access.
//
// Kernel names are handed out again as disks come and go (the next card in the reader is sdb as well), so
// where both sides know an identity (serial number, partition-table id, file-system ids) it decides: a
// volume whose identity agrees wins over every other rule, and one whose identity disagrees is never
// matched by name, device path or size.

#include "Vantrel/catalog/ScanCatalog.h"
#include "support/volumes/ExternalVolume.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::CatalogVolumeMatching {

// The identity of an attached volume; empty when it is not known.
using IdentityLookup = std::function<DiskIdentity(const ExternalVolume&)>;

struct Inventory {
    std::vector<ExternalVolume> volumes;
    IdentityLookup identityOf;                 // none: no identities known
    std::filesystem::path sysfsRoot = "/sys";  // for whole-disk names of partitions

    DiskIdentity identity(const ExternalVolume& volume) const { return identityOf ? identityOf(volume) : DiskIdentity{}; }
};

// The first rule that yields a volume wins; "first" is in list order:
//  0. a volume whose identity agrees with the source's;
//  1. with a BSD name: the first volume named like it or like its whole disk, else the first whose own
//     whole disk is the source's whole disk;
//  2. with a raw device path: the first volume whose raw device path, or else device path, equals it;
//  3. with a size above 0: the one volume of that size, or among several the one with the source's
//     display name.
// Rules 1 to 3 pass over volumes whose identity disagrees with the source's. Comparisons are exact.
std::optional<ExternalVolume> findVolume(const ScanCatalog::Source& source, const Inventory& inventory);

// A volume that stands for a catalog's disk that is not attached: its display name and size, not mounted,
// no mount point, file system or bus.
ExternalVolume synthesisedVolume(const ScanCatalog::Source& source, const std::optional<std::string>& bsdName);

// The source a catalog records for the disk the results came from: the volume with the raw device path
// that was read (the volume's own when none is given) and the disk's identity.
ScanCatalog::Source sourceFor(const ExternalVolume& volume, const std::optional<std::string>& rawDevicePath,
                              const DiskIdentity& identity);

// The new selection after the volume list changed, or nothing when the selection stays as it is: the
// first volume named like the selected one or its whole disk (and not known to be another disk) when it
// differs from the selection in any field; when none is named so, the volume findVolume gives for the
// selection's source. A disk that went away stays selected.
std::optional<ExternalVolume> reconcile(const ExternalVolume& selected, const std::optional<std::string>& activeRawDevicePath,
                                        const DiskIdentity& selectedIdentity, const Inventory& inventory);

} // namespace vantrel::CatalogVolumeMatching
