#include "platform/ipc/IpcClient.h"

#include "platform/ipc/IpcError.h"

#include <mutex>
#include <system_error>
#include <variant>

namespace vantrel {

struct IpcClient::Shared : std::enable_shared_from_this<Shared> {
    Connector connector;
    IpcConnectionOptions options;
    mutable std::mutex mutex;
    std::shared_ptr<IpcConnection> current;
    bool invalidated = false;
    std::function<void()> onInterrupted;
    std::function<void()> onInvalidated;

    // The open connection, made when there is none; or the error that ends the call.
    std::variant<std::shared_ptr<IpcConnection>, ErrorObject> connection() {
        std::shared_ptr<IpcConnection> stale;  // destroyed after the lock is released
        std::lock_guard lock(mutex);
        if (invalidated) return IpcError::make(IpcErrorCode::connectionInvalidated);
        if (current && current->state() == IpcConnectionState::open) return current;
        stale = std::move(current);
        auto connectionOptions = options;
        connectionOptions.onClosed = [weak = weak_from_this()](IpcConnectionState state) {
            if (state != IpcConnectionState::interrupted) return;
            auto self = weak.lock();
            if (!self) return;
            std::function<void()> handler;
            {
                std::lock_guard handlerLock(self->mutex);
                handler = self->onInterrupted;
            }
            if (handler) handler();
        };
        try {
            current = std::make_shared<IpcConnection>(connector(), std::move(connectionOptions));
        } catch (const std::system_error& error) {
            return IpcError::make(IpcErrorCode::connectFailed, error.what());
        }
        current->resume();
        return current;
    }
};

IpcClient::IpcClient(Connector connector, IpcConnectionOptions options) : m_shared(std::make_shared<Shared>()) {
    m_shared->connector = std::move(connector);
    m_shared->options = std::move(options);
}

IpcClient::~IpcClient() { invalidate(); }

void IpcClient::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->onInterrupted = std::move(handler);
}

void IpcClient::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->onInvalidated = std::move(handler);
}

void IpcClient::invalidate() {
    std::shared_ptr<IpcConnection> closing;
    std::function<void()> handler;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->invalidated) return;
        m_shared->invalidated = true;
        closing = std::move(m_shared->current);
        handler = std::move(m_shared->onInvalidated);
    }
    if (closing) closing->invalidate();
    closing.reset();
    if (handler) handler();
}

bool IpcClient::isInvalidated() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->invalidated;
}

void IpcClient::call(std::string_view selector, nlohmann::json arguments, int descriptor, ReplyHandler onReply,
                     FailureHandler onFailure) {
    auto connection = m_shared->connection();
    if (auto* error = std::get_if<ErrorObject>(&connection)) return onFailure(*error);
    std::get<std::shared_ptr<IpcConnection>>(connection)->call(selector, std::move(arguments), descriptor, std::move(onReply), std::move(onFailure));
}

std::optional<ErrorObject> IpcClient::send(std::string_view selector, nlohmann::json arguments, int descriptor) {
    auto connection = m_shared->connection();
    if (auto* error = std::get_if<ErrorObject>(&connection)) return *error;
    return std::get<std::shared_ptr<IpcConnection>>(connection)->send(selector, std::move(arguments), descriptor);
}

} // namespace vantrel
