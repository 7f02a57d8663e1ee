// AppModel: recovery of the selected hits into a folder the user chose.
//
// Every destination is created here, exclusively and never through a link (so no file is ever
// replaced), under the hit's name made safe or the first free numbered variant of it, and handed to
// the helper as a descriptor; the helper writes the hit into it. A file whose copy or extraction
// failed or ran out of time is removed again, never left behind as if recovered. A file counts as
// recovered only after the helper's reply, this side's check of its length and the flush of its batch
// to the disk: the files the helper filled are flushed together (fdatasync of each, through a second
// descriptor kept here, off the main thread) every flushBatchFiles files or flushBatchBytes bytes and
// at the end, rather than each waiting for the disk before the next is asked for; a file whose flush
// fails is removed and reported as not recovered, and ends the run. A file shorter than its hit is
// reported, and its verdict is at most suspect. A folder this program may not write into is reported
// as such, not as blocked disk access.

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"
#include "Vantrel/model/AppModel.h"
#include "Vantrel/scan/RecoveryFiles.h"

#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view category = "recover";
constexpr std::int64_t recoveryTimedOutCode = 14;

QString tr(const char* text) { return QCoreApplication::translate("AppModel", text); }

ErrorObject recoveryTimedOut(double seconds) {
    return {std::string(VantrelError::domain), recoveryTimedOutCode,
            tr("Recovery timed out after %1s — the disk may be busy. Try again after the scan finishes.")
                .arg(static_cast<long long>(seconds))
                .toStdString(),
            std::nullopt};
}

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// Why a run stopped: an error of the destination folder, or of the cache copy or the helper.
struct RunFailure {
    ErrorObject error;
    bool destination = false;
};

// The files the helper filled are flushed together once this many wait, or this many bytes.
constexpr std::size_t flushBatchFiles = 128;
constexpr std::uint64_t flushBatchBytes = 256ull * 1024 * 1024;

// A file the helper filled that waits for the flush of its batch.
struct Unflushed {
    std::size_t index = 0;  // of the hit among the chosen
    std::filesystem::path path;
    UniqueFd fd;  // a second descriptor of the file, kept for the flush
};

int flushOne(int fd, const std::function<int(int)>& flush) {
    for (;;) {
        const int result = flush ? flush(fd) : ::fdatasync(fd);
        if (result == 0) return 0;
        if (errno != EINTR) return errno != 0 ? errno : EIO;
    }
}

// Flushes the files on a thread of their own and answers the error number of each (0: on the disk).
// The descriptors go with the thread, which closes them once flushed.
Task<std::vector<int>> flushedFiles(std::vector<UniqueFd> files, std::function<int(int)> flush) {
    auto owned = std::make_shared<std::vector<UniqueFd>>(std::move(files));
    auto start = [owned, flush](CallbackResumer<std::vector<int>> resume) {
        std::thread([owned, flush, resume] {
            std::vector<int> errors;
            for (auto& fd : *owned) {
                errors.push_back(flushOne(fd.get(), flush));
                fd.reset();
            }
            resume(std::move(errors));
        }).detach();
    };
    co_return co_await fromCallback<std::vector<int>>(start);
}

// Flushes the batch: each file whose flush succeeded counts as saved; one whose flush failed is removed,
// taken off the lists of names, and the first such failure is answered.
Task<std::optional<RunFailure>> flushBatch(std::vector<Unflushed>& batch, const std::function<int(int)>& flush, int& saved,
                                           std::optional<std::size_t>& failedIndex, std::vector<std::string>& shortFiles,
                                           std::vector<std::string>& uncheckedFiles) {
    std::vector<UniqueFd> files;
    for (auto& file : batch) files.push_back(std::move(file.fd));
    std::vector<int> errors;
    try {
        errors = co_await flushedFiles(std::move(files), flush);
    } catch (const std::exception&) {
        errors.assign(batch.size(), EAGAIN);  // no thread to flush on: nothing is known to be on the disk
    }
    std::optional<RunFailure> failure;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto& file = batch[i];
        const int error = i < errors.size() ? errors[i] : EIO;
        if (error == 0) {
            ++saved;
            continue;
        }
        AppLog::error("recover flush failed " + file.path.string() + ": errno " + std::to_string(error), category);
        removeQuietly(file.path);
        const auto name = file.path.filename().string();
        std::erase(shortFiles, name);
        std::erase(uncheckedFiles, name);
        if (failure) continue;
        auto object = ErrorObject::posix(error, file.path.string());
        object.message = tr("%1 could not be written to the disk: %2")
                             .arg(QString::fromStdString(file.path.string()), QString::fromLocal8Bit(std::strerror(error)))
                             .toStdString();
        failure = RunFailure{std::move(object), false};
        failedIndex = file.index;
    }
    batch.clear();
    co_return failure;
}

} // namespace

std::filesystem::path AppModel::uniqueURL(const std::filesystem::path& folder, std::string_view name) {
    return RecoveryFiles::uniqueURL(folder, name);
}

void AppModel::recoverSelected(std::string folder) {
    // Only the disk the hits were found on, and only while it is attached: the offsets count from its start.
    const auto device = sourceDeviceToRead();
    if (!device) {
        setErrorMessage(m_selectedVolume ? sourceNotAttachedMessage() : tr("No volume selected."));
        return;
    }
    std::vector<RecoveredHit> chosen;
    for (const auto& hit : m_hits)
        if (m_selectedHitIDs.contains(hit.id)) chosen.push_back(hit);
    if (chosen.empty()) return;
    if (m_isRecovering) {
        setStatusMessage(tr("Recovery already in progress…"));
        return;
    }
    // Before the first file: a folder on the disk being read would overwrite the very files sought.
    if (const auto refusal = destinationRefusal(folder)) {
        AppLog::error("recoverSelected refused " + folder + ": " + refusal->toStdString(), category);
        setErrorMessage(*refusal);
        setStatusMessage(tr("Nothing was recovered."));
        return;
    }
    setIsRecovering(true);
    const auto count = static_cast<long long>(chosen.size());
    setStatusMessage(m_isScanning ? tr("Recovering %1 file(s) while scan pauses briefly…").arg(count)
                                  : tr("Recovering %1 file(s)…").arg(count));
    AppLog::info("recoverSelected count=" + std::to_string(count) + " scanning=" + (m_isScanning ? "true" : "false") +
                     " → " + folder,
                 category);
    tasks().spawn(recoverHits(std::move(chosen), std::move(folder), std::move(*device)));
}

Task<void> AppModel::recoverHits(std::vector<RecoveredHit> chosen, std::string folder, std::string devicePath) {
    const int count = static_cast<int>(chosen.size());
    int saved = 0;
    std::vector<std::string> shortFiles;
    std::vector<std::string> uncheckedFiles;  // written, but not there to be read back and judged
    std::optional<RunFailure> failure;
    std::optional<std::size_t> failedIndex;
    std::vector<Unflushed> unflushed;
    std::uint64_t unflushedBytes = 0;
    const auto flush = m_effects.flushFile;
    for (int i = 0; i < count && !failure; ++i) {
        if (unflushed.size() >= flushBatchFiles || unflushedBytes >= flushBatchBytes) {
            unflushedBytes = 0;
            failure = co_await flushBatch(unflushed, flush, saved, failedIndex, shortFiles, uncheckedFiles);
            if (failure) break;
        }
        const RecoveredHit item = chosen[static_cast<std::size_t>(i)];
        setStatusMessage(tr("Recovering %1/%2: ").arg(i + 1).arg(count) + QString::fromStdString(item.suggestedName) + "…");
        AppLog::info("recover " + std::to_string(i + 1) + "/" + std::to_string(count) + " " + item.suggestedName +
                         " len=" + std::to_string(item.byteLength),
                     category);

        // The name comes from a disk: it becomes a file name in the folder only once made safe.
        const std::string name = RecoveryFiles::safeFileName(
            item.suggestedName, "recovered." + std::string(FileKind::preferredExtension(item.kind)));
        RecoveryFiles::CreatedFile created;
        try {
            created = RecoveryFiles::createUnique(folder, name);
        } catch (const std::exception& error) {
            failure = RunFailure{CallError::objectOf(error), true};
            failedIndex = static_cast<std::size_t>(i);
            break;
        }
        const auto destination = created.path;

        const auto cached = m_probeCache->cachedFile(item.id);
        const auto cachedSize = m_probeCache->fileSize(item.id);
        std::optional<ErrorObject> written;
        UniqueFd kept;  // for the flush of a file the helper fills
        // The helper checks the files it fills; the ones written here are checked here, and each
        // read of the disk waits for it to be the scanned one still.
        const bool fromCache = cached && cachedSize && *cachedSize >= item.byteLength;
        const auto refusal = fromCache ? destinationFileRefusal(created.fd.get(), destination)
                                       : (sourceDeviceToRead() == devicePath ? std::nullopt
                                                                              : std::optional(sourceNotAttachedMessage()));
        if (refusal) {
            auto error = ErrorObject::posix(fromCache ? EXDEV : ENODEV, destination.string());
            error.message = refusal->toStdString();
            written = error;
            created.fd.reset();
        } else if (fromCache) {
            try {
                RecoveryFiles::copyPrefix(*cached, created.fd.get(), item.byteLength, destination);
                AppLog::info("recover from probe cache " + item.suggestedName, category);
            } catch (const std::exception& error) {
                written = CallError::objectOf(error);
            }
            created.fd.reset();
        } else if (kept = UniqueFd(::fcntl(created.fd.get(), F_DUPFD_CLOEXEC, 0)); !kept) {
            written = ErrorObject::posix(errno, destination.string());
            created.fd.reset();
        } else {
            const double limit = recoveryTimeLimitSeconds;
            std::function<std::exception_ptr()> onTimeout = [limit] {
                return std::make_exception_ptr(CallError(recoveryTimedOut(limit)));
            };
            try {
                co_await withTimeout(helperClient().extractHit(devicePath, item, item.byteLength, destination.string(),
                                                               std::move(created.fd)),
                                     secondsSpan(limit), onTimeout);
            } catch (const std::exception& error) {
                written = CallError::objectOf(error);
            }
        }
        // The file must hold something of the hit; an empty one is no recovery.
        const auto size = written ? std::nullopt : RecoveryFiles::regularFileSize(destination);
        if (!written && (!size || (*size == 0 && item.byteLength > 0))) {
            auto error = ErrorObject::posix(EIO, destination.string());
            error.message = tr("The helper wrote no bytes into %1.").arg(QString::fromStdString(destination.string())).toStdString();
            written = error;
        }
        if (written) {
            removeQuietly(destination);
            failure = RunFailure{*written, false};
            failedIndex = static_cast<std::size_t>(i);
            break;
        }
        if (kept) {
            unflushed.push_back({static_cast<std::size_t>(i), destination, std::move(kept)});
            unflushedBytes += *size;
        } else {
            ++saved;  // copied from the cache and flushed there
        }
        const bool shorter = *size < item.byteLength;
        if (shorter) {
            shortFiles.push_back(destination.filename().string());
            AppLog::error("recover short " + item.suggestedName + ": " + std::to_string(*size) + " of " +
                              std::to_string(item.byteLength) + " bytes",
                          category);
        }

        // The written file is judged when the hit has no verdict yet; a short file is never ok.
        const auto* current = hit(item.id);
        if (!current) continue;
        const auto integrity = current->integrity;
        if ((integrity == HitIntegrity::pending || integrity == HitIntegrity::skipped) && m_integrityChecker &&
            IntegrityKinds::isCheckable(item.kind)) {
            auto verdict = co_await checkFile(item.kind, destination.string(), false);
            if (verdict.unreadable || verdict.integrity == HitIntegrity::pending) {
                // Nothing was judged: the hit keeps what it had, and the status says why.
                if (verdict.unreadable) uncheckedFiles.push_back(destination.filename().string());
                continue;
            }
            if (shorter && verdict.integrity == HitIntegrity::ok) verdict.integrity = HitIntegrity::suspect;
            applyIntegrityResult(item.id, verdict.integrity, std::nullopt);
        } else if (shorter && integrity == HitIntegrity::ok) {
            applyIntegrityResult(item.id, HitIntegrity::suspect, std::nullopt);
        }
    }

    // What was written before a failure is kept, once it is on the disk too.
    if (!unflushed.empty()) {
        std::optional<std::size_t> flushFailedIndex;
        auto flushFailure = co_await flushBatch(unflushed, flush, saved, flushFailedIndex, shortFiles, uncheckedFiles);
        if (!failure && flushFailure) {
            failure = std::move(flushFailure);
            failedIndex = flushFailedIndex;
        }
    }
    if (failure) {
        const auto& error = failure->error;
        AppLog::error("recover failed " + chosen[failedIndex.value_or(0)].suggestedName + ": " + error.message, category);
        if (failure->destination) {
            setErrorMessage(tr("Could not create a file in the folder %1: %2")
                                .arg(QString::fromStdString(folder), QString::fromStdString(error.message)));
        } else {
            if (VantrelError::isDiskAccessDenied(error) || isPermissionError(error)) {
                setFullDiskAccessState(RawDiskAccessState::denied);
                setShowHelperSheet(true);
            }
            setErrorMessage(userFacingErrorMessage(error));
        }
    }
    finishRecovery(saved, count, std::move(shortFiles), std::move(uncheckedFiles));
}

void AppModel::finishRecovery(int saved, int count, std::vector<std::string> shortFiles,
                              std::vector<std::string> uncheckedFiles) {
    QString text = tr("Recovered %1 file(s).").arg(saved);
    if (!shortFiles.empty()) {
        QStringList names;
        for (const auto& name : shortFiles) names << QString::fromStdString(name);
        text += " " + tr("%1 of them shorter than found on the disk: %2.").arg(shortFiles.size()).arg(names.join(", "));
    }
    if (!uncheckedFiles.empty()) {
        QStringList names;
        for (const auto& name : uncheckedFiles) names << QString::fromStdString(name);
        text += " " + tr("%1 of them not checked, as they could not be read back: %2.")
                          .arg(uncheckedFiles.size())
                          .arg(names.join(", "));
    }
    setStatusMessage(text);
    AppLog::info("recoverSelected done saved=" + std::to_string(saved) + "/" + std::to_string(count), category);
    setIsRecovering(false);
    enqueueIntegrityChecks();
}

} // namespace vantrel
