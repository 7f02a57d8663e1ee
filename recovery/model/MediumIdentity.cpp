#include "recovery/model/MediumIdentity.h"

#include <algorithm>

namespace vantrel {

namespace {

using Json = nlohmann::json;

[[noreturn]] void refuse(const std::string& reason) { throw MediumIdentityDecodingError("medium identity: " + reason); }

const Json& required(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) refuse(std::string("\"") + key + "\" is missing");
    return *found;
}

std::uint64_t count(const Json& object, const char* key) {
    const Json& value = required(object, key);
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(value.get<std::int64_t>());
    refuse(std::string("\"") + key + "\" is not an unsigned integer");
}

std::optional<std::string> text(const Json& object, const char* key, std::size_t maxBytes) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string() || found->get_ref<const std::string&>().size() > maxBytes)
        refuse(std::string("\"") + key + "\" is not a short text");
    return found->get<std::string>();
}

bool isLowerHex(const std::string& digits) {
    return std::all_of(digits.begin(), digits.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

nlohmann::json MediumIdentity::toJson() const {
    Json object = Json::object();
    object["deviceBytes"] = deviceBytes;
    object["sectorBytes"] = sectorBytes;
    object["fingerprint"] = fingerprint;
    if (partitionTableId) object["partitionTableId"] = *partitionTableId;
    Json list = Json::array();
    for (const auto& volume : volumes) {
        Json item = Json::object();
        item["offset"] = volume.offset;
        item["sizeBytes"] = volume.sizeBytes;
        item["fileSystem"] = volume.fileSystem;
        if (volume.serial) item["serial"] = *volume.serial;
        if (volume.label) item["label"] = *volume.label;
        list.push_back(std::move(item));
    }
    object["volumes"] = std::move(list);
    return object;
}

MediumIdentity MediumIdentity::fromJson(const nlohmann::json& value) {
    if (!value.is_object()) refuse("it is not an object");
    MediumIdentity identity;
    identity.deviceBytes = count(value, "deviceBytes");
    identity.sectorBytes = count(value, "sectorBytes");
    identity.fingerprint = text(value, "fingerprint", fingerprintHexDigits).value_or(std::string());
    // A fingerprint is what makes the identity: one that is not a SHA-256 in hexadecimal proves nothing.
    if (identity.fingerprint.size() != fingerprintHexDigits || !isLowerHex(identity.fingerprint))
        refuse("\"fingerprint\" is not 64 hexadecimal digits");
    identity.partitionTableId = text(value, "partitionTableId", maxFieldBytes);
    const Json& list = required(value, "volumes");
    if (!list.is_array() || list.size() > maxVolumes) refuse("\"volumes\" is not a short list");
    for (const Json& item : list) {
        if (!item.is_object()) refuse("a volume is not an object");
        Volume volume;
        volume.offset = count(item, "offset");
        volume.sizeBytes = count(item, "sizeBytes");
        volume.fileSystem = text(item, "fileSystem", maxFieldBytes).value_or(std::string());
        volume.serial = text(item, "serial", maxFieldBytes);
        volume.label = text(item, "label", maxFieldBytes);
        identity.volumes.push_back(std::move(volume));
    }
    return identity;
}

} // namespace vantrel
