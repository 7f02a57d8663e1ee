// The CIFF heap length on files built here as cameras lay them out (no tool writes CIFF): a root heap
// with a raw data record, a picture and a subheap of its own, whatever follows, and damaged tables.
#include "recovery/carving/formats/CIFFHeapLength.h"

#include "tests/fixtures/SoundFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantrel {
namespace {

using test::joined;

const test::WalkOver<CIFFHeapLength::fileLength> lengthOf{100, 4096};

void putLE(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct Record {
    std::uint16_t type;
    Bytes data; // in the heap; a type with bit 14 set keeps 8 bytes in the record instead
};

// A heap: the records' data back to back, then the table and its offset.
Bytes heap(const std::vector<Record>& records) {
    Bytes out;
    Bytes table;
    putLE(table, records.size(), 2);
    for (const Record& record : records) {
        putLE(table, record.type, 2);
        if (record.type & 0x4000) {
            table.insert(table.end(), record.data.begin(), record.data.begin() + 8);
            continue;
        }
        putLE(table, record.data.size(), 4);
        putLE(table, out.size(), 4);
        out.insert(out.end(), record.data.begin(), record.data.end());
    }
    const std::size_t tableOffset = out.size();
    out.insert(out.end(), table.begin(), table.end());
    putLE(out, tableOffset, 4);
    return out;
}

Bytes crw(const std::vector<Record>& records) {
    Bytes out{'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R', 0, 0, 1, 0};
    out.resize(26, 0);
    const Bytes root = heap(records);
    out.insert(out.end(), root.begin(), root.end());
    return out;
}

std::vector<Record> cameraRecords() {
    const Bytes properties = heap({{0x0805, Bytes(32, 'd')}, {0x5029, Bytes(8, 1)}, {0x1029, Bytes(40, 2)}});
    return {{0x2005, test::randomBytes(300000, 1)}, {0x2007, test::randomBytes(60000, 2)}, {0x300A, properties},
            {0x480B, Bytes(8, 3)}};
}

TEST(CIFFHeapLength, AFileEndsWithItsRootHeapsTableWhateverFollows) {
    const Bytes file = crw(cameraRecords());
    const Bytes junk = test::randomBytes(10000, 3);
    lengthOf.expectOwnLengthWhateverFollows(file, junk);
    // A subheap stored first ends with a table that passes for the root's, but lists no raw data.
    auto records = cameraRecords();
    std::rotate(records.begin(), records.begin() + 2, records.end());
    const Bytes subheapFirst = crw(records);
    EXPECT_EQ(lengthOf(joined({&subheapFirst, &junk}), 0), subheapFirst.size());
}

TEST(CIFFHeapLength, ATableThatDoesNotHoldGivesNothing) {
    const Bytes file = crw(cameraRecords());
    struct Case {
        const char* what;
        Bytes bytes;
        std::uint64_t limit;
    };
    Bytes pastTable = file;
    // The raw data record's offset (the table's first record, after the count) points past the table.
    const std::size_t table = file.size() - 4 - (2 + 4 * 10);
    pastTable.at(table + 2 + 6 + 2) = 0x7F;
    Bytes undefinedPlace = file;
    undefinedPlace.at(table + 2 + 1) |= 0x80;
    Bytes notCiff = file;
    notCiff.at(9) = 'X';
    const Case cases[] = {
        {"cut before its last byte", file, file.size() - 1},
        {"a record's data past the table", pastTable, UINT64_MAX},
        {"a record stored nowhere defined", undefinedPlace, UINT64_MAX},
        {"not CIFF", notCiff, UINT64_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(lengthOf(c.bytes, 0, c.limit), std::nullopt) << c.what;
}

} // namespace
} // namespace vantrel
