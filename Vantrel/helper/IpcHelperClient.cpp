#include "Vantrel/helper/IpcHelperClient.h"

#include "support/VantrelHelperClient.h"
#include "support/VantrelHelperProtocolProxy.h"
#include "support/XPCConstants.h"
#include "support/log/AppLog.h"

namespace vantrel {

namespace {
constexpr std::string_view category = "xpc";
} // namespace

struct IpcHelperClient::Shared {
    explicit Shared(HelperConnectorOptions options) : connector(std::move(options)) {}

    HelperConnector connector;
    std::mutex mutex;  // guards the fields below
    std::shared_ptr<IpcClient> connection;
    std::uint64_t generation = 0;  // counts connections made, so late notices of old ones are told apart
    std::shared_ptr<VantrelHelperClient> receiver;

    // The client's own connection notices reach the receiver as status lines, as the helper's do.
    void tell(const std::string& text) {
        std::shared_ptr<VantrelHelperClient> current;
        {
            std::lock_guard lock(mutex);
            current = receiver;
        }
        if (current) current->helperDidLog(text);
    }
};

namespace {

// Forwards the helper's callbacks to whatever receiver is installed at the time each arrives.
class ReceiverRelay final : public VantrelHelperClient {
public:
    explicit ReceiverRelay(std::weak_ptr<IpcHelperClient::Shared> shared) : m_shared(std::move(shared)) {}

    void helperDidFindHit(const HelperHitDTO& hit) override {
        if (auto receiver = current()) receiver->helperDidFindHit(hit);
    }
    void helperDidFindHits(std::span<const HelperHitDTO> hits) override {
        if (auto receiver = current()) receiver->helperDidFindHits(hits);
    }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t scanned, std::int64_t total, std::int64_t hits,
                                                 std::int64_t errors) override {
        if (auto receiver = current()) receiver->helperDidUpdateProgressWithBytesScanned(scanned, total, hits, errors);
    }
    void helperDidLog(const std::string& line) override {
        if (auto receiver = current()) receiver->helperDidLog(line);
    }

private:
    std::shared_ptr<VantrelHelperClient> current() {
        auto shared = m_shared.lock();
        if (!shared) return nullptr;
        std::lock_guard lock(shared->mutex);
        return shared->receiver;
    }
    std::weak_ptr<IpcHelperClient::Shared> m_shared;
};

} // namespace

IpcHelperClient::IpcHelperClient(HelperConnectorOptions options) : m_shared(std::make_shared<Shared>(std::move(options))) {}

IpcHelperClient::~IpcHelperClient() {
    std::shared_ptr<IpcClient> connection;
    {
        std::lock_guard lock(m_shared->mutex);
        connection = std::move(m_shared->connection);
    }
    if (connection) connection->invalidate();
}

void IpcHelperClient::setCallbackReceiver(std::shared_ptr<VantrelHelperClient> receiver) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->receiver = std::move(receiver);
}

HelperRoute IpcHelperClient::route() const { return m_shared->connector.lastRoute(); }

bool IpcHelperClient::acceptsImageFiles() const { return m_shared->connector.helperAcceptsImageFiles(); }

bool IpcHelperClient::helperStarting() const { return m_shared->connector.helperStarting(); }

bool IpcHelperClient::connectingAsksForPassword() const {
    auto& connector = m_shared->connector;
    return !connector.spawnedHelperAlive() && connector.nextRoute() == HelperRoute::spawnedWithPkexec;
}

pid_t IpcHelperClient::helperPid() const { return m_shared->connector.lastSpawnedPid(); }

void IpcHelperClient::invalidate() {
    if (m_shared->connector.spawnedHelperAlive()) {
        AppLog::debug("Keeping the connection to the helper started beside Vantrel (pid " +
                          std::to_string(m_shared->connector.lastSpawnedPid()) + "): a new one would start another helper",
                      category);
        return;
    }
    std::shared_ptr<IpcClient> connection;
    {
        std::lock_guard lock(m_shared->mutex);
        connection = std::move(m_shared->connection);
        ++m_shared->generation;
    }
    if (!connection) return;
    connection->invalidate();
    AppLog::debug("App↔helper connection invalidated", category);
    m_shared->tell("Helper connection invalidated");
}

template <typename Call>
void IpcHelperClient::withProxy(Failure failed, Call call) {
    std::shared_ptr<IpcClient> connection;
    {
        std::lock_guard lock(m_shared->mutex);
        if (!m_shared->connection) {
            AppLog::info("Opening privileged XPC to " + std::string(XPCConstants::helperMachService), category);
            std::weak_ptr<Shared> weak = m_shared;
            IpcConnectionOptions options;
            options.exported = VantrelHelperClient::selectorTable();
            options.remote = VantrelHelperProtocol::selectorTable();
            auto relay = std::make_shared<ReceiverRelay>(weak);
            options.onMessage = [relay](IpcIncoming message) { VantrelHelperClient::dispatch(*relay, message); };
            // Found hits come by the thousand: their batches are read from the packet's text.
            options.batchReader = [relay] { return VantrelHelperClient::hitBatchReader(relay); };
            auto client = std::make_shared<IpcClient>([weak] {
                auto shared = weak.lock();
                if (!shared) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
                return shared->connector.connect();
            }, std::move(options));
            const auto generation = ++m_shared->generation;
            client->setInterruptionHandler([weak, generation] {
                auto shared = weak.lock();
                if (!shared) return;
                {
                    std::lock_guard guard(shared->mutex);
                    if (shared->generation != generation) return;  // a replaced connection's notice
                }
                AppLog::error("App↔helper connection interrupted", category);
                shared->tell("Helper connection interrupted");
            });
            m_shared->connection = std::move(client);
        }
        connection = m_shared->connection;
    }
    // The proxy reports connection failures of this one call; the handlers keep the connection alive.
    auto keep = [connection, failed = std::move(failed)](ErrorObject error) { failed(std::move(error)); };
    VantrelHelperProtocolProxy proxy(*connection, keep);
    call(proxy, connection);
}

namespace {
// Tells the connector that the helper answered, before the reply is handed on.
void noteAnswer(const std::weak_ptr<IpcHelperClient::Shared>& weak);
} // namespace

void IpcHelperClient::ping(StringReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.ping([keep, weak = std::weak_ptr(m_shared), reply = std::move(reply)](std::string text) {
            noteAnswer(weak);
            reply(std::move(text));
        });
    });
}

void IpcHelperClient::probeDeviceWithPath(const std::string& path, LengthReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.probeDeviceWithPath(path, [keep, weak = std::weak_ptr(m_shared), reply = std::move(reply)](
                                            std::int64_t length, std::optional<ErrorObject> error) {
            noteAnswer(weak);
            reply(length, std::move(error));
        });
    });
}

void IpcHelperClient::identifyDeviceWithPath(const std::string& path, IdentityReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.identifyDeviceWithPath(path, [keep, weak = std::weak_ptr(m_shared), reply = std::move(reply)](
                                               std::string identity, std::optional<ErrorObject> error) {
            noteAnswer(weak);
            reply(std::move(identity), std::move(error));
        });
    });
}

void IpcHelperClient::checkRawDiskAccessWithPath(const std::string& path, AccessReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.checkRawDiskAccessWithPath(path, [keep, weak = std::weak_ptr(m_shared), reply = std::move(reply)](
                                                   bool granted, std::optional<ErrorObject> error) {
            noteAnswer(weak);
            reply(granted, std::move(error));
        });
    });
}

namespace {
void noteAnswer(const std::weak_ptr<IpcHelperClient::Shared>& weak) {
    if (auto shared = weak.lock()) shared->connector.noteAnswer();
}

// An error reply that holds the connection until it has run.
VantrelHelperProtocol::ErrorReply keeping(std::shared_ptr<IpcClient> keep, VantrelHelperProtocol::ErrorReply reply) {
    return [keep = std::move(keep), reply = std::move(reply)](std::optional<ErrorObject> error) { reply(std::move(error)); };
}
} // namespace

void IpcHelperClient::startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t minimumImageWidth,
                                        std::int64_t minimumImageHeight, const std::vector<std::string>& allowedKinds,
                                        const std::string& scanMode, ErrorReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.startScanWithPath(path, minimumByteSize, minimumImageWidth, minimumImageHeight, allowedKinds, scanMode,
                                keeping(keep, std::move(reply)));
    });
}

void IpcHelperClient::cancelScan() {
    withProxy([](ErrorObject) {}, [](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>&) { proxy.cancelScan(); });
}

void IpcHelperClient::extractHitWithPath(const std::string& path, std::int64_t offset, std::int64_t length,
                                         const std::string& destinationPath, UniqueFd destination, const std::string& hitSource,
                                         std::int64_t firstCluster, std::int64_t partitionOffset, const std::string& fileSystem, std::int64_t secondOffset, std::int64_t secondLength,
                                         ErrorReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.extractHitWithPath(path, offset, length, destinationPath, std::move(destination), hitSource, firstCluster,
                                 partitionOffset, fileSystem, secondOffset, secondLength, keeping(keep, std::move(reply)));
    });
}

void IpcHelperClient::copyDeviceWithSourcePath(const std::string& sourcePath, const std::string& destinationPath,
                                               UniqueFd destination, ErrorReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.copyDeviceWithSourcePath(sourcePath, destinationPath, std::move(destination), keeping(keep, std::move(reply)));
    });
}

void IpcHelperClient::remountDisksWithBsdNames(const std::vector<std::string>& bsdNames, ErrorReply reply, Failure failed) {
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.remountDisksWithBsdNames(bsdNames, keeping(keep, std::move(reply)));
    });
}

void IpcHelperClient::quitForRelaunch(EmptyReply reply, Failure failed) {
    // A quit the helper declined goes where a failed call goes: it did not happen.
    auto declined = failed;
    withProxy(std::move(failed), [&](VantrelHelperProtocolProxy& proxy, const std::shared_ptr<IpcClient>& keep) {
        proxy.quitForRelaunch([keep, reply = std::move(reply), declined = std::move(declined)](std::optional<ErrorObject> error) {
            if (error) return declined(std::move(*error));
            reply();
        });
    });
}

} // namespace vantrel
