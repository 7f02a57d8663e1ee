#pragma once
// The record that carries one found hit from the helper to the application, as the only argument
// of helperDidFindHit:. Kinds, sources and file systems travel as their stored names; an absent
// cluster hint or picture size travels as zeros and an empty string. A hit's identity, integrity
// and capture date are not part of it.
//
// Its message form is a JSON object with "$class": "HelperHitDTO" and one key per field. The
// unsigned 64-bit fields travel as the signed 64-bit integer with the same bits, so every value
// fits the protocol's integer range and comes back unchanged.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

struct HelperHitDTO {
    static constexpr std::string_view className = "HelperHitDTO";

    // One argument per field, in field order; there is no empty record.
    HelperHitDTO(std::string kind, std::uint64_t byteOffset, std::uint64_t byteLength, std::string suggestedName,
                 std::optional<std::string> reconstructedPath, std::int64_t width, std::int64_t height, std::string source,
                 bool isFragmented, bool clusterReallocated, std::uint32_t firstCluster, std::uint64_t partitionOffset,
                 std::string fileSystem, std::uint64_t secondOffset = 0, std::uint64_t secondLength = 0);
    HelperHitDTO() = delete;

    std::string kind;                              // a RecoveredFileKind name, such as "jpeg"
    std::uint64_t byteOffset;                      // first byte on the device
    std::uint64_t byteLength;
    std::string suggestedName;
    std::optional<std::string> reconstructedPath;  // directory path, when the hit has one
    std::int64_t width;                            // 0 without picture dimensions
    std::int64_t height;                           // 0 without picture dimensions
    std::string source;                            // a HitSource name
    bool isFragmented;
    bool clusterReallocated;
    std::uint32_t firstCluster;                    // 0 without a cluster hint
    std::uint64_t partitionOffset;                 // 0 without a cluster hint
    std::string fileSystem;                        // a DetectedFileSystem name; empty without a cluster hint
    std::uint64_t secondOffset;                    // a two-piece picture's second piece; 0 and 0 without one
    std::uint64_t secondLength;

    // The message form. "reconstructedPath" is written only when present.
    nlohmann::json encode() const;
    // The text of the message form, the very bytes encode().dump() gives (keys in order, invalid UTF-8 as
    // U+FFFD), written without building the JSON value.
    std::string encodeText() const;
    // The same text added to the end of out (a buffer kept from record to record).
    void appendText(std::string& out) const;
    // Reads a record's text as encodeText() writes it, from the start of text, into record (whose strings'
    // room is used again): answers the bytes it took, or 0 when it is not sure that decode() of the JSON
    // library's reading of it would accept it and give the same record (another key order, a missing key,
    // spaces, a value out of range...). What it answers 0 for is left to decode(), and record is then
    // unspecified.
    static std::size_t readText(std::string_view text, HelperHitDTO& record);
    // Why the message form would be refused by its receiver (a text too long or holding NUL), or nothing.
    std::optional<std::string> problem() const;

    // Reads the message form. A missing key takes its default ("unknown", 0, "file", no path,
    // "signatureCarve", false, ""), so an older sender still works. A key that is present must
    // have its type and range: strings as the protocol allows them, integers within 64 bits, and
    // "firstCluster" from 0 to 4294967295 (a larger value is refused, never cut to 32 bits).
    // Answers why the object is refused, through problem, or the record.
    static std::optional<HelperHitDTO> decode(const nlohmann::json& object, std::string* problem = nullptr);
    // Why decode() would refuse the object, or nothing; nothing is copied.
    static std::optional<std::string> check(const nlohmann::json& object);

    friend bool operator==(const HelperHitDTO&, const HelperHitDTO&) = default;
};

// A record's fields read where they are kept (a found hit's own strings, the tables of stored names), for a
// sender that writes the record at once: the text and the checks of the record it stands for, with no
// field copied. It must not outlive what it views.
struct HelperHitView {
    HelperHitView() = default;
    explicit HelperHitView(const HelperHitDTO& record);

    std::string_view kind;
    std::uint64_t byteOffset = 0;
    std::uint64_t byteLength = 0;
    std::string_view suggestedName;
    std::optional<std::string_view> reconstructedPath;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::string_view source;
    bool isFragmented = false;
    bool clusterReallocated = false;
    std::uint32_t firstCluster = 0;
    std::uint64_t partitionOffset = 0;
    std::string_view fileSystem;
    std::uint64_t secondOffset = 0;
    std::uint64_t secondLength = 0;

    // As HelperHitDTO::appendText and problem() of record().
    void appendText(std::string& out) const;
    std::optional<std::string> problem() const;
    // The record, its texts copied.
    HelperHitDTO record() const;
};

} // namespace vantrel
