#include "VantrelHelper/HelperScanService.h"

#include "VantrelHelper/DestinationCheck.h"
#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HelperError.h"
#include "VantrelHelper/HelperHitConversion.h"
#include "recovery/filesystems/partitions/MediumIdentityReader.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"
#include "support/log/StorageSizeFormatter.h"

#include <algorithm>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view category = "helper";
// The code of the remount error.
constexpr std::int64_t remountFailedCode = 16;

std::string nameList(const std::set<std::string>& names) {
    std::string text = "[";
    for (const auto& name : names) text += (text.size() > 1 ? ", \"" : "\"") + name + "\"";
    return text + "]";
}

std::string joined(const std::vector<std::string>& names, std::string_view separator) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : std::string(separator)) + name;
    return text;
}

// Why nothing was mounted for the disks named: each was unmounted for another user, or not by this
// helper process at all (a helper started afresh keeps no records of the one before).
std::string nothingToMount(const std::vector<std::string>& names, const std::set<std::string>& othersRecords) {
    std::vector<std::string> others;
    std::vector<std::string> unknown;
    for (const auto& name : names)
        (othersRecords.count(DeviceAccess::wholeDiskName(name)) ? others : unknown).push_back(name);
    std::string message = "Nothing to mount:";
    if (!unknown.empty())
        message += " this helper did not unmount " + joined(unknown, ", ") +
                   " (it may have been started again since, or the disk was mounted back already)";
    if (!others.empty())
        message += std::string(unknown.empty() ? "" : ";") + " " + joined(others, ", ") +
                   " was unmounted for another user; only that user or root may mount it back";
    return message + ".";
}

std::int64_t clampedToSigned(std::uint64_t value) {
    return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(value);
}

} // namespace

HelperScanService::HelperScanService(ScanRunner scan, QuitRequest quitRequested, UserIdentity peer)
    : m_scan(std::move(scan)), m_quitRequested(std::move(quitRequested)), m_peer(std::move(peer)) {}

HelperScanService::~HelperScanService() { connectionClosed(); }

void HelperScanService::setClient(VantrelHelperClient* client) {
    std::lock_guard lock(m_clientLock);
    m_client = client;
}

void HelperScanService::connectionClosed() {
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        m_cancelFlag = true;
    }
    setClient(nullptr);
}

bool HelperScanService::isIdle() const { return m_queue.isIdle() && m_ioQueue.isIdle(); }

void HelperScanService::HeldDisks::add(const std::string& disk) {
    std::lock_guard lock(m_lock);
    m_names.insert(disk);
}

std::set<std::string> HelperScanService::HeldDisks::names() const {
    std::lock_guard lock(m_lock);
    return m_names;
}

void HelperScanService::hold(const DeviceAccess::CheckedDevice& device) {
    if (device.isBlockDevice) m_held->add(device.diskName);
}

DeviceAccess::DiskLease HelperScanService::leaseAndHold(const std::string& path) {
    try {
        return leaseAndHold(DeviceAccess::checkDevicePath(path, m_peer));
    } catch (const HelperError&) {
    }
    return {};
}

DeviceAccess::DiskLease HelperScanService::leaseAndHold(const DeviceAccess::CheckedDevice& checked) {
    if (!checked.isBlockDevice) return {};
    hold(checked);
    return DeviceAccess::leaseDisk(checked.diskName);
}

bool HelperScanService::isClosed() {
    std::lock_guard lock(m_lock);
    return m_closed;
}

bool HelperScanService::shouldCancel() {
    for (;;) {
        {
            std::lock_guard lock(m_lock);
            if (m_cancelFlag || m_extractInFlight <= 0) return m_cancelFlag;
        }
        std::this_thread::sleep_for(extractionPauseStep);
    }
}

void HelperScanService::sendLog(const std::string& line) {
    std::lock_guard lock(m_clientLock);
    if (m_client) m_client->helperDidLog(line);
}

void HelperScanService::sendProgress(std::uint64_t scanned, std::uint64_t total, std::int64_t hits, std::int64_t errors) {
    std::lock_guard lock(m_clientLock);
    if (m_client)
        m_client->helperDidUpdateProgressWithBytesScanned(clampedToSigned(scanned), clampedToSigned(total), hits, errors);
}

void HelperScanService::sendHit(const RecoveredHit& hit) {
    // Written from the hit where it lies: a dense card finds tens of thousands, and a record of copies
    // for each would cost the scan's thread more than writing it.
    const HelperHitView view = HelperHitConversion::view(hit);
    std::lock_guard lock(m_clientLock);
    if (m_client) m_client->helperDidFindHitView(view);
}

std::shared_ptr<VolumeCache> HelperScanService::volumeCacheFor(const std::string& path, bool fresh) {
    std::lock_guard lock(m_volumeLock);
    if (fresh || !m_volumes || m_volumePath != path) {
        m_volumes = std::make_shared<VolumeCache>();
        m_volumePath = path;
    }
    return m_volumes;
}

RecoveryFilters HelperScanService::filtersFor(std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                                              std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds) {
    RecoveryFilters filters;
    for (const auto& name : allowedKinds) {
        if (const auto kind = FileKind::fromRawValue(name)) filters.allowedKinds.insert(*kind);
    }
    if (filters.allowedKinds.empty()) filters.allowedKinds = RecoveryFilters::defaults().allowedKinds;
    filters.minimumByteSize = minimumByteSize < 0 ? 0 : static_cast<std::uint64_t>(minimumByteSize);
    if (minimumImageWidth > 0) filters.minimumImageWidth = minimumImageWidth;
    if (minimumImageHeight > 0) filters.minimumImageHeight = minimumImageHeight;
    return filters;
}

ScanMode HelperScanService::modeFor(const std::string& text) {
    return text == ScanModeName::rawValue(ScanMode::quickUndelete) ? ScanMode::quickUndelete : ScanMode::standard;
}

std::optional<int> HelperScanService::percentageToLog(const ScanProgress& progress, int& lastLogged) {
    const int percentage = progress.totalBytes == 0
                               ? 0
                               : static_cast<int>(std::min(static_cast<double>(progress.bytesScanned) /
                                                               static_cast<double>(progress.totalBytes),
                                                           1.0) *
                                                  100.0);
    if (percentage != 100 && percentage < lastLogged + 5) return std::nullopt;
    lastLogged = percentage;
    return percentage;
}

void HelperScanService::ping(StringReply reply) {
    AppLog::info("ping pid=" + std::to_string(::getpid()), category);
    reply("pong");
}

void HelperScanService::probeDeviceWithPath(const std::string& path, LengthReply reply) {
    m_ioQueue.async([this, path, reply = std::move(reply)] {
        AppLog::info("probeDevice " + path, category);
        try {
            const auto opened = DeviceAccess::openRawDevice(path, {}, true, true, m_peer);
            hold(opened.device);
            const auto length = opened.source->length();
            AppLog::info("probeDevice size=" + std::to_string(length), category);
            reply(clampedToSigned(length), std::nullopt);
        } catch (const std::exception& failure) {
            const auto error = HelperError::toErrorObject(failure, path);
            AppLog::error("probeDevice failed: " + error.domain + " " + std::to_string(error.code) + " " + error.message, category);
            reply(0, error);
        }
    });
}

void HelperScanService::identifyDeviceWithPath(const std::string& path, IdentityReply reply) {
    m_ioQueue.async([this, path, reply = std::move(reply)] {
        AppLog::info("identifyDevice " + path, category);
        try {
            // Only the first sectors are read, so the disk may stay mounted.
            const auto opened = DeviceAccess::openRawDevice(path, {}, false, false, m_peer);
            MediumIdentityReader::Options options;
            options.fingerprintHeadWhenUnknown = !opened.device.isBlockDevice;
            const auto identity = MediumIdentityReader::read(*opened.source, options);
            AppLog::info("identifyDevice volumes=" + std::to_string(identity.volumes.size()) +
                             (identity.fingerprint.empty() ? " without fingerprint" : ""),
                         category);
            reply(identity.toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), std::nullopt);
        } catch (const std::exception& failure) {
            const auto error = HelperError::toErrorObject(failure, path);
            AppLog::error("identifyDevice failed: " + error.domain + " " + std::to_string(error.code) + " " + error.message, category);
            reply(std::string(), error);
        }
    });
}

void HelperScanService::checkRawDiskAccessWithPath(const std::string& path, AccessReply reply) {
    m_ioQueue.async([this, path, reply = std::move(reply)] {
        AppLog::info("checkRawDiskAccess " + path, category);
        try {
            DeviceAccess::probeRawAccess(path, m_peer);
            AppLog::info("checkRawDiskAccess OK", category);
            reply(true, std::nullopt);
        } catch (const std::exception& failure) {
            const auto error = HelperError::toErrorObject(failure, path);
            AppLog::error("checkRawDiskAccess failed: " + error.domain + " " + std::to_string(error.code) + " " + error.message,
                          category);
            reply(false, error);
        }
    });
}

void HelperScanService::startScanWithPath(const std::string& path, std::int64_t minimumByteSize,
                                          std::int64_t minimumImageWidth, std::int64_t minimumImageHeight,
                                          const std::vector<std::string>& allowedKinds, const std::string& scanMode,
                                          ErrorReply reply) {
    auto filters = filtersFor(minimumByteSize, minimumImageWidth, minimumImageHeight, allowedKinds);
    const auto mode = modeFor(scanMode);
    m_queue.async([this, path, filters = std::move(filters), mode, reply = std::move(reply)] {
        if (!beginScan()) return;  // nobody is left to answer
        scanStarting();
        runScan(path, filters, mode, reply);
    });
}

bool HelperScanService::beginScan() {
    // One step: a close that lands between a separate check and the clearing would be undone.
    std::lock_guard lock(m_lock);
    if (m_closed) return false;
    m_cancelFlag = false;
    return true;
}

void HelperScanService::runScan(const std::string& path, const RecoveryFilters& filters, ScanMode mode,
                                const ErrorReply& reply) {
    sendLog("Opening " + path);
    AppLog::info("startScan path=" + path, category);
    try {
        const auto lease = leaseAndHold(path);
        auto opened =
            DeviceAccess::openRawDevice(path, [this](const std::string& line) { sendLog(line); }, true, true, m_peer);
        auto& source = *opened.source;
        const auto length = source.length();
        sendLog("Read OK — scanning");
        sendProgress(0, length, 0, 0);
        sendLog("Device size " + StorageSizeFormatter::format(length) + " — scanning");
        AppLog::info("Device size " + std::to_string(length) + " bytes", category);

        int lastLogged = -1;
        std::int64_t unreadableSectors = 0;
        const auto volumes = volumeCacheFor(path, true);
        m_scan(
            source, mode, filters, [this] { return shouldCancel(); },
            [this, &lastLogged, &unreadableSectors](const ScanProgress& progress) {
                unreadableSectors = progress.readErrors;
                sendProgress(progress.bytesScanned, progress.totalBytes, progress.hitsFound, progress.readErrors);
                if (const auto percentage = percentageToLog(progress, lastLogged))
                    AppLog::debug("progress " + std::to_string(*percentage) + "% hits=" + std::to_string(progress.hitsFound) +
                                      " errors=" + std::to_string(progress.readErrors),
                                  category);
            },
            // No line per hit: the progress lines above tell how the scan goes.
            [this](const RecoveredHit& hit) { sendHit(hit); },
            *volumes);
        // A cancelled scan stopped part way: its answer says so rather than passing for a whole one.
        bool cancelled = false;
        {
            std::lock_guard lock(m_lock);
            cancelled = m_cancelFlag;
        }
        if (cancelled) {
            sendLog("Scan cancelled");
            AppLog::info("Scan cancelled", category);
            return reply(ErrorObject{std::string(VantrelError::domain), VantrelError::scanCancelled, "Scan cancelled", std::nullopt});
        }
        // A scan that could not read every sector is complete only as far as they let it be.
        const std::string end = "Scan complete" + lossText(unreadableSectors);
        sendLog(end);
        AppLog::info(end, category);
        reply(std::nullopt);
    } catch (const std::exception& failure) {
        const auto error = HelperError::toErrorObject(failure, path);
        sendLog("Scan error: " + error.message);
        AppLog::error("Scan error: " + error.domain + " " + std::to_string(error.code) + " " + error.message, category);
        reply(error);
    }
}

std::string HelperScanService::lossText(std::int64_t unreadableSectors) {
    if (unreadableSectors <= 0) return {};
    if (unreadableSectors == 1) return " — 1 sector could not be read; files in the folders it held may be missing.";
    return " — " + std::to_string(unreadableSectors) +
           " sectors could not be read; files in the folders they held may be missing.";
}

void HelperScanService::cancelScan() {
    std::lock_guard lock(m_lock);
    m_cancelFlag = true;
}

void HelperScanService::extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                                           const std::string& destinationPath, UniqueFd destination,
                                           const std::string& hitSource, std::int64_t firstCluster,
                                           std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength, ErrorReply reply) {
    AppLog::info("extractHit queued off=" + std::to_string(offset) + " len=" + std::to_string(length) + " src=" + hitSource +
                     " → " + destinationPath,
                 category);
    // A running scan pauses from the moment an extraction is asked for until the last one asked for is
    // done or dropped: one queued behind another does not let the scan take the device in between.
    {
        std::lock_guard lock(m_lock);
        ++m_extractInFlight;
    }
    const std::shared_ptr<void> inFlight(nullptr, [this](void*) {
        std::lock_guard lock(m_lock);
        m_extractInFlight = std::max(0, m_extractInFlight - 1);
    });
    sendLog("Extracting " + std::to_string(length) + " bytes @" + std::to_string(offset) + "…");
    HitExtraction::HitDescription description{offset, length, hitSource, firstCluster, partitionOffset, fileSystem, secondOffset,
                                              secondLength};
    // The descriptor is shared so the task stays copyable; it is closed when the task is done or dropped.
    auto fd = std::make_shared<UniqueFd>(std::move(destination));
    m_ioQueue.async([this, path, destinationPath, fd, inFlight, description = std::move(description), reply = std::move(reply)] {
        runExtraction(path, destinationPath, fd->get(), description, reply);
    });
}

void HelperScanService::runExtraction(const std::string& path, const std::string& destinationPath, int destination,
                                      const HitExtraction::HitDescription& description, const ErrorReply& reply) {
    std::optional<ErrorObject> failure;
    std::uint64_t written = 0;
    try {
        // Every check runs before the destination is touched.
        const auto hit = HitExtraction::hitFor(description);
        // One look-up of the path serves the lease and the opening, and the extractions of a batch
        // that follow it; a refused path is left to the opening, which answers with the mapped error.
        // The peer's right to the disk is decided once for a look-up too; a refusal is left to the opening.
        const auto now = std::chrono::steady_clock::now();
        bool readable = false;
        auto checked = m_lookups.recall(path, now, &readable);
        if (!checked) {
            try {
                checked = DeviceAccess::checkDevicePath(path, m_peer);
                m_lookups.remember(path, *checked, now);
            } catch (const HelperError&) {
            }
        }
        if (checked && !readable) {
            try {
                DeviceAccess::checkPeerMayRead(*checked, m_peer);
                m_lookups.readableRemembered(path, *checked);
                readable = true;
            } catch (const HelperError&) {
            }
        }
        const auto lease = checked ? leaseAndHold(*checked) : DeviceAccess::DiskLease{};
        auto opened =
            DeviceAccess::openRawDevice(path, {}, false, false, m_peer, checked ? &*checked : nullptr, readable);
        const auto claim = DestinationCheck::claim(destination, destinationPath, opened.device, m_peer, &m_placements);
        // The extraction stops with its connection, as scans and copies do.
        written = HitExtraction::writeHit(*opened.source, hit, destination, destinationPath, [this] { return isClosed(); },
                                          volumeCacheFor(path, false).get());
    } catch (const std::exception& error) {
        failure = HelperError::toErrorObject(error, path);
    }
    if (failure) {
        // Whatever failed, the next extraction looks the path up again.
        m_lookups.forget();
        AppLog::error("extractHit failed: " + failure->domain + " " + std::to_string(failure->code) + " " + failure->message,
                      category);
        sendLog("Extract failed: " + failure->message);
    } else {
        AppLog::info("extractHit OK " + std::to_string(written) + " bytes", category);
        sendLog("Extracted " + std::to_string(written) + " bytes");
    }
    reply(failure);
}

void HelperScanService::copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath,
                                                 UniqueFd destination, ErrorReply reply) {
    auto fd = std::make_shared<UniqueFd>(std::move(destination));
    m_ioQueue.async([this, sourcePath, destinationPath, fd, reply = std::move(reply)] {
        runCopy(sourcePath, destinationPath, fd->get(), reply);
    });
}

void HelperScanService::runCopy(const std::string& path, const std::string& destinationPath, int destination,
                                const ErrorReply& reply) {
    AppLog::info("copyDevice " + path + " → " + destinationPath, category);
    sendLog("Copying " + path + "…");
    try {
        // The destination is checked before the disk is unmounted or the destination touched.
        const auto checked = DeviceAccess::checkForPeer(path, m_peer);
        const auto claim = DestinationCheck::claim(destination, destinationPath, checked, m_peer);
        const auto lease = leaseAndHold(path);
        auto opened =
            DeviceAccess::openRawDevice(path, [this](const std::string& line) { sendLog(line); }, true, true, m_peer);
        if (!DeviceAccess::sameDevice(checked, opened.device)) {
            auto error = ErrorObject::posix(EXDEV, path);
            error.message = "The source changed while it was being checked: " + path;
            throw HelperError(std::move(error));
        }
        HitExtraction::CopyCallbacks callbacks;
        callbacks.isCancelled = [this] {
            std::lock_guard lock(m_lock);
            return m_cancelFlag;
        };
        callbacks.onProgress = [this](std::uint64_t copied, std::uint64_t total, std::int64_t unreadable, int percentage) {
            sendProgress(copied, total, 0, unreadable);
            sendLog("Copy " + std::to_string(percentage) + "%");
        };
        callbacks.onUnreadableChunk = [](const std::string& line) { AppLog::error(line, category); };
        const auto outcome = HitExtraction::copyDevice(*opened.source, destination, destinationPath, callbacks);
        AppLog::info("copyDevice done " + std::to_string(outcome.copied) + " bytes, unreadable chunks " +
                         std::to_string(outcome.unreadableChunks),
                     category);
        sendLog(outcome.unreadableChunks == 0
                    ? "Copy complete (" + std::to_string(outcome.copied) + " bytes)"
                    : "Copy complete (" + std::to_string(outcome.copied) + " bytes, " +
                          std::to_string(outcome.unreadableChunks) + " unreadable chunks written as zeros)");
        reply(std::nullopt);
    } catch (const std::exception& failure) {
        auto error = HelperError::toErrorObject(failure, path);
        if (VantrelError::isDiskAccessDenied(error)) error = DeviceAccess::mapOpenError(error, path, std::nullopt);
        AppLog::error("copyDevice failed: " + error.domain + " " + std::to_string(error.code) + " " + error.message, category);
        reply(error);
    }
}

void HelperScanService::remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply) {
    m_ioQueue.async([this, bsdNames, reply = std::move(reply)] {
        std::set<std::string> names;
        for (const auto& name : bsdNames) {
            if (!name.empty()) names.insert(name);
        }
        // Root puts back what any peer unmounted; another peer only what was unmounted for it.
        for (const auto& name : DeviceAccess::unmountedDisks(m_peer.uid)) names.insert(name);
        AppLog::info("remountDisks count=" + std::to_string(names.size()) + " " + nameList(names), category);
        if (names.empty()) return reply(std::nullopt);
        sendLog("Remounting " + std::to_string(names.size()) + " disk(s)…");
        std::vector<std::string> failed;
        std::vector<std::string> nothing;
        std::size_t mountedInAll = 0;
        // Whose records a disk still has after this peer's were put back.
        const auto othersRecords = DeviceAccess::unmountedDisks();
        for (const auto& name : names) {
            std::string why;
            std::size_t mounted = 0;
            const bool whole = DeviceAccess::mountDisk(name, m_peer.uid, &why, &mounted);
            mountedInAll += mounted;
            if (!whole) failed.push_back(why.empty() ? name : name + " (" + why + ")");
            else if (mounted == 0) nothing.push_back(name);
        }
        if (!failed.empty()) {
            const auto message = "Could not remount: " + joined(failed, ", ");
            AppLog::error(message, category);
            sendLog(message);
            return reply(ErrorObject{std::string(VantrelError::domain), remountFailedCode, message, std::nullopt});
        }
        if (mountedInAll == 0) {
            const auto message = nothingToMount(nothing, othersRecords);
            AppLog::info(message, category);
            sendLog(message);
            return reply(ErrorObject{std::string(VantrelError::domain), VantrelError::nothingToRemount, message, std::nullopt});
        }
        sendLog("Remount complete.");
        reply(std::nullopt);
    });
}

void HelperScanService::quitForRelaunch(ErrorReply reply) {
    AppLog::info("quitForRelaunch requested — exiting so the service manager can start a fresh helper", category);
    // Decided before the answer, so that the answer says what happens; the exit waits for the answer.
    const auto declined = m_quitRequested ? m_quitRequested() : std::nullopt;
    if (!declined) return reply(std::nullopt);
    AppLog::info("quitForRelaunch declined: " + *declined, category);
    reply(ErrorObject{std::string(VantrelError::domain), VantrelError::quitRefused, *declined, std::nullopt});
}

} // namespace vantrel
