#include "support/VantrelHelperClient.h"

namespace vantrel {

const SelectorTable& VantrelHelperClient::selectorTable() {
    using T = IpcValueType;
    namespace S = HelperClientSelector;
    static const SelectorTable table(
        {
            {std::string(S::didFindHit), {T::object(std::string(HelperHitDTO::className))}, std::nullopt, 0},
            {std::string(S::didUpdateProgress), {T::integer(), T::integer(), T::integer(), T::integer()}, std::nullopt, 0},
            {std::string(S::didLog), {T::string()}, std::nullopt, 0},
        },
        {{std::string(HelperHitDTO::className), [](const nlohmann::json& object) { return HelperHitDTO::check(object); }}});
    return table;
}

void VantrelHelperClient::dispatch(VantrelHelperClient& client, const IpcIncoming& message) {
    namespace S = HelperClientSelector;
    const auto& args = message.arguments;
    if (message.selector == S::didFindHit) {
        if (auto hit = HelperHitDTO::decode(args[0])) client.helperDidFindHit(*hit);
    } else if (message.selector == S::didUpdateProgress) {
        client.helperDidUpdateProgressWithBytesScanned(args[0].get<std::int64_t>(), args[1].get<std::int64_t>(),
                                                       args[2].get<std::int64_t>(), args[3].get<std::int64_t>());
    } else if (message.selector == S::didLog) {
        client.helperDidLog(args[0].get<std::string>());
    }
}

} // namespace vantrel
