#include "recovery/carving/formats/ZipEndRecord.h"

#include "base/Bounds.h"

#include <array>

namespace vantrel::ZipEndRecord {

namespace {

constexpr std::array<std::uint8_t, 4> endSignature{0x50, 0x4B, 0x05, 0x06};
constexpr std::uint64_t endRecordBytes = 22;
constexpr std::uint64_t localHeaderSignatureBytes = 4;

} // namespace

std::optional<std::uint64_t> fileLength(CandidateReader& reader, FooterFinder& finder, std::uint64_t offset,
                                        std::uint64_t available) {
    Bytes scratch;
    const std::uint64_t limit = offset + available;
    std::uint64_t from = offset + localHeaderSignatureBytes;
    for (int tried = 0; tried < maxRecordsTried; ++tried) {
        const auto found = finder.find(reader, endSignature, from, limit);
        if (!found) return std::nullopt;
        const std::uint64_t recordStart = *found - offset;
        from = *found + 1;
        if (!fitsWithin(recordStart, endRecordBytes, available)) return std::nullopt;
        const Bytes record = [&] {
            const ByteView bytes = reader.read(*found, endRecordBytes, scratch);
            return Bytes(bytes.begin(), bytes.end());
        }();
        if (record.size() < endRecordBytes) return std::nullopt;
        const std::uint16_t thisDisk = FieldReader::u16le(record, 4);
        const std::uint16_t directoryDisk = FieldReader::u16le(record, 6);
        const std::uint16_t recordsHere = FieldReader::u16le(record, 8);
        const std::uint16_t recordsTotal = FieldReader::u16le(record, 10);
        // A record of a multi-disk archive, or bytes that only look like a signature.
        if (thisDisk != 0 || directoryDisk != 0 || recordsHere != recordsTotal) continue;
        const std::uint64_t directorySize = FieldReader::u32le(record, 12);
        const std::uint64_t directoryOffset = FieldReader::u32le(record, 16);
        const std::uint64_t directoryEnd = directoryOffset + directorySize;
        // The directory ends where the record begins, counted from the archive's start. A record that
        // places the start before this header belongs to an archive around this one (this header is one of
        // its inner entries): the end is not this candidate's. One that places it after belongs to a later
        // or nested archive: look further.
        if (directoryEnd > recordStart) return std::nullopt;
        if (directoryEnd < recordStart) continue;
        if (recordsTotal > 0) {
            const ByteView first = reader.read(offset + directoryOffset, 4, scratch);
            if (!FieldReader::matches(first, 0, "PK\x01\x02")) continue;
        } else if (directorySize != 0) {
            continue;
        }
        const std::uint64_t length = recordStart + endRecordBytes + FieldReader::u16le(record, 20);
        if (length > available) return std::nullopt;
        return length;
    }
    return std::nullopt;
}

} // namespace vantrel::ZipEndRecord
