// TIFF directory walk (TIFF Revision 6.0, sections 2 and 3; Olympus ORF uses the magic "RO" or "RS"
// in place of 42).
//
// Header, in the byte order its first two bytes state:
//    0  2  "II" (little-endian) or "MM" (big-endian)
//    2  2  magic: 42; 0x4F52 ("RO"/"OR", either order); 0x5352 ("RS", little-endian only)
//    4  4  offset of the first directory: 8 to maxFirstDirectoryOffset, with the count and first
//          entry's start (6 bytes) inside the buffer
// Directory at offset o:
//    o        2  entry count n, 1 to maxEntriesPerDirectory
//    o+2     12n entries: tag (2), field type (2), value count (4), value or value offset (4); a value
//                of at most 4 bytes is stored left-justified in the last field
//    o+2+12n  4  offset of the next directory, 0 for none
//
// Hostile files are bounded by the walk's limits: at most maxDirectories parsed directories out of at
// most maxDirectoryParses attempts, each at most maxEntriesPerDirectory entries, at most
// maxListValues values read from a strip, tile or SubIFDs list, and a visited set against loops.

#include "recovery/carving/formats/TIFFMetadata.h"

#include "base/Bounds.h"

#include <algorithm>
#include <vector>

namespace vantrel::TIFFMetadata {

namespace {

constexpr std::uint64_t minFirstDirectoryOffset = 8;
// Real files place their first directory near the start; this bounds the bytes a caller must read.
constexpr std::uint64_t maxFirstDirectoryOffset = 0xFFFFF;
constexpr std::uint16_t maxEntriesPerDirectory = 512;
// A larger value count is taken for garbage rather than a real array.
constexpr std::uint32_t maxValuesPerEntry = 15'999'999;
constexpr std::size_t maxDirectories = 16;
// Invalid directories do not count towards maxDirectories, so the attempts have a cap of their own.
constexpr std::size_t maxDirectoryParses = 64;
// Strips are at least one row each, and a picture is at most 65,536 rows high; more values than this
// in one strip or tile list (or SubIFDs) are not read, so a crafted array costs a bounded walk.
constexpr std::uint32_t maxListValues = 65'536;
constexpr std::size_t maxSubIFDsPerDirectory = 64;
constexpr std::int64_t maxSidePixels = 65'536;
constexpr std::uint64_t minEstimatedFileBytes = 64;
constexpr std::uint64_t entryBytes = 12;
constexpr std::uint64_t inlineValueBytes = 4;

enum class ByteOrder : std::uint8_t { little, big };

namespace Tag {
constexpr std::uint16_t imageWidth = 256;
constexpr std::uint16_t imageLength = 257;
constexpr std::uint16_t make = 271;
constexpr std::uint16_t stripOffsets = 273;
constexpr std::uint16_t stripByteCounts = 279;
constexpr std::uint16_t tileOffsets = 324;
constexpr std::uint16_t tileByteCounts = 325;
constexpr std::uint16_t subIFDs = 330;
constexpr std::uint16_t jpegInterchangeFormat = 513;
constexpr std::uint16_t jpegInterchangeFormatLength = 514;
constexpr std::uint16_t dateTime = 306;
constexpr std::uint16_t exifIFD = 34665;
constexpr std::uint16_t dateTimeOriginal = 36867;
constexpr std::uint16_t dateTimeDigitized = 36868;
constexpr std::uint16_t offsetTime = 36880;
constexpr std::uint16_t offsetTimeOriginal = 36881;
constexpr std::uint16_t offsetTimeDigitized = 36882;
} // namespace Tag

// A date text is 20 bytes and an offset 7; longer values are not dates.
constexpr std::uint32_t maxTimeTextBytes = 64;

constexpr std::uint16_t asciiType = 2;

// Bytes per value of the TIFF 6.0 field types; any other type is invalid.
constexpr std::optional<std::uint32_t> fieldTypeBytes(std::uint16_t type) {
    switch (type) {
    case 1: return 1;   // BYTE
    case 2: return 1;   // ASCII
    case 3: return 2;   // SHORT
    case 4: return 4;   // LONG
    case 5: return 8;   // RATIONAL
    case 6: return 1;   // SBYTE
    case 7: return 1;   // UNDEFINED
    case 8: return 2;   // SSHORT
    case 9: return 4;   // SLONG
    case 10: return 8;  // SRATIONAL
    case 11: return 4;  // FLOAT
    case 12: return 8;  // DOUBLE
    default: return std::nullopt;
    }
}

struct Header {
    ByteOrder order = ByteOrder::little;
    std::uint64_t firstDirectory = 0;
};

// Fields of the file's byte order, 0 outside the buffer.
struct Reader {
    ByteView buffer;
    ByteOrder order;

    std::uint8_t u8(std::uint64_t at) const { return FieldReader::u8(buffer, signedOffset(at)); }
    std::uint16_t u16(std::uint64_t at) const {
        return order == ByteOrder::little ? FieldReader::u16le(buffer, signedOffset(at))
                                          : FieldReader::u16be(buffer, signedOffset(at));
    }
    std::uint32_t u32(std::uint64_t at) const {
        return order == ByteOrder::little ? FieldReader::u32le(buffer, signedOffset(at))
                                          : FieldReader::u32be(buffer, signedOffset(at));
    }

private:
    // Offsets here are at most 2^32 + 2^27 and so always positive as signed values.
    static std::int64_t signedOffset(std::uint64_t at) { return static_cast<std::int64_t>(at); }
};

struct Entry {
    std::uint64_t offset = 0;  // of the entry itself
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint32_t typeBytes = 0;
    std::uint64_t valuesStart = 0;  // the value field itself, or the out-of-line offset it holds

    std::uint64_t byteSize() const { return std::uint64_t{typeBytes} * count; }
    bool isInline() const { return byteSize() <= inlineValueBytes; }

    // Value i, 0 <= i < count: 1-, 2- and 4-byte types whole, 8-byte types (rationals, doubles) as
    // the 32 bits of their first half.
    std::uint64_t value(const Reader& reader, std::uint32_t i) const {
        const std::uint64_t at = valuesStart + std::uint64_t{typeBytes} * i;
        switch (typeBytes) {
        case 1: return reader.u8(at);
        case 2: return reader.u16(at);
        default: return reader.u32(at);
        }
    }
};

// What one directory contributes to the walk's results.
struct IFDInfo {
    std::uint64_t directoryEnd = 0;       // o + 2 + 12n + 4: the entries and the next-directory offset
    std::uint64_t nextIFD = 0;            // 0 for none
    std::optional<std::int64_t> imageWidth;
    std::optional<std::int64_t> imageHeight;
    std::uint64_t maxReferencedEnd = 0;   // furthest end of any out-of-line value, at least directoryEnd
    std::optional<std::uint64_t> largestDataExtent;  // furthest end of a strip, tile or embedded JPEG
    std::vector<std::uint64_t> subIFDOffsets;
    std::optional<std::string> make;
};

std::optional<Header> parseHeader(ByteView buffer) {
    if (buffer.size() < 8) return std::nullopt;
    Header header;
    if (FieldReader::matches(buffer, 0, "II")) {
        header.order = ByteOrder::little;
    } else if (FieldReader::matches(buffer, 0, "MM")) {
        header.order = ByteOrder::big;
    } else {
        return std::nullopt;
    }
    const Reader reader{buffer, header.order};
    const std::uint16_t magic = reader.u16(2);
    const bool knownMagic = magic == 42 || magic == 0x4F52 || (magic == 0x5352 && header.order == ByteOrder::little);
    if (!knownMagic) return std::nullopt;
    header.firstDirectory = reader.u32(4);
    if (header.firstDirectory < minFirstDirectoryOffset || header.firstDirectory > maxFirstDirectoryOffset)
        return std::nullopt;
    if (!fitsWithin(header.firstDirectory, 6, buffer.size())) return std::nullopt;
    return header;
}

// Make text: the bytes without zero bytes, or nothing when one is not ASCII.
std::optional<std::string> asciiText(const Reader& reader, const Entry& entry) {
    std::string text;
    for (std::uint32_t i = 0; i < entry.count; ++i) {
        const std::uint8_t byte = reader.u8(entry.valuesStart + i);
        if (byte == 0) continue;
        if (byte > 0x7F) return std::nullopt;
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

// Adds offset[i] + length[i] for every pair of the two lists to the IFD's largest data extent.
void addExtents(const Reader& reader, const Entry* offsets, const Entry* lengths, IFDInfo& info) {
    if (offsets == nullptr || lengths == nullptr) return;
    const std::uint32_t pairs = std::min({offsets->count, lengths->count, maxListValues});
    for (std::uint32_t i = 0; i < pairs; ++i) {
        // Two values of at most 32 bits: the sum cannot overflow 64 bits.
        const std::uint64_t end = offsets->value(reader, i) + lengths->value(reader, i);
        info.largestDataExtent = std::max(info.largestDataExtent.value_or(0), end);
    }
}

std::optional<IFDInfo> parseIFD(const Reader& reader, std::uint64_t o, bool readMake) {
    const std::uint64_t size = reader.buffer.size();
    const std::uint16_t n = reader.u16(o);
    if (n < 1 || n > maxEntriesPerDirectory) return std::nullopt;
    const std::uint64_t entriesEnd = o + 2 + entryBytes * n;
    if (entriesEnd + 4 > size) return std::nullopt;

    IFDInfo info;
    info.directoryEnd = entriesEnd + 4;
    info.maxReferencedEnd = info.directoryEnd;
    // A repeated list tag replaces the earlier list, so only the last entry of each is kept and its
    // values read once, after every entry has passed its checks.
    const Entry* stripOffsets = nullptr;
    const Entry* stripByteCounts = nullptr;
    const Entry* tileOffsets = nullptr;
    const Entry* tileByteCounts = nullptr;
    const Entry* subIFDs = nullptr;
    std::optional<std::uint64_t> jpegOffset;
    std::optional<std::uint64_t> jpegLength;
    std::vector<Entry> entries(n);

    for (std::uint16_t i = 0; i < n; ++i) {
        Entry& entry = entries[i];
        entry.offset = o + 2 + entryBytes * i;
        entry.tag = reader.u16(entry.offset);
        entry.type = reader.u16(entry.offset + 2);
        entry.count = reader.u32(entry.offset + 4);
        const auto typeBytes = fieldTypeBytes(entry.type);
        if (!typeBytes) return std::nullopt;
        if (entry.count > maxValuesPerEntry) return std::nullopt;
        entry.typeBytes = *typeBytes;
        const bool isListTag = entry.tag == Tag::stripOffsets || entry.tag == Tag::stripByteCounts ||
                               entry.tag == Tag::tileOffsets || entry.tag == Tag::tileByteCounts ||
                               entry.tag == Tag::subIFDs;
        if (entry.isInline()) {
            entry.valuesStart = entry.offset + 8;
            info.maxReferencedEnd = std::max(info.maxReferencedEnd, entry.offset + entryBytes);
        } else {
            entry.valuesStart = reader.u32(entry.offset + 8);
            const std::uint64_t end = entry.valuesStart + entry.byteSize();
            info.maxReferencedEnd = std::max(info.maxReferencedEnd, end);
            if (end > size) {
                // Image data that cannot be located makes the directory useless; any other
                // value that runs past the buffer is left unread.
                if (isListTag) return std::nullopt;
                continue;
            }
        }
        switch (entry.tag) {
        case Tag::imageWidth:
            if (entry.count > 0) info.imageWidth = static_cast<std::int64_t>(entry.value(reader, 0));
            break;
        case Tag::imageLength:
            if (entry.count > 0) info.imageHeight = static_cast<std::int64_t>(entry.value(reader, 0));
            break;
        case Tag::make:
            // Another type leaves an earlier Make in place.
            if (readMake && entry.type == asciiType) info.make = asciiText(reader, entry);
            break;
        case Tag::stripOffsets: stripOffsets = &entry; break;
        case Tag::stripByteCounts: stripByteCounts = &entry; break;
        case Tag::tileOffsets: tileOffsets = &entry; break;
        case Tag::tileByteCounts: tileByteCounts = &entry; break;
        case Tag::subIFDs: subIFDs = &entry; break;
        case Tag::jpegInterchangeFormat:
            jpegOffset = entry.count > 0 ? std::optional<std::uint64_t>(entry.value(reader, 0)) : std::nullopt;
            break;
        case Tag::jpegInterchangeFormatLength:
            jpegLength = entry.count > 0 ? std::optional<std::uint64_t>(entry.value(reader, 0)) : std::nullopt;
            break;
        default:
            break;
        }
    }

    info.nextIFD = reader.u32(entriesEnd);
    addExtents(reader, stripOffsets, stripByteCounts, info);
    addExtents(reader, tileOffsets, tileByteCounts, info);
    if (jpegOffset && jpegLength && *jpegLength != 0)
        info.largestDataExtent = std::max(info.largestDataExtent.value_or(0), *jpegOffset + *jpegLength);
    if (subIFDs != nullptr) {
        const auto count = std::min<std::size_t>(subIFDs->count, maxSubIFDsPerDirectory);
        for (std::uint32_t i = 0; i < count; ++i) info.subIFDOffsets.push_back(subIFDs->value(reader, i));
    }
    return info;
}

// Depth-first over next-directory and SubIFDs links, last pushed first, each offset once.
std::vector<IFDInfo> walkIFDs(ByteView buffer) {
    std::vector<IFDInfo> results;
    const auto header = parseHeader(buffer);
    if (!header) return results;
    const Reader reader{buffer, header->order};
    const std::uint64_t size = buffer.size();
    std::vector<std::uint64_t> pending{header->firstDirectory};
    std::vector<std::uint64_t> visited;
    while (!pending.empty() && results.size() < maxDirectories && visited.size() < maxDirectoryParses) {
        const std::uint64_t offset = pending.back();
        pending.pop_back();
        if (offset == 0 || offset > size) continue;
        if (std::find(visited.begin(), visited.end(), offset) != visited.end()) continue;
        visited.push_back(offset);
        auto info = parseIFD(reader, offset, false);
        if (!info) continue;
        if (info->nextIFD != 0 && info->nextIFD <= size) pending.push_back(info->nextIFD);
        for (const std::uint64_t sub : info->subIFDOffsets)
            if (sub != 0 && sub <= size) pending.push_back(sub);
        results.push_back(std::move(*info));
    }
    return results;
}

// The ASCII value of an entry up to its first zero byte, when it lies inside the buffer and is short.
std::optional<std::string> timeText(const Reader& reader, std::uint64_t entryOffset) {
    if (reader.u16(entryOffset + 2) != asciiType) return std::nullopt;
    const std::uint32_t count = reader.u32(entryOffset + 4);
    if (count == 0 || count > maxTimeTextBytes) return std::nullopt;
    const std::uint64_t start = count <= inlineValueBytes ? entryOffset + 8 : reader.u32(entryOffset + 8);
    if (!fitsWithin(start, count, reader.buffer.size())) return std::nullopt;
    std::string text;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t byte = reader.u8(start + i);
        if (byte == 0) break;
        if (byte > 0x7F) return std::nullopt;
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

// Calls visit(tag, entry offset) for each entry of the directory at o; false when its entries do not
// lie inside the buffer.
template <typename Visit>
bool forEachEntry(const Reader& reader, std::uint64_t o, Visit&& visit) {
    const std::uint16_t n = reader.u16(o);
    if (n < 1 || n > maxEntriesPerDirectory) return false;
    if (!fitsWithin(o + 2, entryBytes * n, reader.buffer.size())) return false;
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::uint64_t entry = o + 2 + entryBytes * i;
        visit(reader.u16(entry), entry);
    }
    return true;
}

} // namespace

CaptureTimes captureTimes(ByteView buffer) {
    CaptureTimes times;
    const auto header = parseHeader(buffer);
    if (!header) return times;
    const Reader reader{buffer, header->order};
    std::optional<std::uint64_t> exifDirectory;
    forEachEntry(reader, header->firstDirectory, [&](std::uint16_t tag, std::uint64_t entry) {
        if (tag == Tag::dateTime) times.dateTime = timeText(reader, entry);
        if (tag == Tag::exifIFD) exifDirectory = reader.u32(entry + 8);
        if (tag == Tag::offsetTime) times.offsetTime = timeText(reader, entry);
    });
    // The EXIF directory follows the header; one pointing back at the first directory holds nothing new.
    if (!exifDirectory || *exifDirectory < minFirstDirectoryOffset || *exifDirectory == header->firstDirectory)
        return times;
    forEachEntry(reader, *exifDirectory, [&](std::uint16_t tag, std::uint64_t entry) {
        switch (tag) {
        case Tag::dateTimeOriginal: times.dateTimeOriginal = timeText(reader, entry); break;
        case Tag::dateTimeDigitized: times.dateTimeDigitized = timeText(reader, entry); break;
        case Tag::offsetTime: times.offsetTime = timeText(reader, entry); break;
        case Tag::offsetTimeOriginal: times.offsetTimeOriginal = timeText(reader, entry); break;
        case Tag::offsetTimeDigitized: times.offsetTimeDigitized = timeText(reader, entry); break;
        default: break;
        }
    });
    return times;
}

std::optional<ImageDimensions> dimensions(ByteView buffer) {
    std::optional<ImageDimensions> best;
    std::int64_t bestArea = 0;
    for (const IFDInfo& info : walkIFDs(buffer)) {
        if (!info.imageWidth || !info.imageHeight) continue;
        const std::int64_t width = *info.imageWidth;
        const std::int64_t height = *info.imageHeight;
        if (width < 1 || width > maxSidePixels || height < 1 || height > maxSidePixels) continue;
        // At most 2^32: no overflow. Strictly larger, so the earlier directory keeps a tie.
        if (width * height > bestArea) {
            bestArea = width * height;
            best = ImageDimensions{width, height};
        }
    }
    return best;
}

std::optional<std::uint64_t> estimatedFileLength(ByteView buffer) {
    const std::vector<IFDInfo> directories = walkIFDs(buffer);
    std::uint64_t end = 0;
    bool hasSize = false;
    bool hasData = false;
    for (const IFDInfo& info : directories) {
        end = std::max({end, info.directoryEnd, info.maxReferencedEnd, info.largestDataExtent.value_or(0)});
        hasSize = hasSize || (info.imageWidth && info.imageHeight);
        hasData = hasData || info.largestDataExtent.has_value();
    }
    if (!hasSize || !hasData || end < minEstimatedFileBytes) return std::nullopt;
    return end;
}

bool looksValid(ByteView buffer) {
    return estimatedFileLength(buffer).has_value();
}

std::optional<std::string> makeString(ByteView buffer) {
    const auto header = parseHeader(buffer);
    if (!header) return std::nullopt;
    const auto info = parseIFD(Reader{buffer, header->order}, header->firstDirectory, true);
    if (!info) return std::nullopt;
    return info->make;
}

} // namespace vantrel::TIFFMetadata
