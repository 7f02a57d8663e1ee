#include "recovery/filesystems/partitions/MediumIdentityReader.h"

#include "base/Utf8Text.h"
#include "recovery/filesystems/Utf16Text.h"
#include "recovery/filesystems/partitions/PartitionMap.h"

#include <array>
#include <bit>
#include <cstdio>

namespace vantrel::MediumIdentityReader {

namespace {

using namespace FieldReader;

// ---- SHA-256 (FIPS 180-4).

class Sha256 {
public:
    void add(ByteView bytes) {
        for (const auto byte : bytes) {
            m_block[m_used++] = byte;
            if (m_used == m_block.size()) compress();
        }
        m_bits += static_cast<std::uint64_t>(bytes.size()) * 8;
    }
    void addNumber(std::uint64_t value) {
        std::array<std::uint8_t, 8> bytes{};
        for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        add(bytes);
    }
    std::string hex() {
        const std::uint64_t bits = m_bits;
        const std::uint8_t one = 0x80;
        add(ByteView(&one, 1));
        const std::uint8_t zero = 0;
        while (m_used != 56) add(ByteView(&zero, 1));
        for (int i = 7; i >= 0; --i) {
            const auto byte = static_cast<std::uint8_t>(bits >> (8 * i));
            add(ByteView(&byte, 1));
        }
        std::string text;
        char digits[9];
        for (const auto word : m_state) {
            std::snprintf(digits, sizeof digits, "%08x", word);
            text += digits;
        }
        return text;
    }

private:
    void compress() {
        static constexpr std::array<std::uint32_t, 64> k = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
            0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
            0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
            0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
            0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
            0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::array<std::uint32_t, 64> w{};
        for (std::size_t i = 0; i < 16; ++i) w[i] = u32be(m_block, static_cast<std::int64_t>(4 * i));
        for (std::size_t i = 16; i < 64; ++i) {
            const auto s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const auto s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto s = m_state;
        for (std::size_t i = 0; i < 64; ++i) {
            const auto e1 = std::rotr(s[4], 6) ^ std::rotr(s[4], 11) ^ std::rotr(s[4], 25);
            const auto choose = (s[4] & s[5]) ^ (~s[4] & s[6]);
            const auto t1 = s[7] + e1 + choose + k[i] + w[i];
            const auto e0 = std::rotr(s[0], 2) ^ std::rotr(s[0], 13) ^ std::rotr(s[0], 22);
            const auto majority = (s[0] & s[1]) ^ (s[0] & s[2]) ^ (s[1] & s[2]);
            const auto t2 = e0 + majority;
            s = {t1 + t2, s[0], s[1], s[2], s[3] + t1, s[4], s[5], s[6]};
        }
        for (std::size_t i = 0; i < 8; ++i) m_state[i] += s[i];
        m_used = 0;
    }

    std::array<std::uint32_t, 8> m_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_used = 0;
    std::uint64_t m_bits = 0;
};

// ---- Fields.

constexpr std::int64_t bootSectorBytes = 512;
// A volume's boot sector and, at 1024, an ext superblock or an HFS+ volume header.
constexpr std::int64_t volumeHeadBytes = 2048;
constexpr std::int64_t superblock = 1024;
// The exFAT root folder's first cluster is searched for the label entry, up to this much of it.
constexpr std::int64_t maxLabelSearchBytes = 32 * 1024;
constexpr std::size_t maxExfatLabelUnits = 11;

std::string hexText(std::uint64_t value, int digits, bool upper) {
    char text[17];
    std::snprintf(text, sizeof text, upper ? "%0*llX" : "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// A GUID or UUID as the system's tools show it. Mixed endian (GPT GUIDs) stores the first three groups
// little-endian; big endian (ext's UUID) stores all bytes in order.
std::string uuidText(ByteView b, std::int64_t at, bool mixedEndian) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 16; ++i) bytes[i] = u8(b, at + static_cast<std::int64_t>(i));
    if (mixedEndian) {
        std::swap(bytes[0], bytes[3]);
        std::swap(bytes[1], bytes[2]);
        std::swap(bytes[4], bytes[5]);
        std::swap(bytes[6], bytes[7]);
    }
    std::string text;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += hexText(bytes[i], 2, false);
    }
    return text;
}

bool allZero(ByteView b, std::int64_t at, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i)
        if (u8(b, at + i) != 0) return false;
    return true;
}

// A fixed-width label: up to the first NUL, trailing blanks cut; none when empty or "NO NAME". Control
// bytes and bytes that are not UTF-8 (a FAT label in a DOS code page) become '_', so that the label is
// always text.
std::optional<std::string> labelText(ByteView b, std::int64_t at, std::int64_t width) {
    std::string raw;
    for (std::int64_t i = 0; i < width; ++i) {
        const auto c = u8(b, at + i);
        if (c == 0) break;
        raw += static_cast<char>(c);
    }
    std::string text;
    for (std::size_t i = 0; i < raw.size();) {
        const auto length = Utf8Text::sequenceLength(raw, i);
        const auto c = static_cast<unsigned char>(raw[i]);
        if (length == 0 || c < 0x20 || c == 0x7F) {
            text += '_';
            ++i;
        } else {
            text.append(raw, i, length);
            i += length;
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.empty() || text == "NO NAME") return std::nullopt;
    return text;
}

// The bytes with the given [start, end) spans left out of the hash (set to zero).
void addMasked(Sha256& hash, ByteView b, std::int64_t count, std::initializer_list<std::pair<std::int64_t, std::int64_t>> masks) {
    Bytes copy(b.begin(), b.begin() + std::min<std::int64_t>(count, static_cast<std::int64_t>(b.size())));
    copy.resize(static_cast<std::size_t>(count), 0);
    for (const auto& [start, end] : masks)
        for (auto i = start; i < end && i < count; ++i) copy[static_cast<std::size_t>(i)] = 0;
    hash.add(copy);
}

bool isFatBootSector(ByteView b) {
    const auto bytesPerSector = u16le(b, 11);
    const auto sectorsPerCluster = u8(b, 13);
    if (u16le(b, 510) != 0xAA55) return false;
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !std::has_single_bit(bytesPerSector)) return false;
    if (!std::has_single_bit(sectorsPerCluster)) return false;
    // Reserved sectors and FATs: a FAT volume has at least one of each.
    return u16le(b, 14) != 0 && u8(b, 16) != 0;
}

// The exFAT volume label: the 0x83 entry of the root folder's first cluster.
std::optional<std::string> exfatLabel(ByteSource& source, std::uint64_t volumeOffset, ByteView boot) {
    const auto sectorShift = u8(boot, 108);
    const auto clusterShift = u8(boot, 109);
    // Sector sizes are 2^9 to 2^12 and clusters at most 32 MiB.
    if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift > 25) return std::nullopt;
    const std::uint64_t sectorBytes = 1ull << sectorShift;
    const std::uint64_t clusterBytes = sectorBytes << clusterShift;
    const std::uint64_t heapOffset = u32le(boot, 88);
    const std::uint64_t rootCluster = u32le(boot, 96);
    if (rootCluster < 2) return std::nullopt;
    const std::uint64_t relative = heapOffset * sectorBytes + (rootCluster - 2) * clusterBytes;
    // The folder must start before the device ends.
    if (relative >= source.length() || volumeOffset >= source.length() - relative) return std::nullopt;
    const auto count = static_cast<std::int64_t>(std::min<std::uint64_t>(clusterBytes, maxLabelSearchBytes));
    const Bytes folder = source.read(volumeOffset + relative, count);
    for (std::int64_t entry = 0; entry + 32 <= static_cast<std::int64_t>(folder.size()); entry += 32) {
        const auto type = u8(folder, entry);
        if (type == 0x00) break;  // the end of the folder
        if (type != 0x83) continue;
        const auto units = std::min<std::size_t>(u8(folder, entry + 1), maxExfatLabelUnits);
        std::vector<std::uint16_t> name;
        for (std::size_t i = 0; i < units; ++i) name.push_back(u16le(folder, entry + 2 + static_cast<std::int64_t>(2 * i)));
        auto text = utf8FromUtf16(name);
        if (text.empty() || text.size() > MediumIdentity::maxFieldBytes) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

// Adds the volume at range to the hash; its record when its file system is one this reader knows.
std::optional<MediumIdentity::Volume> readVolume(ByteSource& source, const PartitionMap::ByteRange& range, Sha256& hash) {
    const Bytes head = source.read(range.offset, volumeHeadBytes);
    const ByteView b = head;
    MediumIdentity::Volume volume;
    volume.offset = range.offset;
    if (matches(b, 3, "EXFAT   ")) {
        volume.fileSystem = "exfat";
        const auto sectorShift = u8(b, 108);
        if (sectorShift >= 9 && sectorShift <= 12) volume.sizeBytes = u64le(b, 72) << sectorShift;
        volume.serial = hexText(u32le(b, 100) >> 16, 4, true) + "-" + hexText(u32le(b, 100) & 0xFFFF, 4, true);
        // VolumeFlags (106, 2 bytes: dirty, active FAT) and PercentInUse (112) change with use.
        addMasked(hash, b, bootSectorBytes, {{106, 108}, {112, 113}});
        volume.label = exfatLabel(source, range.offset, b);
    } else if (matches(b, 3, "NTFS    ")) {
        volume.fileSystem = "ntfs";
        volume.sizeBytes = u64le(b, 40) * u16le(b, 11);
        volume.serial = hexText(u64le(b, 72), 16, true);
        addMasked(hash, b, bootSectorBytes, {});
    } else if (isFatBootSector(b)) {
        const bool fat32 = u16le(b, 22) == 0;  // FAT32 keeps its FAT size at 36, FAT12/16 at 22
        const std::int64_t extended = fat32 ? 64 : 36;  // the extended boot record: drive, reserved, 0x29, id, label
        volume.fileSystem = fat32 ? "fat32" : matches(b, 54, "FAT12") ? "fat12" : "fat16";
        const std::uint64_t sectors = u16le(b, 19) != 0 ? u16le(b, 19) : u32le(b, 32);
        volume.sizeBytes = sectors * u16le(b, 11);
        if (u8(b, extended + 2) == 0x29) {
            const auto id = u32le(b, extended + 3);
            volume.serial = hexText(id >> 16, 4, true) + "-" + hexText(id & 0xFFFF, 4, true);
            volume.label = labelText(b, extended + 7, 11);
        }
        // The reserved byte after the drive number holds the dirty flags; the label may be renamed.
        addMasked(hash, b, bootSectorBytes, {{extended + 1, extended + 2}, {extended + 7, extended + 18}});
    } else if (u16le(b, superblock + 56) == 0xEF53) {
        volume.fileSystem = "ext";
        const auto logBlock = u32le(b, superblock + 24);
        if (logBlock <= 6) {
            const std::uint64_t blocks = u32le(b, superblock + 4) |
                                         ((u32le(b, superblock + 96) & 0x80) != 0 ? std::uint64_t(u32le(b, superblock + 336)) << 32 : 0);
            volume.sizeBytes = blocks << (10 + logBlock);
        }
        if (!allZero(b, superblock + 104, 16)) volume.serial = uuidText(b, superblock + 104, false);
        volume.label = labelText(b, superblock + 120, 16);
        // Only the fields a mount leaves alone: the UUID, block size and block count.
        for (std::int64_t i = 0; i < 16; ++i) hash.addNumber(u8(b, superblock + 104 + i));
        hash.addNumber(logBlock);
        hash.addNumber(volume.sizeBytes);
    } else if (u16be(b, superblock) == 0x482B || u16be(b, superblock) == 0x4858) {
        volume.fileSystem = "hfsPlus";
        volume.sizeBytes = std::uint64_t(u32be(b, superblock + 40)) * u32be(b, superblock + 44);
        const auto volumeId = u64be(b, superblock + 80 + 24);
        if (volumeId != 0) volume.serial = hexText(volumeId, 16, true);
        // Signature, creation date, block size, block count and the 64-bit volume id.
        for (const std::int64_t at : {superblock, superblock + 16, superblock + 40, superblock + 44})
            hash.addNumber(u32be(b, at));
        hash.addNumber(volumeId);
    } else {
        return std::nullopt;
    }
    return volume;
}

} // namespace

std::string sha256Hex(ByteView bytes) {
    Sha256 hash;
    hash.add(bytes);
    return hash.hex();
}

MediumIdentity read(ByteSource& source, Options options) {
    MediumIdentity identity;
    identity.deviceBytes = source.length();
    identity.sectorBytes = source.blockSize();
    Sha256 hash;
    hash.addNumber(identity.deviceBytes);
    hash.addNumber(identity.sectorBytes);
    bool structureSeen = false;

    const auto ranges = PartitionMap::partitionRanges(source);
    const bool partitioned = !(ranges.size() == 1 && ranges.front().offset == 0);
    if (partitioned && identity.deviceBytes >= bootSectorBytes) {
        const Bytes sector = source.read(0, bootSectorBytes);
        hash.add(sector);
        structureSeen = true;
        const std::uint64_t lba = std::clamp<std::uint64_t>(identity.sectorBytes, 512, PartitionMap::maxMapSectorBytes);
        const Bytes header = lba < identity.deviceBytes ? source.read(lba, 92) : Bytes();
        if (matches(header, 0, "EFI PART")) {
            hash.add(header);
            identity.partitionTableId = uuidText(header, 56, true);
        } else if (const auto signature = u32le(sector, 440); signature != 0) {
            identity.partitionTableId = hexText(signature, 8, false);
        }
    }
    std::size_t hashed = 0;
    for (const auto& range : ranges) {
        if (++hashed > maxRangesHashed) break;
        hash.addNumber(range.offset);
        if (range.offset >= identity.deviceBytes) continue;
        auto volume = readVolume(source, range, hash);
        if (!volume) continue;
        structureSeen = true;
        if (identity.volumes.size() < MediumIdentity::maxVolumes) identity.volumes.push_back(std::move(*volume));
    }
    if (!structureSeen && options.fingerprintHeadWhenUnknown && identity.deviceBytes > 0) {
        hash.add(source.read(0, headFallbackBytes));
        structureSeen = true;
    }
    if (structureSeen) identity.fingerprint = hash.hex();
    return identity;
}

} // namespace vantrel::MediumIdentityReader
