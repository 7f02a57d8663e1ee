// Feeds one packet through what a connection does with it: the message codec, the checks of both
// sides' selector tables, and the hit record's decoder. A record that decodes must survive a
// second round through its message form unchanged.
#include "platform/ipc/IpcMessage.h"
#include "support/HelperHitDTO.h"
#include "support/VantrelHelperClient.h"
#include "support/VantrelHelperProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const std::string_view packet(reinterpret_cast<const char*>(data), size);
    IpcMessage message;
    try {
        message = IpcMessageCodec::decode(packet);
    } catch (const IpcProtocolError&) {
        return 0;
    }
    for (const SelectorTable* table : {&VantrelHelperProtocol::selectorTable(), &VantrelHelperClient::selectorTable()}) {
        const SelectorRule* rule = table->find(message.selector);
        if (!rule) continue;
        (void)table->checkValues(message.arguments, rule->arguments);
        if (rule->reply) (void)table->checkValues(message.arguments, *rule->reply);
    }
    for (const auto& argument : message.arguments) {
        const auto hit = HelperHitDTO::decode(argument);
        // The check refuses exactly what decoding refuses; the text form is the dump of the message form.
        if (HelperHitDTO::check(argument).has_value() == hit.has_value()) std::abort();
        if (hit && HelperHitDTO::decode(hit->encode()) != hit) std::abort();
        if (hit && hit->encodeText() != hit->encode().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) std::abort();
    }
    // What was read can be written again.
    (void)IpcMessageCodec::encode(message);
    return 0;
}
