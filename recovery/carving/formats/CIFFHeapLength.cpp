#include "recovery/carving/formats/CIFFHeapLength.h"

#include "base/Bounds.h"
#include "recovery/bytesource/FieldReaders.h"

namespace vantrel::CIFFHeapLength {

namespace {

constexpr std::uint64_t recordBytes = 10;
constexpr std::uint64_t countBytes = 2;
constexpr std::uint64_t offsetBytes = 4;
constexpr std::uint16_t locationMask = 0xC000;
constexpr std::uint16_t inHeap = 0x0000;
constexpr std::uint16_t inRecord = 0x4000;
// The raw data and the picture from it: records of the root heap only.
constexpr std::uint16_t rawData = 0x2005;
constexpr std::uint16_t pictureFromRaw = 0x2007;

enum class Table : std::uint8_t { unsound, sound, root };

// What the table at tableStart (counted from the heap's start) is: count sound records, among them one
// that only the root heap holds, or not a table.
Table tableAt(CandidateCursor& cursor, std::uint64_t heapStart, std::uint64_t tableStart, std::uint64_t count) {
    Bytes table(static_cast<std::size_t>(countBytes + count * recordBytes));
    if (!cursor.copy(heapStart + tableStart, table.size(), table.data())) return Table::unsound;
    if (FieldReader::u16le(table, 0) != count) return Table::unsound;
    bool root = false;
    for (std::uint64_t record = 0; record < count; ++record) {
        const auto at = static_cast<std::int64_t>(countBytes + record * recordBytes);
        const std::uint16_t type = FieldReader::u16le(table, at);
        const std::uint32_t length = FieldReader::u32le(table, at + 2);
        const std::uint32_t offset = FieldReader::u32le(table, at + 6);
        const std::uint16_t location = type & locationMask;
        const std::uint16_t code = type & ~locationMask;
        root = root || code == rawData || code == pictureFromRaw;
        if (location == inRecord) continue;
        if (location != inHeap || !fitsWithin(offset, length, tableStart)) return Table::unsound;
    }
    return root ? Table::root : Table::sound;
}

} // namespace

std::optional<std::uint64_t> fileLength(CandidateCursor& cursor) {
    std::uint8_t header[headerBytes];
    if (!cursor.copy(0, headerBytes, header)) return std::nullopt;
    const ByteView head(header, headerBytes);
    if (!FieldReader::matches(head, 0, "II") || !FieldReader::matches(head, 6, "HEAPCCDR")) return std::nullopt;
    const std::uint64_t heapStart = FieldReader::u32le(head, 2);
    if (heapStart < headerBytes || heapStart >= cursor.limit()) return std::nullopt;

    // The value of the four bytes that end at each position, as the bytes stream past: at a position
    // p that ends a heap, it is the table's offset t, and the table's count n fills the rest exactly:
    // heapStart + t + 2 + 10 n + 4 = p.
    // A subheap stored first in the root heap ends with a table that passes for the root's: such a
    // table counts only when no later one holds the raw data.
    std::optional<std::uint64_t> firstSound;
    std::uint32_t last4 = 0;
    std::uint64_t seen = 0;
    for (std::uint64_t pos = heapStart; pos < cursor.limit();) {
        const ByteView view = cursor.from(pos);
        if (view.empty()) return firstSound;
        std::size_t i = 0;
        for (; i < view.size(); ++i) {
            last4 = (last4 >> 8) | (std::uint32_t{view[i]} << 24);
            if (++seen < countBytes + recordBytes + offsetBytes) continue;
            const std::uint64_t end = pos + i + 1;
            const std::uint64_t tableStart = last4;
            const std::uint64_t heapEnd = end - heapStart;
            if (tableStart + countBytes + offsetBytes + recordBytes > heapEnd) continue;
            const std::uint64_t recordSpan = heapEnd - offsetBytes - countBytes - tableStart;
            if (recordSpan % recordBytes != 0 || recordSpan / recordBytes > maxRecords) continue;
            const Table table = tableAt(cursor, heapStart, tableStart, recordSpan / recordBytes);
            if (table == Table::root) return end;
            if (table == Table::sound && !firstSound) firstSound = end;
            break; // the table's read may have moved the cursor's bytes: fetch them again
        }
        pos += i < view.size() ? i + 1 : i;
    }
    return firstSound;
}

} // namespace vantrel::CIFFHeapLength
