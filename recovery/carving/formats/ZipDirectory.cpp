#include "recovery/carving/formats/ZipDirectory.h"

#include "base/Bounds.h"

namespace vantrel::ZipDirectory {

namespace {

constexpr std::uint32_t zip64Marker = 0xFFFFFFFF;
constexpr std::uint16_t zip64RecordsMarker = 0xFFFF;

std::int64_t at(std::uint64_t pos) { return static_cast<std::int64_t>(pos); }

} // namespace

std::optional<EndRecord> endRecord(ByteView tail, std::uint64_t tailOffset, bool exactEnd) {
    if (tail.size() < endRecordBytes) return std::nullopt;
    for (std::uint64_t pos = tail.size() - endRecordBytes + 1; pos-- > 0;) {
        if (!FieldReader::matches(tail, at(pos), "PK\x05\x06")) continue;
        const std::uint64_t end = pos + endRecordBytes + FieldReader::u16le(tail, at(pos + 20));
        // The comment runs past the bytes, or stops short of the archive's known end: chance bytes.
        if (end > tail.size() || (exactEnd && end != tail.size())) continue;
        // A record of a multi-disk archive, or bytes that only look like a signature.
        if (FieldReader::u16le(tail, at(pos + 4)) != 0 || FieldReader::u16le(tail, at(pos + 6)) != 0) continue;
        const std::uint16_t here = FieldReader::u16le(tail, at(pos + 8));
        const std::uint16_t total = FieldReader::u16le(tail, at(pos + 10));
        if (here != total) continue;
        EndRecord record;
        record.recordOffset = tailOffset + pos;
        record.records = total;
        record.directorySize = FieldReader::u32le(tail, at(pos + 12));
        record.directoryOffset = FieldReader::u32le(tail, at(pos + 16));
        record.archiveEnd = tailOffset + end;
        record.zip64 = total == zip64RecordsMarker || record.directorySize == zip64Marker ||
                       record.directoryOffset == zip64Marker;
        // The directory ends where its end record begins (an archive with bytes before it, a
        // self-extractor, counts its offsets from its own start and does not pass).
        if (!record.zip64 && record.directoryOffset + record.directorySize != record.recordOffset) continue;
        return record;
    }
    return std::nullopt;
}

std::optional<Record> record(ByteView directory, std::uint64_t& pos) {
    if (!fitsWithin(pos, recordFixedBytes, directory.size()) || !FieldReader::matches(directory, at(pos), "PK\x01\x02"))
        return std::nullopt;
    const std::uint64_t nameBytes = FieldReader::u16le(directory, at(pos + 28));
    const std::uint64_t variableBytes =
        nameBytes + FieldReader::u16le(directory, at(pos + 30)) + FieldReader::u16le(directory, at(pos + 32));
    if (!fitsWithin(pos + recordFixedBytes, variableBytes, directory.size())) return std::nullopt;
    Record record;
    record.flags = FieldReader::u16le(directory, at(pos + 8));
    record.method = FieldReader::u16le(directory, at(pos + 10));
    record.crc = FieldReader::u32le(directory, at(pos + 16));
    record.compressedSize = FieldReader::u32le(directory, at(pos + 20));
    record.uncompressedSize = FieldReader::u32le(directory, at(pos + 24));
    record.localHeaderOffset = FieldReader::u32le(directory, at(pos + 42));
    record.name = directory.subspan(pos + recordFixedBytes, nameBytes);
    record.zip64 = record.compressedSize == zip64Marker || record.uncompressedSize == zip64Marker ||
                   record.localHeaderOffset == zip64Marker;
    pos += recordFixedBytes + variableBytes;
    return record;
}

std::optional<LocalHeader> localHeader(ByteView bytes) {
    if (bytes.size() < localFixedBytes || !FieldReader::matches(bytes, 0, "PK\x03\x04")) return std::nullopt;
    const std::uint64_t nameBytes = FieldReader::u16le(bytes, 26);
    if (!fitsWithin(localFixedBytes, nameBytes, bytes.size())) return std::nullopt;
    LocalHeader header;
    header.flags = FieldReader::u16le(bytes, 6);
    header.method = FieldReader::u16le(bytes, 8);
    header.dataOffset = localFixedBytes + nameBytes + FieldReader::u16le(bytes, 28);
    header.name = bytes.subspan(localFixedBytes, nameBytes);
    return header;
}

} // namespace vantrel::ZipDirectory
