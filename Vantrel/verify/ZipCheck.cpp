#include "Vantrel/verify/ZipCheck.h"

#include "base/Bounds.h"
#include "Vantrel/verify/InflateStream.h"
#include "recovery/carving/formats/ZipDirectory.h"

#include <algorithm>

namespace vantrel::ZipCheck {

namespace {

using IntegrityCheck::Decode;
using ZipDirectory::Record;

constexpr std::uint32_t zip64Marker = 0xFFFFFFFF;

// The result of one entry; spent when the inflation budget ran out before it was judged.
enum class Entry { sound, cut, bad, spent };

// Inflates raw deflate data (section 4.4.5, method 8) to its end, which it must reach inside the data,
// giving the expected length and CRC. Data that the bytes cut (cut true) is inflated as far as it goes:
// cut unless it is bad before it ends.
Entry inflateEntry(ByteView data, const Record& expected, std::uint64_t& budget, bool cut) {
    const auto inflated = InflateStream::inflate(data, InflateStream::Wrapping::raw, budget);
    if (inflated.end == InflateStream::End::overBudget) {
        budget = 0;
        return Entry::spent;
    }
    budget -= inflated.producedBytes;
    if (cut) return inflated.end == InflateStream::End::bad ? Entry::bad : Entry::cut;
    return inflated.end == InflateStream::End::complete && inflated.producedBytes == expected.uncompressedSize &&
                   inflated.crc == expected.crc
               ? Entry::sound
               : Entry::bad;
}

// The entry whose local header lies at headerOffset, against what the directory (or its own header)
// says of it.
Entry checkEntry(ByteView bytes, std::uint64_t headerOffset, const Record& expected, std::uint64_t& budget) {
    if (headerOffset >= bytes.size()) return Entry::cut;
    const ByteView rest = bytes.subspan(headerOffset);
    const auto local = ZipDirectory::localHeader(rest);
    if (!local) return rest.size() < ZipDirectory::localFixedBytes + FieldReader::u16le(rest, 26) ? Entry::cut : Entry::bad;
    if (local->method != expected.method) return Entry::bad;
    if (!expected.name.empty() && !std::equal(local->name.begin(), local->name.end(), expected.name.begin(), expected.name.end()))
        return Entry::bad;
    // Encrypted data has no CRC to check without its password; other methods are not inflated here.
    if ((expected.flags & ZipDirectory::encryptedFlag) != 0) return Entry::sound;
    if (expected.method != ZipDirectory::storedMethod && expected.method != ZipDirectory::deflatedMethod) return Entry::sound;
    const std::uint64_t dataStart = headerOffset + local->dataOffset;
    if (dataStart > bytes.size()) return Entry::cut;
    const bool cut = !fitsWithin(dataStart, expected.compressedSize, bytes.size());
    const ByteView data = bytes.subspan(dataStart, std::min(expected.compressedSize, bytes.size() - dataStart));
    if (expected.method == ZipDirectory::deflatedMethod) return inflateEntry(data, expected, budget, cut);
    if (cut) return Entry::cut;
    if (expected.compressedSize != expected.uncompressedSize) return Entry::bad;
    if (data.size() > budget) {
        budget = 0;
        return Entry::spent;
    }
    budget -= data.size();
    return InflateStream::crc32Of(data) == expected.crc ? Entry::sound : Entry::bad;
}

// Through the central directory the end record places inside the bytes.
Decode byDirectory(ByteView bytes, const ZipDirectory::EndRecord& end) {
    const ByteView directory = bytes.subspan(end.directoryOffset, end.directorySize);
    std::uint64_t budget = maxInflatedBytes;
    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < std::min(end.records, maxEntries); ++i) {
        const auto record = ZipDirectory::record(directory, pos);
        if (!record) return Decode::bad;
        // Sizes of a ZIP64 entry are in its extra field, not read here.
        if (record->zip64) continue;
        if (record->localHeaderOffset >= end.directoryOffset) return Decode::bad;
        switch (checkEntry(bytes, record->localHeaderOffset, *record, budget)) {
        case Entry::sound: break;
        // The directory lies inside the bytes, and every entry before it.
        case Entry::cut:
        case Entry::bad: return Decode::bad;
        case Entry::spent: return Decode::clean;
        }
    }
    return Decode::clean;
}

// Local header after local header from the start, while their sizes are in them. reachedDirectory is
// the verdict on meeting the central directory.
Decode byLocalHeaders(ByteView bytes, Decode reachedDirectory) {
    std::uint64_t budget = maxInflatedBytes;
    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < maxEntries; ++i) {
        if (FieldReader::matches(bytes, static_cast<std::int64_t>(pos), "PK\x01\x02") ||
            FieldReader::matches(bytes, static_cast<std::int64_t>(pos), "PK\x05\x06"))
            return reachedDirectory;
        const ByteView rest = bytes.subspan(std::min<std::uint64_t>(pos, bytes.size()));
        if (rest.size() < 4) return Decode::cut;
        const auto local = ZipDirectory::localHeader(rest);
        if (!local) return rest.size() < ZipDirectory::localFixedBytes + FieldReader::u16le(rest, 26) ? Decode::cut : Decode::bad;
        // The header is its own reference: its name is not compared.
        Record expected;
        expected.flags = local->flags;
        expected.method = local->method;
        expected.crc = FieldReader::u32le(rest, 14);
        expected.compressedSize = FieldReader::u32le(rest, 18);
        expected.uncompressedSize = FieldReader::u32le(rest, 22);
        // Sizes written after the data, or in a ZIP64 extra field: the next header cannot be found here.
        if ((local->flags & ZipDirectory::dataDescriptorFlag) != 0 || expected.compressedSize == zip64Marker ||
            expected.uncompressedSize == zip64Marker)
            return Decode::cut;
        switch (checkEntry(bytes, pos, expected, budget)) {
        case Entry::sound: break;
        case Entry::cut: return Decode::cut;
        case Entry::bad: return Decode::bad;
        case Entry::spent: return Decode::clean;
        }
        pos += local->dataOffset + expected.compressedSize;
    }
    return Decode::clean;
}

} // namespace

std::optional<Decode> check(ByteView bytes) {
    if (!FieldReader::matches(bytes, 0, "PK\x03\x04") && !FieldReader::matches(bytes, 0, "PK\x05\x06")) return std::nullopt;
    const std::uint64_t tailBytes = std::min<std::uint64_t>(bytes.size(), ZipDirectory::endSearchBytes);
    const std::uint64_t tailOffset = bytes.size() - tailBytes;
    const auto end = ZipDirectory::endRecord(bytes.subspan(tailOffset), tailOffset, false);
    if (end && !end->zip64) return byDirectory(bytes, *end);
    // A ZIP64 archive's directory was found but not read: its entries are followed from the start.
    return byLocalHeaders(bytes, end ? Decode::clean : Decode::cut);
}

} // namespace vantrel::ZipCheck
