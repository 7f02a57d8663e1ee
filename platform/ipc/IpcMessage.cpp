#include "platform/ipc/IpcMessage.h"

#include "platform/ipc/IpcTextReader.h"
#include "platform/ipc/IpcValue.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vantrel::IpcMessageCodec {

namespace {

// Levels of arrays and objects a packet may hold, the message object itself counting as one. Our
// messages reach four (message, arguments, record or array, its values); the rest is room for keys
// a later version may add. The parser itself does not recurse, but copying or writing a value does,
// so a packet of nested brackets would otherwise run the stack out later on.
constexpr std::size_t maxNestingLevels = 16;

bool nestsDeeperThan(const nlohmann::json& root, std::size_t maxLevels) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [value, level] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        if (level > maxLevels) return true;
        for (const auto& child : *value) pending.emplace_back(&child, level + 1);
    }
    return false;
}

std::string_view kindName(IpcMessageKind kind) {
    switch (kind) {
    case IpcMessageKind::call: return "call";
    case IpcMessageKind::reply: return "reply";
    case IpcMessageKind::send: return "send";
    case IpcMessageKind::batch: return "batch";
    }
    return "send";
}

std::optional<IpcMessageKind> kindFromName(std::string_view name) {
    for (const auto kind : {IpcMessageKind::call, IpcMessageKind::reply, IpcMessageKind::send, IpcMessageKind::batch})
        if (kindName(kind) == name) return kind;
    return std::nullopt;
}

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw IpcProtocolError(std::string("missing \"") + key + "\"");
    return *found;
}

std::int64_t integerMember(const nlohmann::json& object, const char* key) {
    const auto value = IpcValue::int64(member(object, key));
    if (!value) throw IpcProtocolError(std::string("\"") + key + "\" is not an integer");
    return *value;
}

std::string stringMember(const nlohmann::json& object, const char* key) {
    const auto& value = member(object, key);
    if (auto problem = IpcValue::stringProblem(value)) throw IpcProtocolError(std::string("\"") + key + "\": " + *problem);
    return value.get<std::string>();
}

nlohmann::json& arrayMember(nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw IpcProtocolError(std::string("missing \"") + key + "\"");
    if (!found->is_array()) throw IpcProtocolError(std::string("\"") + key + "\" is not an array");
    return *found;
}

std::string dumped(const nlohmann::json& object) { return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

static_assert(protocolVersion == 1, "the batch head names the version");

} // namespace

nlohmann::json encodeError(const ErrorObject& error) {
    nlohmann::json object{{"domain", error.domain}, {"code", error.code}, {"message", error.message}};
    if (error.path) object["path"] = *error.path;
    return object;
}

ErrorObject decodeError(const nlohmann::json& object) {
    if (!object.is_object()) throw IpcProtocolError("error is not an object");
    ErrorObject error{stringMember(object, "domain"), integerMember(object, "code"), stringMember(object, "message"), std::nullopt};
    if (object.contains("path")) error.path = stringMember(object, "path");
    return error;
}

std::string encodeBatchEntry(std::string_view selector, const nlohmann::json& arguments) {
    return encodeBatchEntryText(selector, arguments.is_array() ? dumped(arguments) : "[]");
}

std::string encodeBatchEntryText(std::string_view selector, std::string_view argumentsText) {
    std::string entry;
    appendBatchEntryText(entry, selector, argumentsText);
    return entry;
}

void appendBatchEntryText(std::string& out, std::string_view selector, std::string_view argumentsText) {
    // Written around the arguments' own text rather than through a copy of them in a new object; the keys
    // in the order an object dump gives them. A selector the library writes as it is goes between quotes
    // without it. Made room for once and copied in blocks: the hits' entries are written here, one per hit.
    constexpr std::string_view head = R"({"args":)";
    constexpr std::string_view middle = R"(,"sel":)";
    const bool asIs = IpcValue::isWrittenAsIs(selector);
    const std::string written = asIs ? std::string() : dumped(nlohmann::json(selector));
    const std::string_view selectorText = asIs ? selector : std::string_view(written);
    const std::size_t quotes = asIs ? 2 : 0;
    const std::size_t start = out.size();
    out.resize(start + head.size() + argumentsText.size() + middle.size() + quotes + selectorText.size() + 1);
    char* at = out.data() + start;
    const auto put = [&at](std::string_view piece) { at = std::copy(piece.begin(), piece.end(), at); };
    put(head);
    put(argumentsText);
    put(middle);
    if (asIs) *at++ = '"';
    put(selectorText);
    if (asIs) *at++ = '"';
    *at = '}';
}

void beginBatch(std::string& packet) { packet.assign(batchHead); }

void endBatch(std::string& packet) { packet += batchTail; }

std::size_t batchPacketBytes(std::size_t joinedEntriesBytes) { return batchHead.size() + joinedEntriesBytes + batchTail.size(); }

std::string encodeBatch(std::string_view joinedEntries) {
    std::string packet;
    packet.reserve(batchPacketBytes(joinedEntries.size()));
    packet.append(batchHead).append(joinedEntries).append(batchTail);
    return packet;
}

std::size_t readBatch(std::string_view packet, IpcBatchReader& reader) {
    // Only a selector the library writes as it is (printable ASCII, no quote or backslash) can be matched
    // byte for byte.
    const std::string_view selector = reader.selector();
    if (!IpcValue::isWrittenAsIs(selector)) return 0;
    IpcTextReader text(packet);
    if (!text.literal(batchHead)) return 0;
    std::size_t count = 0;
    do {
        if (count == maxBatchSends) return 0;  // decode() refuses it
        if (!text.literal(R"({"args":)")) return 0;
        const std::size_t taken = reader.read(count, packet.substr(text.position()));
        if (taken == 0 || !text.skip(taken)) return 0;
        if (!text.literal(R"(,"sel":")") || !text.literal(selector) || !text.literal("\"}")) return 0;
        ++count;
    } while (text.literal(","));
    return text.literal(batchTail) && text.atEnd() ? count : 0;
}

std::string encode(const IpcMessage& message) {
    if (message.kind == IpcMessageKind::batch) {
        std::string joined;
        for (const auto& send : message.sends) {
            if (!joined.empty()) joined.push_back(',');
            joined += encodeBatchEntry(send.selector, send.arguments);
        }
        return encodeBatch(joined);
    }
    nlohmann::json object{{"v", protocolVersion}, {"k", kindName(message.kind)}};
    if (message.kind != IpcMessageKind::send) object["id"] = message.id;
    if (message.kind != IpcMessageKind::reply) object["sel"] = message.selector;
    object["args"] = message.arguments.is_array() ? message.arguments : nlohmann::json::array();
    if (message.kind == IpcMessageKind::reply)
        object["error"] = message.error ? encodeError(*message.error) : nlohmann::json(nullptr);
    return dumped(object);
}

IpcMessage decode(std::string_view packet) {
    auto object = nlohmann::json::parse(packet.begin(), packet.end(), nullptr, false);
    if (object.is_discarded()) throw IpcProtocolError("not JSON");
    if (nestsDeeperThan(object, maxNestingLevels)) throw IpcProtocolError("nested too deeply");
    if (!object.is_object()) throw IpcProtocolError("not a JSON object");
    if (integerMember(object, "v") != protocolVersion) throw IpcProtocolError("unsupported version");
    const auto kind = kindFromName(stringMember(object, "k"));
    if (!kind) throw IpcProtocolError("unknown message kind");

    IpcMessage message;
    message.kind = *kind;
    if (*kind == IpcMessageKind::batch) {
        auto& sends = arrayMember(object, "sends");
        if (sends.empty() || sends.size() > maxBatchSends) throw IpcProtocolError("a batch holds 1 to 256 sends");
        message.sends.reserve(sends.size());
        for (auto& entry : sends) {
            if (!entry.is_object()) throw IpcProtocolError("a batch entry is not an object");
            IpcMessage send;
            send.selector = stringMember(entry, "sel");
            send.arguments = std::move(arrayMember(entry, "args"));
            message.sends.push_back(std::move(send));
        }
        return message;
    }
    if (*kind != IpcMessageKind::send) message.id = integerMember(object, "id");
    if (*kind != IpcMessageKind::reply) message.selector = stringMember(object, "sel");
    auto& arguments = object["args"];
    if (!arguments.is_array()) throw IpcProtocolError("\"args\" is not an array");
    message.arguments = std::move(arguments);
    if (*kind == IpcMessageKind::reply) {
        const auto found = object.find("error");
        if (found != object.end() && !found->is_null()) message.error = decodeError(*found);
    }
    return message;
}

} // namespace vantrel::IpcMessageCodec
