#include "Vantrel/helper/HelperXPCClient.h"

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/helper/CallError.h"

#include "recovery/model/DetectedFileSystem.h"
#include "recovery/model/RecoveredFileKind.h"
#include "support/VantrelError.h"
#include "support/log/AppLog.h"

#include <QCoreApplication>

#include <cerrno>
#include <charconv>
#include <limits>
#include <mutex>

namespace vantrel {

namespace {

constexpr std::string_view category = "xpc";
constexpr std::chrono::nanoseconds quitSettleTime{300'000'000};
// A helper started through pkexec answers once its user has typed the password: a ping that runs out
// of time meanwhile waits this much longer for it.
constexpr double helperStartAllowanceSeconds = 120.0;

std::string translated(const char* text) {
    return QCoreApplication::translate("HelperXPCClient", text).toStdString();
}

ErrorObject helperSilentError() {
    return {std::string(VantrelError::domain), VantrelError::helperUnreachable,
            translated("Helper did not respond. Remove and reinstall it, approve system services, then try again."),
            std::nullopt};
}

ErrorObject accessCheckSilentError() {
    return {std::string(VantrelError::domain), VantrelError::helperUnreachable,
            translated("Helper did not respond to the disk-access check. Remove and reinstall the helper, then try Recheck."),
            std::nullopt};
}

// The helper answered its ping just before a probe, so a probe that takes this long is held up by the
// disk (a failing card, a reader that does not answer), which no reinstall of the helper helps.
ErrorObject probeSilentError(const std::string& path, double timeoutSeconds) {
    return {std::string(ErrorObject::posixDomain), ETIMEDOUT,
            QCoreApplication::translate("HelperXPCClient",
                                        "The disk did not answer within %1 seconds. Unplug it, plug it in again, "
                                        "then try again; a card that keeps failing may be damaged.")
                .arg(static_cast<int>(timeoutSeconds))
                .toStdString(),
            path};
}

std::exception_ptr thrown(ErrorObject error) { return std::make_exception_ptr(CallError(std::move(error))); }

std::int64_t clampedToInt64(std::uint64_t value) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(value > largest ? largest : value);
}

} // namespace

struct HelperXPCClient::State final : VantrelHelperClient {
    explicit State(std::shared_ptr<HelperClient> helper) : connection(std::move(helper)) {}

    std::shared_ptr<HelperClient> connection;
    std::mutex mutex;  // guards the handlers, which the delivery thread reads
    HitHandler onHit;
    HitsHandler onHits;
    ProgressHandler onProgress;
    LogHandler onLog;

    template <typename Handler>
    Handler current(const Handler& handler) {
        std::lock_guard lock(mutex);
        return handler;
    }

    void helperDidFindHit(const HelperHitDTO& record) override { helperDidFindHits(std::span(&record, 1)); }
    // The hits of a packet are built at once and handed on in one call when a handler of many is set.
    void helperDidFindHits(std::span<const HelperHitDTO> records) override {
        std::vector<RecoveredHit> hits;
        hits.reserve(records.size());
        for (const auto& record : records) hits.push_back(hitFromTransferRecord(record));
        HitsHandler many;
        HitHandler one;
        {
            std::lock_guard lock(mutex);
            if (onHits) many = onHits;
            else one = onHit;
        }
        if (many) return many(std::move(hits));
        if (one)
            for (auto& hit : hits) one(std::move(hit));
    }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t scanned, std::int64_t total, std::int64_t hits,
                                                 std::int64_t errors) override {
        ScanProgress progress{static_cast<std::uint64_t>(scanned), static_cast<std::uint64_t>(total), hits, errors};
        if (auto handler = current(onProgress)) handler(progress);
    }
    void helperDidLog(const std::string& line) override {
        if (auto handler = current(onLog)) handler(line);
    }
};

namespace {

using State = HelperXPCClient::State;

Task<std::string> pingCall(std::shared_ptr<State> state) {
    auto start = [state](CallbackResumer<std::string> resume) {
        state->connection->ping(
            [resume](std::string text) {
                AppLog::info("XPC ping OK (" + text + ")", category);
                resume(std::move(text));
            },
            [resume](ErrorObject error) {
                AppLog::error("XPC ping proxy error: " + error.message, category);
                resume.fail(CallError(std::move(error)));
            });
    };
    auto text = co_await fromCallback<std::string>(start);
    co_return text;
}

std::function<std::exception_ptr()> pingTimeout(double seconds, std::shared_ptr<bool> ranOut) {
    return [seconds, ranOut = std::move(ranOut)] {
        *ranOut = true;
        AppLog::error("XPC ping timeout after " + secondsText(seconds) + "s", category);
        return thrown(helperSilentError());
    };
}

Task<void> pingTask(std::shared_ptr<State> state, double timeoutSeconds) {
    AppLog::info("XPC ping…", category);
    auto ranOut = std::make_shared<bool>(false);
    std::exception_ptr failure;
    try {
        co_await withTimeout(pingCall(state), secondsSpan(timeoutSeconds), pingTimeout(timeoutSeconds, ranOut));
        co_return;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // The connection stays; the second ping waits in it behind the first and is answered as soon as
    // the helper runs, or fails at once when pkexec ends without starting it.
    if (!*ranOut || !state->connection->helperStarting()) std::rethrow_exception(failure);
    AppLog::info("XPC ping: the helper started through pkexec is not running yet (its password is asked); waiting up to " +
                     secondsText(helperStartAllowanceSeconds) + "s",
                 category);
    co_await withTimeout(pingCall(state), secondsSpan(helperStartAllowanceSeconds),
                         pingTimeout(helperStartAllowanceSeconds, std::make_shared<bool>(false)));
}

void dropConnection(const std::shared_ptr<State>& state) { state->connection->invalidate(); }

Task<void> ensureReachableTask(std::shared_ptr<State> state, int attempts, double timeoutSeconds,
                               std::uint64_t retryDelayNanoseconds) {
    const int count = attempts < 1 ? 1 : attempts;
    std::exception_ptr remembered;
    for (int attempt = 1;; ++attempt) {
        dropConnection(state);
        AppLog::info("ensureReachable attempt " + std::to_string(attempt) + "/" + std::to_string(attempts), category);
        bool reached = false;
        try {
            co_await pingTask(state, timeoutSeconds);
            reached = true;
        } catch (const std::exception& error) {
            remembered = std::current_exception();
            AppLog::error("ensureReachable attempt " + std::to_string(attempt) + " failed: " + error.what(), category);
        }
        if (reached) co_return;
        if (attempt >= count) std::rethrow_exception(remembered);
        co_await sleepFor(std::chrono::nanoseconds(retryDelayNanoseconds));
    }
}

Task<bool> accessCall(std::shared_ptr<State> state, std::string path) {
    auto start = [state, path](CallbackResumer<bool> resume) {
        state->connection->checkRawDiskAccessWithPath(
            path,
            [resume](bool granted, std::optional<ErrorObject> error) {
                if (error && !granted) {
                    AppLog::error("XPC checkRawDiskAccess reply error: " + error->message, category);
                    resume.fail(CallError(std::move(*error)));
                    return;
                }
                AppLog::info(std::string("XPC checkRawDiskAccess ok=") + (granted ? "true" : "false"), category);
                resume(granted);
            },
            [resume](ErrorObject error) {
                AppLog::error("XPC checkRawDiskAccess proxy error: " + error.message, category);
                resume.fail(CallError(std::move(error)));
            });
    };
    auto granted = co_await fromCallback<bool>(start);
    co_return granted;
}

Task<bool> accessTask(std::shared_ptr<State> state, std::string path, double timeoutSeconds) {
    AppLog::info("XPC checkRawDiskAccess path=" + path, category);
    std::function<std::exception_ptr()> onTimeout = [timeoutSeconds] {
        AppLog::error("XPC checkRawDiskAccess timeout after " + secondsText(timeoutSeconds) + "s", category);
        return thrown(accessCheckSilentError());
    };
    auto granted = co_await withTimeout(accessCall(state, path), secondsSpan(timeoutSeconds), onTimeout);
    co_return granted;
}

Task<std::uint64_t> probeCall(std::shared_ptr<State> state, std::string path) {
    auto start = [state, path](CallbackResumer<std::uint64_t> resume) {
        state->connection->probeDeviceWithPath(
            path,
            [resume](std::int64_t length, std::optional<ErrorObject> error) {
                if (error) resume.fail(CallError(std::move(*error)));
                else resume(static_cast<std::uint64_t>(length));
            },
            [resume](ErrorObject error) { resume.fail(CallError(std::move(error))); });
    };
    auto size = co_await fromCallback<std::uint64_t>(start);
    co_return size;
}

Task<MediumIdentity> identifyCall(std::shared_ptr<State> state, std::string path) {
    auto start = [state, path](CallbackResumer<MediumIdentity> resume) {
        state->connection->identifyDeviceWithPath(
            path,
            [resume, path](std::string text, std::optional<ErrorObject> error) {
                if (error) {
                    resume.fail(CallError(std::move(*error)));
                    return;
                }
                try {
                    resume(MediumIdentity::fromJson(nlohmann::json::parse(text)));
                } catch (const std::exception&) {
                    resume.fail(CallError(ErrorObject{std::string(VantrelError::domain), 0,
                                                      "The helper's answer about " + path + " is not a disk identity.", path}));
                }
            },
            [resume](ErrorObject error) { resume.fail(CallError(std::move(error))); });
    };
    auto identity = co_await fromCallback<MediumIdentity>(start);
    co_return identity;
}

Task<MediumIdentity> identifyTask(std::shared_ptr<State> state, std::string path, double timeoutSeconds) {
    std::function<std::exception_ptr()> onTimeout = [] { return thrown(helperSilentError()); };
    auto identity = co_await withTimeout(identifyCall(state, path), secondsSpan(timeoutSeconds), onTimeout);
    co_return identity;
}

Task<std::uint64_t> probeTask(std::shared_ptr<State> state, std::string path, double timeoutSeconds) {
    std::function<std::exception_ptr()> onTimeout = [path, timeoutSeconds] {
        AppLog::error("XPC probeDevice timeout after " + secondsText(timeoutSeconds) + "s", category);
        return thrown(probeSilentError(path, timeoutSeconds));
    };
    auto size = co_await withTimeout(probeCall(state, path), secondsSpan(timeoutSeconds), onTimeout);
    co_return size;
}

struct Extraction {
    std::string path;
    std::int64_t offset;
    std::uint64_t length;
    std::string destinationPath;
    std::shared_ptr<UniqueFd> destination;  // shared so the starter stays copyable
    std::string hitSource;
    std::uint32_t firstCluster;
    std::int64_t partitionOffset;
    std::string fileSystem;
    std::uint64_t secondOffset;
    std::uint64_t secondLength;
};

// Sends the request; the reply and a failure of the connection both end in answered.
void sendExtraction(HelperClient& connection, const Extraction& job, HelperXPCClient::ExtractionAnswer answered) {
    connection.extractHitWithPath(job.path, job.offset, clampedToInt64(job.length), job.destinationPath,
                                  std::move(*job.destination), job.hitSource, static_cast<std::int64_t>(job.firstCluster),
                                  job.partitionOffset, job.fileSystem, clampedToInt64(job.secondOffset),
                                  clampedToInt64(job.secondLength), answered,
                                  [answered](ErrorObject error) { answered(std::move(error)); });
}

Task<void> extractCall(std::shared_ptr<State> state, Extraction job) {
    auto start = [state, job](CallbackResumer<void> resume) {
        sendExtraction(*state->connection, job, [resume](std::optional<ErrorObject> error) {
            if (error) resume.fail(CallError(std::move(*error)));
            else resume();
        });
    };
    co_await fromCallback<void>(start);
}

Task<void> extractTask(std::shared_ptr<State> state, Extraction job, std::optional<double> timeoutSeconds) {
    if (!timeoutSeconds) {
        co_await extractCall(state, job);
        co_return;
    }
    std::function<std::exception_ptr()> onTimeout = [] { return thrown(helperSilentError()); };
    co_await withTimeout(extractCall(state, job), secondsSpan(*timeoutSeconds), onTimeout);
}

Task<void> quitCall(std::shared_ptr<State> state) {
    // A reply and an error end the request alike; only a quit the helper declined is logged, with its reason.
    auto start = [state](CallbackResumer<void> resume) {
        state->connection->quitForRelaunch([resume] { resume(); }, [resume](ErrorObject error) {
            if (error.domain == VantrelError::domain && error.code == VantrelError::quitRefused)
                AppLog::info("XPC quitForRelaunch declined: " + error.message, category);
            resume();
        });
    };
    co_await fromCallback<void>(start);
}

Task<void> quitTask(std::shared_ptr<State> state, double timeoutSeconds) {
    AppLog::info("XPC quitForRelaunch…", category);
    std::weak_ptr<State> weak = state;
    std::function<std::exception_ptr()> onTimeout = [weak] {
        AppLog::error("XPC quitForRelaunch timeout — invalidating", category);
        if (auto alive = weak.lock()) dropConnection(alive);
        return std::make_exception_ptr(TaskTimedOut());
    };
    try {
        co_await withTimeout(quitCall(state), secondsSpan(timeoutSeconds), onTimeout);
    } catch (const std::exception&) {
        // The request never fails: a time-out only means the helper may still be running.
    }
    dropConnection(state);
    co_await sleepFor(quitSettleTime);
}

} // namespace

HelperXPCClient::HelperXPCClient(std::shared_ptr<HelperClient> connection)
    : m_state(std::make_shared<State>(std::move(connection))) {
    m_state->connection->setCallbackReceiver(m_state);
}

HelperXPCClient::~HelperXPCClient() { m_state->connection->setCallbackReceiver(nullptr); }

void HelperXPCClient::setOnHit(HitHandler handler) {
    std::lock_guard lock(m_state->mutex);
    m_state->onHit = std::move(handler);
}

void HelperXPCClient::setOnHits(HitsHandler handler) {
    std::lock_guard lock(m_state->mutex);
    m_state->onHits = std::move(handler);
}

void HelperXPCClient::setOnProgress(ProgressHandler handler) {
    std::lock_guard lock(m_state->mutex);
    m_state->onProgress = std::move(handler);
}

void HelperXPCClient::setOnLog(LogHandler handler) {
    std::lock_guard lock(m_state->mutex);
    m_state->onLog = std::move(handler);
}

Task<void> HelperXPCClient::ping(double timeoutSeconds) { return pingTask(m_state, timeoutSeconds); }

Task<void> HelperXPCClient::ensureReachable(int attempts, double timeoutSeconds, std::uint64_t retryDelayNanoseconds) {
    return ensureReachableTask(m_state, attempts, timeoutSeconds, retryDelayNanoseconds);
}

Task<bool> HelperXPCClient::checkRawDiskAccess(std::string path, double timeoutSeconds) {
    return accessTask(m_state, std::move(path), timeoutSeconds);
}

Task<std::uint64_t> HelperXPCClient::probeDevice(std::string path, double timeoutSeconds) {
    return probeTask(m_state, std::move(path), timeoutSeconds);
}

Task<MediumIdentity> HelperXPCClient::identifyDevice(std::string path, double timeoutSeconds) {
    return identifyTask(m_state, std::move(path), timeoutSeconds);
}

void HelperXPCClient::startScan(const std::string& path, const RecoveryFilters& filters, ScanMode mode, Completion completion) {
    std::vector<std::string> kinds;
    for (const auto kind : FileKind::allKinds())
        if (filters.allowedKinds.count(kind) != 0) kinds.emplace_back(FileKind::rawValue(kind));
    const std::string modeName(ScanModeName::rawValue(mode));
    AppLog::info("XPC startScan path=" + path + " mode=" + modeName + " kinds=" + std::to_string(kinds.size()), category);

    // The first of connection error and reply calls the completion; the other finds it gone.
    struct Once {
        std::mutex mutex;
        Completion completion;
        void call(std::optional<ErrorObject> error) {
            Completion taken;
            {
                std::lock_guard lock(mutex);
                taken = std::move(completion);
                completion = nullptr;
            }
            if (taken) taken(std::move(error));
        }
    };
    auto once = std::make_shared<Once>();
    once->completion = std::move(completion);
    m_state->connection->startScanWithPath(
        path, clampedToInt64(filters.minimumByteSize), filters.minimumImageWidth.value_or(0),
        filters.minimumImageHeight.value_or(0), kinds, modeName,
        [once](std::optional<ErrorObject> error) {
            if (error) AppLog::error("XPC startScan reply error: " + error->message, category);
            else AppLog::info("XPC startScan finished OK", category);
            once->call(std::move(error));
        },
        [once](ErrorObject error) {
            AppLog::error("XPC startScan proxy error: " + error.message, category);
            once->call(std::move(error));
        });
}

void HelperXPCClient::cancelScan() { m_state->connection->cancelScan(); }

namespace {

Extraction extractionOf(std::string path, const RecoveredHit& hit, std::uint64_t length, std::string destinationPath,
                        UniqueFd destination) {
    const auto hint = hit.clusterHint.value_or(ClusterAllocationHint{});
    Extraction job{std::move(path),
                   clampedToInt64(hit.byteOffset),
                   length,
                   std::move(destinationPath),
                   std::make_shared<UniqueFd>(std::move(destination)),
                   std::string(HitSourceName::rawValue(hit.source)),
                   hint.firstCluster,
                   clampedToInt64(hint.partitionOffset),
                   hit.clusterHint ? std::string(FileSystemName::rawValue(hint.fileSystem)) : std::string(),
                   0,
                   0};
    if (const auto piece = prefixOf(hit, length).secondPiece) {
        job.secondOffset = piece->offset;
        job.secondLength = piece->length;
    }
    return job;
}

} // namespace

Task<void> HelperXPCClient::extractHit(std::string path, const RecoveredHit& hit, std::uint64_t length,
                                       std::string destinationPath, UniqueFd destination, std::optional<double> timeoutSeconds) {
    return extractTask(m_state, extractionOf(std::move(path), hit, length, std::move(destinationPath), std::move(destination)),
                       timeoutSeconds);
}

void HelperXPCClient::startExtraction(std::string path, const RecoveredHit& hit, std::uint64_t length,
                                      std::string destinationPath, UniqueFd destination, ExtractionAnswer answered) {
    sendExtraction(*m_state->connection,
                   extractionOf(std::move(path), hit, length, std::move(destinationPath), std::move(destination)),
                   std::move(answered));
}

void HelperXPCClient::remountDisks(const std::vector<std::string>& bsdNames, Completion completion) {
    AppLog::info("XPC remountDisks " + nameListText(bsdNames), category);
    auto shared = std::make_shared<Completion>(std::move(completion));
    auto once = std::make_shared<std::once_flag>();
    auto finish = [shared, once](std::optional<ErrorObject> error) {
        std::call_once(*once, [&] {
            if (*shared) (*shared)(std::move(error));
        });
    };
    m_state->connection->remountDisksWithBsdNames(
        bsdNames,
        [finish](std::optional<ErrorObject> error) {
            // Nothing to mount is no failure: the disks were never the helper's to put back (it was
            // started again since, or another user's scan unmounted them), and the local mount follows.
            if (error && error->domain == VantrelError::domain && error->code == VantrelError::nothingToRemount)
                AppLog::info("XPC remountDisks: " + error->message, category);
            else if (error) AppLog::error("XPC remountDisks reply error: " + error->message, category);
            else AppLog::info("XPC remountDisks OK", category);
            finish(std::move(error));
        },
        [finish](ErrorObject error) {
            AppLog::error("XPC remountDisks proxy error: " + error.message, category);
            finish(std::move(error));
        });
}

Task<void> HelperXPCClient::quitForRelaunch(double timeoutSeconds) { return quitTask(m_state, timeoutSeconds); }

void HelperXPCClient::invalidate() { dropConnection(m_state); }

RecoveredHit hitFromTransferRecord(const HelperHitDTO& record) {
    RecoveredHit hit;  // a fresh identity
    hit.kind = FileKind::fromRawValue(record.kind).value_or(RecoveredFileKind::unknown);
    hit.byteOffset = record.byteOffset;
    hit.byteLength = record.byteLength;
    hit.suggestedName = record.suggestedName;
    hit.reconstructedPath = record.reconstructedPath;
    if (record.width >= 1 && record.height >= 1) hit.dimensions = ImageDimensions{record.width, record.height};
    hit.isFragmented = record.isFragmented;
    hit.source = HitSourceName::fromRawValue(record.source).value_or(HitSource::signatureCarve);
    hit.integrity = record.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
    if (record.firstCluster >= 2 && !record.fileSystem.empty()) {
        if (auto fileSystem = FileSystemName::fromRawValue(record.fileSystem))
            hit.clusterHint = ClusterAllocationHint{record.firstCluster, record.partitionOffset, *fileSystem};
    }
    hit.clusterReallocated = record.clusterReallocated;
    if (const HitPiece piece{record.secondOffset, record.secondLength}; record.secondLength > 0) {
        // A piece that cannot be this file's second is no reading of it: the file is offered as one piece,
        // flagged.
        if (isSecondPieceOf(piece, hit)) hit.secondPiece = piece;
        hit.isFragmented = true;
    }
    return hit;
}

std::string nameListText(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (index > 0) text += ", ";
        text += "\"" + names[index] + "\"";
    }
    return text + "]";
}

std::string secondsText(double seconds) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

} // namespace vantrel
