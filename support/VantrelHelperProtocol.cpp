#include "support/VantrelHelperProtocol.h"

namespace vantrel {

namespace {

std::vector<std::string> strings(const nlohmann::json& array) { return array.get<std::vector<std::string>>(); }

} // namespace

const SelectorTable& VantrelHelperProtocol::selectorTable() {
    using T = IpcValueType;
    namespace S = HelperProtocolSelector;
    static const SelectorTable table({
        {std::string(S::ping), {}, std::vector{T::string()}, 0},
        {std::string(S::probeDevice), {T::string()}, std::vector{T::integer()}, 0},
        {std::string(S::checkRawDiskAccess), {T::string()}, std::vector{T::boolean()}, 0},
        {std::string(S::startScan), {T::string(), T::integer(), T::integer(), T::integer(), T::stringArray(), T::string()},
         std::vector<T>{}, 0},
        {std::string(S::cancelScan), {}, std::nullopt, 0},
        {std::string(S::extractHit),
         // Offset, length and partition offset are counts: a negative one is refused before the helper sees it.
         {T::string(), T::count(), T::count(), T::string(), T::string(), T::integer(), T::count(), T::string(), T::count(),
          T::count()},
         std::vector<T>{}, 1},
        {std::string(S::copyDevice), {T::string(), T::string()}, std::vector<T>{}, 1},
        {std::string(S::remountDisks), {T::stringArray()}, std::vector<T>{}, 0},
        {std::string(S::quitForRelaunch), {}, std::vector<T>{}, 0},
        {std::string(S::identifyDevice), {T::string()}, std::vector{T::string()}, 0},
    });
    return table;
}

void VantrelHelperProtocol::dispatch(VantrelHelperProtocol& service, IpcIncoming message) {
    namespace S = HelperProtocolSelector;
    const auto& selector = message.selector;
    const auto& args = message.arguments;
    if (selector == S::cancelScan) return service.cancelScan();
    if (!message.reply) return;  // every other operation is a call; the table made sure of that
    IpcReply reply = *message.reply;
    const ErrorReply errorReply = [reply](std::optional<ErrorObject> error) mutable {
        reply.reply(nlohmann::json::array(), std::move(error));
    };

    if (selector == S::ping)
        return service.ping([reply](std::string answer) mutable { reply.reply(nlohmann::json::array({std::move(answer)})); });
    if (selector == S::probeDevice)
        return service.probeDeviceWithPath(args[0].get<std::string>(), [reply](std::int64_t length, std::optional<ErrorObject> error) mutable {
            reply.reply(nlohmann::json::array({length}), std::move(error));
        });
    if (selector == S::checkRawDiskAccess)
        return service.checkRawDiskAccessWithPath(args[0].get<std::string>(), [reply](bool granted, std::optional<ErrorObject> error) mutable {
            reply.reply(nlohmann::json::array({granted}), std::move(error));
        });
    if (selector == S::startScan)
        return service.startScanWithPath(args[0].get<std::string>(), args[1].get<std::int64_t>(), args[2].get<std::int64_t>(),
                                         args[3].get<std::int64_t>(), strings(args[4]), args[5].get<std::string>(), errorReply);
    if (selector == S::extractHit)
        return service.extractHitWithPath(args[0].get<std::string>(), args[1].get<std::int64_t>(), args[2].get<std::int64_t>(),
                                          args[3].get<std::string>(), std::move(message.descriptor), args[4].get<std::string>(),
                                          args[5].get<std::int64_t>(), args[6].get<std::int64_t>(), args[7].get<std::string>(),
                                          args[8].get<std::int64_t>(), args[9].get<std::int64_t>(), errorReply);
    if (selector == S::copyDevice)
        return service.copyDeviceWithSourcePath(args[0].get<std::string>(), args[1].get<std::string>(), std::move(message.descriptor),
                                                errorReply);
    if (selector == S::remountDisks) return service.remountDisksWithBsdNames(strings(args[0]), errorReply);
    if (selector == S::identifyDevice)
        return service.identifyDeviceWithPath(args[0].get<std::string>(), [reply](std::string identity, std::optional<ErrorObject> error) mutable {
            reply.reply(nlohmann::json::array({std::move(identity)}), std::move(error));
        });
    if (selector == S::quitForRelaunch)
        return service.quitForRelaunch(errorReply);
    // A selector in the table without a case here: the reply goes out as noReply when dropped.
}

} // namespace vantrel
