#pragma once
// The answer to one received call. Copies share one answer: the first reply()/fail() is sent, later
// ones are ignored, and when the last copy is destroyed unanswered an error reply (VantrelIPC
// noReply) goes out instead, so the caller never waits for an answer that cannot come. Safe to
// use from any thread, also after the connection closed (the answer is then dropped).

#include "platform/ErrorObject.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>

namespace vantrel {

class IpcReply {
public:
    // Sends the arguments and the error (none on success). Returns false when already answered.
    using Deliver = std::function<void(nlohmann::json arguments, std::optional<ErrorObject> error)>;

    // deliver is called at most once; failureArguments are the values sent with an error when the
    // serving side gives none (the reply types' defaults).
    static IpcReply make(Deliver deliver, nlohmann::json failureArguments);

    bool reply(nlohmann::json arguments, std::optional<ErrorObject> error = std::nullopt);
    // Answers with the error and the default values of the reply types.
    bool fail(ErrorObject error);
    bool answered() const;

private:
    struct State;
    explicit IpcReply(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    std::shared_ptr<State> m_state;
};

} // namespace vantrel
