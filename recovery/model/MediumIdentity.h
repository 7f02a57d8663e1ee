#pragma once
// What a medium says of itself: the identity of a disk (or of an image file) read from its own bytes,
// which stays while the card is used and changes when it is partitioned or formatted anew. A kernel
// name is handed to whatever is attached next, a card reader gives every card in it the same serial
// number and two cards of one model have the same size; none of those tells one card from another.
//
// The fingerprint is a SHA-256 over the bytes that using a card does not change: the device's size,
// the partition-table sector (and a GPT's header), and each volume's boot sector or superblock with the
// fields that a mount or a write changes left out (FAT's dirty flags and label, exFAT's volume flags and
// use percentage, only the stable fields of an ext superblock or an HFS+ volume header). Each volume's
// serial number is inside those bytes, so two cards formatted apart never share it by chance.
//
// Stored form (a JSON object; keys sorted, absent optionals left out):
//   "deviceBytes"       unsigned integer: the device's (or file's) length
//   "fingerprint"       64 hexadecimal digits
//   "partitionTableId"  text, optional: the MBR disk signature ("1a2b3c4d") or the GPT disk GUID
//   "sectorBytes"       unsigned integer: the logical sector size
//   "volumes"           list of objects: "fileSystem", "label" (optional), "offset", "serial" (optional),
//                       "sizeBytes"
// The form is read from a catalog or a helper's reply, so reading bounds every text and list.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel {

class MediumIdentityDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MediumIdentity {
    // A card holds a handful of partitions; more are not recorded (the fingerprint covers them all).
    static constexpr std::size_t maxVolumes = 8;
    // FAT labels are 11 bytes, exFAT's 15 UTF-16 units, ext's 16 bytes; serials and GUIDs are shorter.
    static constexpr std::size_t maxFieldBytes = 64;
    static constexpr std::size_t fingerprintHexDigits = 64;

    struct Volume {
        std::uint64_t offset = 0;
        std::uint64_t sizeBytes = 0;
        std::string fileSystem;             // "fat12", "fat16", "fat32", "exfat", "ntfs", "ext", "hfsPlus"
        std::optional<std::string> serial;  // as the system's tools show it: "1A2B-3C4D", a UUID
        std::optional<std::string> label;
        friend bool operator==(const Volume&, const Volume&) = default;
    };

    std::uint64_t deviceBytes = 0;
    std::uint64_t sectorBytes = 512;
    std::optional<std::string> partitionTableId;
    std::vector<Volume> volumes;
    std::string fingerprint;

    friend bool operator==(const MediumIdentity&, const MediumIdentity&) = default;

    // The same medium: the same size, sector size and fingerprint. Labels are not compared: a card
    // that was renamed is still the card.
    bool sameMedium(const MediumIdentity& other) const {
        return !fingerprint.empty() && fingerprint == other.fingerprint && deviceBytes == other.deviceBytes &&
               sectorBytes == other.sectorBytes;
    }

    nlohmann::json toJson() const;
    // Throws MediumIdentityDecodingError for anything but the stored form within its bounds.
    static MediumIdentity fromJson(const nlohmann::json& value);
};

} // namespace vantrel
