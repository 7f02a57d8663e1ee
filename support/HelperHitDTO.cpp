#include "support/HelperHitDTO.h"

#include "platform/ipc/IpcValue.h"

#include <bit>
#include <limits>

namespace vantrel {

namespace {

// Reads one key, or its default when missing; a present key of the wrong type sets the problem.
class FieldDecoder {
public:
    explicit FieldDecoder(const nlohmann::json& object) : m_object(object) {}

    std::string text(const char* key, std::string fallback) {
        const auto found = m_object.find(key);
        if (found == m_object.end()) return fallback;
        if (auto problem = IpcValue::stringProblem(*found)) return refuse(key, *problem), fallback;
        return found->get<std::string>();
    }

    std::optional<std::string> optionalText(const char* key) {
        if (!m_object.contains(key)) return std::nullopt;
        return text(key, {});
    }

    std::int64_t integer(const char* key) {
        const auto found = m_object.find(key);
        if (found == m_object.end()) return 0;
        const auto value = IpcValue::int64(*found);
        if (!value) return refuse(key, "not an integer within 64 bits"), 0;
        return *value;
    }

    // Carried as the signed integer with the same bits.
    std::uint64_t unsignedBits(const char* key) { return std::bit_cast<std::uint64_t>(integer(key)); }

    std::uint32_t unsigned32(const char* key) {
        const std::int64_t value = integer(key);
        if (value < 0 || value > std::int64_t{std::numeric_limits<std::uint32_t>::max()})
            return refuse(key, "outside 0 to 4294967295"), 0;
        return static_cast<std::uint32_t>(value);
    }

    bool boolean(const char* key) {
        const auto found = m_object.find(key);
        if (found == m_object.end()) return false;
        if (!found->is_boolean()) return refuse(key, "not a boolean"), false;
        return found->get<bool>();
    }

    const std::optional<std::string>& problem() const { return m_problem; }

private:
    void refuse(const char* key, const std::string& why) {
        if (!m_problem) m_problem = std::string("\"") + key + "\": " + why;
    }

    const nlohmann::json& m_object;
    std::optional<std::string> m_problem;
};

} // namespace

HelperHitDTO::HelperHitDTO(std::string kind_, std::uint64_t byteOffset_, std::uint64_t byteLength_, std::string suggestedName_,
                           std::optional<std::string> reconstructedPath_, std::int64_t width_, std::int64_t height_,
                           std::string source_, bool isFragmented_, bool clusterReallocated_, std::uint32_t firstCluster_,
                           std::uint64_t partitionOffset_, std::string fileSystem_)
    : kind(std::move(kind_)), byteOffset(byteOffset_), byteLength(byteLength_), suggestedName(std::move(suggestedName_)),
      reconstructedPath(std::move(reconstructedPath_)), width(width_), height(height_), source(std::move(source_)),
      isFragmented(isFragmented_), clusterReallocated(clusterReallocated_), firstCluster(firstCluster_),
      partitionOffset(partitionOffset_), fileSystem(std::move(fileSystem_)) {}

nlohmann::json HelperHitDTO::encode() const {
    nlohmann::json object{
        {IpcValue::classKey, className},
        {"kind", kind},
        {"byteOffset", std::bit_cast<std::int64_t>(byteOffset)},
        {"byteLength", std::bit_cast<std::int64_t>(byteLength)},
        {"suggestedName", suggestedName},
        {"width", width},
        {"height", height},
        {"source", source},
        {"isFragmented", isFragmented},
        {"clusterReallocated", clusterReallocated},
        {"firstCluster", std::int64_t{firstCluster}},
        {"partitionOffset", std::bit_cast<std::int64_t>(partitionOffset)},
        {"fileSystem", fileSystem},
    };
    if (reconstructedPath) object["reconstructedPath"] = *reconstructedPath;
    return object;
}

std::optional<HelperHitDTO> HelperHitDTO::decode(const nlohmann::json& object, std::string* problem) {
    const auto refuse = [&](std::string why) -> std::optional<HelperHitDTO> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    if (!object.is_object()) return refuse("not an object");
    const auto found = object.find(IpcValue::classKey);
    if (found == object.end() || !found->is_string() || found->get_ref<const std::string&>() != className)
        return refuse("not a HelperHitDTO");

    FieldDecoder field(object);
    HelperHitDTO record(field.text("kind", "unknown"), field.unsignedBits("byteOffset"), field.unsignedBits("byteLength"),
                        field.text("suggestedName", "file"), field.optionalText("reconstructedPath"), field.integer("width"),
                        field.integer("height"), field.text("source", "signatureCarve"), field.boolean("isFragmented"),
                        field.boolean("clusterReallocated"), field.unsigned32("firstCluster"),
                        field.unsignedBits("partitionOffset"), field.text("fileSystem", ""));
    if (field.problem()) return refuse(*field.problem());
    return record;
}

} // namespace vantrel
