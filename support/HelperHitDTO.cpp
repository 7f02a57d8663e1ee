#include "support/HelperHitDTO.h"

#include "platform/ipc/IpcTextReader.h"
#include "platform/ipc/IpcValue.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

namespace vantrel {

namespace {

// Reads one key, or its default when missing; a present key of the wrong type sets the problem. One that
// only checks copies no text.
class FieldDecoder {
public:
    explicit FieldDecoder(const nlohmann::json& object, bool checkOnly = false) : m_object(object), m_checkOnly(checkOnly) {}

    std::string text(const char* key, std::string fallback) {
        const auto found = m_object.find(key);
        if (found == m_object.end()) return fallback;
        if (auto problem = IpcValue::stringProblem(*found)) return refuse(key, *problem), fallback;
        return m_checkOnly ? std::string() : found->get<std::string>();
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
    const bool m_checkOnly;
    std::optional<std::string> m_problem;
};

// A text field as the record's text holds it, as a JSON dump writes it: text of printable ASCII other than
// the quote and the backslash between quotes as it is, anything else as the JSON library's own writer gives
// it (escapes, invalid UTF-8 as U+FFFD, quotes included). It may point into itself, so it stays where it is made.
class WrittenText {
public:
    explicit WrittenText(std::string_view text) {
        if (IpcValue::isWrittenAsIs(text)) {
            m_text = text;
            m_quoted = true;
            return;
        }
        m_written = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        m_text = m_written;
    }
    WrittenText(const WrittenText&) = delete;
    WrittenText& operator=(const WrittenText&) = delete;

    std::size_t size() const { return m_text.size() + (m_quoted ? 2 : 0); }

    char* writeTo(char* at) const {
        if (m_quoted) *at++ = '"';
        at = std::copy(m_text.begin(), m_text.end(), at);  // an empty view may hold no pointer
        if (m_quoted) *at++ = '"';
        return at;
    }

private:
    std::string m_written;
    std::string_view m_text;
    bool m_quoted = false;
};

// Writes a record's text into room made for it beforehand: its texts' sizes and fixedRecordBytes.
class RecordWriter {
public:
    // More than the keys, the punctuation, eight integers of at most 20 characters and two booleans take.
    static constexpr std::size_t fixedRecordBytes = 512;

    explicit RecordWriter(char* at) : m_at(at) {}

    template <std::size_t size>
    void literal(const char (&text)[size]) {
        std::memcpy(m_at, text, size - 1);
        m_at += size - 1;
    }
    void text(const WrittenText& text) { m_at = text.writeTo(m_at); }
    void integer(std::int64_t value) { m_at = std::to_chars(m_at, m_at + maxIntegerBytes, value).ptr; }
    void boolean(bool value) { value ? literal("true") : literal("false"); }
    char* at() const { return m_at; }

private:
    static constexpr std::size_t maxIntegerBytes = 20;  // "-9223372036854775808"
    char* m_at;
};

// The fields read one way for decoding and another for checking.
template <typename Read>
auto readFields(FieldDecoder& field, Read read) {
    // Arguments are evaluated in an unspecified order: each is read into its own variable first, in field
    // order, so that the first problem reported is the first field's.
    auto kind = field.text("kind", "unknown");
    auto byteOffset = field.unsignedBits("byteOffset");
    auto byteLength = field.unsignedBits("byteLength");
    auto suggestedName = field.text("suggestedName", "file");
    auto reconstructedPath = field.optionalText("reconstructedPath");
    auto width = field.integer("width");
    auto height = field.integer("height");
    auto source = field.text("source", "signatureCarve");
    auto isFragmented = field.boolean("isFragmented");
    auto clusterReallocated = field.boolean("clusterReallocated");
    auto firstCluster = field.unsigned32("firstCluster");
    auto partitionOffset = field.unsignedBits("partitionOffset");
    auto fileSystem = field.text("fileSystem", "");
    auto secondOffset = field.unsignedBits("secondOffset");
    auto secondLength = field.unsignedBits("secondLength");
    return read(std::move(kind), byteOffset, byteLength, std::move(suggestedName), std::move(reconstructedPath), width, height,
                std::move(source), isFragmented, clusterReallocated, firstCluster, partitionOffset, std::move(fileSystem),
                secondOffset, secondLength);
}

// The "$class" check both share; the refusal, or nothing.
std::optional<std::string> classProblem(const nlohmann::json& object) {
    if (!object.is_object()) return "not an object";
    const auto found = object.find(IpcValue::classKey);
    if (found == object.end() || !found->is_string() || found->get_ref<const std::string&>() != HelperHitDTO::className)
        return "not a HelperHitDTO";
    return std::nullopt;
}

} // namespace

HelperHitDTO::HelperHitDTO(std::string kind_, std::uint64_t byteOffset_, std::uint64_t byteLength_, std::string suggestedName_,
                           std::optional<std::string> reconstructedPath_, std::int64_t width_, std::int64_t height_,
                           std::string source_, bool isFragmented_, bool clusterReallocated_, std::uint32_t firstCluster_,
                           std::uint64_t partitionOffset_, std::string fileSystem_, std::uint64_t secondOffset_,
                           std::uint64_t secondLength_)
    : kind(std::move(kind_)), byteOffset(byteOffset_), byteLength(byteLength_), suggestedName(std::move(suggestedName_)),
      reconstructedPath(std::move(reconstructedPath_)), width(width_), height(height_), source(std::move(source_)),
      isFragmented(isFragmented_), clusterReallocated(clusterReallocated_), firstCluster(firstCluster_),
      partitionOffset(partitionOffset_), fileSystem(std::move(fileSystem_)), secondOffset(secondOffset_),
      secondLength(secondLength_) {}

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
        {"secondOffset", std::bit_cast<std::int64_t>(secondOffset)},
        {"secondLength", std::bit_cast<std::int64_t>(secondLength)},
    };
    if (reconstructedPath) object["reconstructedPath"] = *reconstructedPath;
    return object;
}

std::string HelperHitDTO::encodeText() const {
    std::string out;
    out.reserve(256 + suggestedName.size() + (reconstructedPath ? reconstructedPath->size() : 0));
    appendText(out);
    return out;
}

void HelperHitDTO::appendText(std::string& out) const { HelperHitView(*this).appendText(out); }

HelperHitView::HelperHitView(const HelperHitDTO& record)
    : kind(record.kind), byteOffset(record.byteOffset), byteLength(record.byteLength), suggestedName(record.suggestedName),
      reconstructedPath(record.reconstructedPath), width(record.width), height(record.height), source(record.source),
      isFragmented(record.isFragmented), clusterReallocated(record.clusterReallocated), firstCluster(record.firstCluster),
      partitionOffset(record.partitionOffset), fileSystem(record.fileSystem), secondOffset(record.secondOffset),
      secondLength(record.secondLength) {}

HelperHitDTO HelperHitView::record() const {
    return HelperHitDTO(std::string(kind), byteOffset, byteLength, std::string(suggestedName),
                        reconstructedPath ? std::optional<std::string>(*reconstructedPath) : std::nullopt, width, height,
                        std::string(source), isFragmented, clusterReallocated, firstCluster, partitionOffset,
                        std::string(fileSystem), secondOffset, secondLength);
}

void HelperHitView::appendText(std::string& out) const {
    const WrittenText fileSystemText(fileSystem), kindText(kind), sourceText(source), nameText(suggestedName);
    const std::optional<WrittenText> pathText =
        reconstructedPath ? std::optional<WrittenText>(std::in_place, *reconstructedPath) : std::nullopt;
    const std::size_t start = out.size();
    out.resize(start + RecordWriter::fixedRecordBytes + fileSystemText.size() + kindText.size() + sourceText.size() +
               nameText.size() + (pathText ? pathText->size() : 0));
    RecordWriter write(out.data() + start);
    // The keys in the order of the JSON library's objects (byte order of their names).
    write.literal(R"({"$class":"HelperHitDTO","byteLength":)");
    write.integer(std::bit_cast<std::int64_t>(byteLength));
    write.literal(R"(,"byteOffset":)");
    write.integer(std::bit_cast<std::int64_t>(byteOffset));
    write.literal(R"(,"clusterReallocated":)");
    write.boolean(clusterReallocated);
    write.literal(R"(,"fileSystem":)");
    write.text(fileSystemText);
    write.literal(R"(,"firstCluster":)");
    write.integer(std::int64_t{firstCluster});
    write.literal(R"(,"height":)");
    write.integer(height);
    write.literal(R"(,"isFragmented":)");
    write.boolean(isFragmented);
    write.literal(R"(,"kind":)");
    write.text(kindText);
    write.literal(R"(,"partitionOffset":)");
    write.integer(std::bit_cast<std::int64_t>(partitionOffset));
    if (pathText) {
        write.literal(R"(,"reconstructedPath":)");
        write.text(*pathText);
    }
    write.literal(R"(,"secondLength":)");
    write.integer(std::bit_cast<std::int64_t>(secondLength));
    write.literal(R"(,"secondOffset":)");
    write.integer(std::bit_cast<std::int64_t>(secondOffset));
    write.literal(R"(,"source":)");
    write.text(sourceText);
    write.literal(R"(,"suggestedName":)");
    write.text(nameText);
    write.literal(R"(,"width":)");
    write.integer(width);
    write.literal("}");
    out.resize(static_cast<std::size_t>(write.at() - out.data()));
}

std::size_t HelperHitDTO::readText(std::string_view text, HelperHitDTO& record) {
    IpcTextReader in(text);
    std::int64_t byteLength = 0, byteOffset = 0, firstCluster = 0, partitionOffset = 0, secondLength = 0, secondOffset = 0;
    const auto string = [&](std::string& out) { return in.string(out, IpcValue::maxStringBytes); };
    // The keys in the order encodeText() writes them; the optional path read where it stands.
    const bool read = in.literal(R"({"$class":"HelperHitDTO","byteLength":)") && in.integer(byteLength) &&
                      in.literal(R"(,"byteOffset":)") && in.integer(byteOffset) &&
                      in.literal(R"(,"clusterReallocated":)") && in.boolean(record.clusterReallocated) &&
                      in.literal(R"(,"fileSystem":)") && string(record.fileSystem) &&
                      in.literal(R"(,"firstCluster":)") && in.integer(firstCluster) &&
                      in.literal(R"(,"height":)") && in.integer(record.height) &&
                      in.literal(R"(,"isFragmented":)") && in.boolean(record.isFragmented) &&
                      in.literal(R"(,"kind":)") && string(record.kind) &&
                      in.literal(R"(,"partitionOffset":)") && in.integer(partitionOffset);
    if (!read) return 0;
    if (in.literal(R"(,"reconstructedPath":)")) {
        if (!record.reconstructedPath) record.reconstructedPath.emplace();
        if (!string(*record.reconstructedPath)) return 0;
    } else {
        record.reconstructedPath.reset();
    }
    const bool rest = in.literal(R"(,"secondLength":)") && in.integer(secondLength) &&
                      in.literal(R"(,"secondOffset":)") && in.integer(secondOffset) &&
                      in.literal(R"(,"source":)") && string(record.source) &&
                      in.literal(R"(,"suggestedName":)") && string(record.suggestedName) &&
                      in.literal(R"(,"width":)") && in.integer(record.width) && in.literal("}");
    if (!rest || firstCluster < 0 || firstCluster > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) return 0;
    record.byteLength = std::bit_cast<std::uint64_t>(byteLength);
    record.byteOffset = std::bit_cast<std::uint64_t>(byteOffset);
    record.firstCluster = static_cast<std::uint32_t>(firstCluster);
    record.partitionOffset = std::bit_cast<std::uint64_t>(partitionOffset);
    record.secondLength = std::bit_cast<std::uint64_t>(secondLength);
    record.secondOffset = std::bit_cast<std::uint64_t>(secondOffset);
    return in.position();
}

std::optional<std::string> HelperHitDTO::problem() const { return HelperHitView(*this).problem(); }

std::optional<std::string> HelperHitView::problem() const {
    const std::pair<const char*, const std::string_view*> texts[] = {
        {"kind", &kind}, {"suggestedName", &suggestedName}, {"reconstructedPath", reconstructedPath ? &*reconstructedPath : nullptr},
        {"source", &source}, {"fileSystem", &fileSystem}};
    for (const auto& [key, text] : texts)
        if (text)
            if (auto why = IpcValue::textProblem(*text)) return std::string("\"") + key + "\": " + *why;
    return std::nullopt;
}

std::optional<HelperHitDTO> HelperHitDTO::decode(const nlohmann::json& object, std::string* problem) {
    const auto refuse = [&](std::string why) -> std::optional<HelperHitDTO> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    if (auto why = classProblem(object)) return refuse(std::move(*why));
    FieldDecoder field(object);
    HelperHitDTO record = readFields(field, [](auto&&... values) { return HelperHitDTO(std::move(values)...); });
    if (field.problem()) return refuse(*field.problem());
    return record;
}

std::optional<std::string> HelperHitDTO::check(const nlohmann::json& object) {
    if (auto why = classProblem(object)) return why;
    FieldDecoder field(object, true);
    readFields(field, [](auto&&...) { return 0; });
    return field.problem();
}

} // namespace vantrel
