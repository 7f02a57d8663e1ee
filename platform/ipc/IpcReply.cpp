#include "platform/ipc/IpcReply.h"

#include "platform/ipc/IpcError.h"

#include <atomic>

namespace vantrel {

struct IpcReply::State {
    Deliver deliver;
    nlohmann::json failureArguments;
    std::atomic<bool> answered{false};

    bool answer(nlohmann::json arguments, std::optional<ErrorObject> error) {
        if (answered.exchange(true)) return false;
        if (deliver) deliver(std::move(arguments), std::move(error));
        return true;
    }

    ~State() {
        try {
            answer(failureArguments, IpcError::make(IpcErrorCode::noReply));
        } catch (...) {
            // A destructor must not throw; the connection is then gone and fails the call itself.
        }
    }
};

IpcReply IpcReply::make(Deliver deliver, nlohmann::json failureArguments) {
    auto state = std::make_shared<State>();
    state->deliver = std::move(deliver);
    state->failureArguments = std::move(failureArguments);
    return IpcReply(std::move(state));
}

bool IpcReply::reply(nlohmann::json arguments, std::optional<ErrorObject> error) {
    return m_state->answer(std::move(arguments), std::move(error));
}

bool IpcReply::fail(ErrorObject error) { return m_state->answer(m_state->failureArguments, std::move(error)); }

bool IpcReply::answered() const { return m_state->answered.load(); }

} // namespace vantrel
