#include "Vantrel/verify/HeifItems.h"

#include "base/Bounds.h"

#include <map>
#include <string_view>

namespace vantrel::HeifItems {

namespace {

// Bounds on what a picture file may hold; more is taken for damage.
constexpr std::uint64_t maxItems = 1 << 16;
constexpr std::uint64_t maxExtents = 1 << 12;
constexpr std::uint64_t maxReferences = 1 << 16;
constexpr std::uint64_t maxProperties = 1 << 12;
constexpr std::uint64_t maxBoxes = 1 << 16;

struct Box {
    std::string_view type;
    std::uint64_t body = 0;  // first byte after the header
    std::uint64_t end = 0;
};

// The boxes between from and to; stops at the first that does not fit.
std::vector<Box> boxesIn(ByteView bytes, std::uint64_t from, std::uint64_t to) {
    std::vector<Box> boxes;
    std::uint64_t at = from;
    while (at + 8 <= to && boxes.size() < maxBoxes) {
        std::uint64_t size = FieldReader::u32be(bytes, static_cast<std::int64_t>(at));
        std::uint64_t header = 8;
        if (size == 1) {
            if (at + 16 > to) break;
            size = FieldReader::u64be(bytes, static_cast<std::int64_t>(at + 8));
            header = 16;
        } else if (size == 0) {
            size = to - at;
        }
        if (size < header || !fitsWithin(at, size, to)) break;
        boxes.push_back({std::string_view(reinterpret_cast<const char*>(bytes.data()) + at + 4, 4), at + header, at + size});
        at += size;
    }
    return boxes;
}

const Box* find(const std::vector<Box>& boxes, std::string_view type) {
    for (const auto& box : boxes)
        if (box.type == type) return &box;
    return nullptr;
}

// Reads fields in order inside [at, end); a read past end marks the reader failed and gives 0.
class Fields {
public:
    Fields(ByteView bytes, std::uint64_t at, std::uint64_t end) : m_bytes(bytes), m_at(at), m_end(end) {}
    std::uint64_t read(unsigned width) {
        if (width == 0) return 0;
        if (m_failed || width > 8 || m_end - m_at < width) {
            m_failed = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) value = (value << 8) | FieldReader::u8(m_bytes, static_cast<std::int64_t>(m_at + i));
        m_at += width;
        return value;
    }
    std::uint64_t position() const { return m_at; }
    bool failed() const { return m_failed; }

private:
    ByteView m_bytes;
    std::uint64_t m_at;
    std::uint64_t m_end;
    bool m_failed = false;
};

struct Location {
    std::vector<Extent> extents;
    bool inFile = true;  // construction method 0, the file itself
};

bool readLocations(ByteView bytes, const Box& box, std::map<std::uint32_t, Location>& locations) {
    Fields f(bytes, box.body, box.end);
    const auto version = f.read(1);
    f.read(3);
    if (version > 2) return false;
    const auto sizes = f.read(2);
    const unsigned offsetSize = (sizes >> 12) & 15;
    const unsigned lengthSize = (sizes >> 8) & 15;
    const unsigned baseSize = (sizes >> 4) & 15;
    const unsigned indexSize = version >= 1 ? sizes & 15 : 0;
    const auto count = f.read(version < 2 ? 2 : 4);
    if (count > maxItems) return false;
    for (std::uint64_t i = 0; i < count && !f.failed(); ++i) {
        const auto id = static_cast<std::uint32_t>(f.read(version < 2 ? 2 : 4));
        Location location;
        if (version >= 1) location.inFile = (f.read(2) & 15) == 0;
        location.inFile = f.read(2) == 0 && location.inFile;  // data reference 0: this file
        const auto base = f.read(baseSize);
        const auto extents = f.read(2);
        if (extents > maxExtents) return false;
        for (std::uint64_t e = 0; e < extents && !f.failed(); ++e) {
            f.read(indexSize);
            const auto offset = checkedAdd(base, f.read(offsetSize));
            const auto length = f.read(lengthSize);
            if (!offset) return false;
            location.extents.push_back({*offset, length});
        }
        locations[id] = std::move(location);
    }
    return !f.failed();
}

bool readTypes(ByteView bytes, const Box& box, std::map<std::uint32_t, std::string_view>& types) {
    Fields f(bytes, box.body, box.end);
    const auto version = f.read(1);
    f.read(3);
    f.read(version == 0 ? 2 : 4);
    if (f.failed()) return false;
    for (const auto& entry : boxesIn(bytes, f.position(), box.end)) {
        if (entry.type != "infe") continue;
        Fields e(bytes, entry.body, entry.end);
        const auto entryVersion = e.read(1);
        e.read(3);
        if (entryVersion < 2) continue;
        const auto id = static_cast<std::uint32_t>(e.read(entryVersion == 2 ? 2 : 4));
        e.read(2);
        const auto at = e.position();
        e.read(4);
        if (e.failed()) return false;
        types[id] = std::string_view(reinterpret_cast<const char*>(bytes.data()) + at, 4);
    }
    return true;
}

// The pictures a grid is made of: its "dimg" references, in order.
std::vector<std::uint32_t> gridTiles(ByteView bytes, const Box* box, std::uint32_t grid) {
    std::vector<std::uint32_t> tiles;
    if (box == nullptr) return tiles;
    Fields f(bytes, box->body, box->end);
    const auto version = f.read(1);
    f.read(3);
    if (f.failed()) return tiles;
    const unsigned idSize = version == 0 ? 2 : 4;
    for (const auto& reference : boxesIn(bytes, f.position(), box->end)) {
        Fields r(bytes, reference.body, reference.end);
        const auto from = r.read(idSize);
        const auto count = r.read(2);
        if (r.failed() || reference.type != "dimg" || from != grid) continue;
        for (std::uint64_t i = 0; i < count && i < maxReferences; ++i) {
            const auto to = static_cast<std::uint32_t>(r.read(idSize));
            if (r.failed()) return {};
            tiles.push_back(to);
        }
    }
    return tiles;
}

// Each item's properties, as boxes of the property container, in their stated order.
bool readProperties(ByteView bytes, const Box& box, std::map<std::uint32_t, std::vector<Box>>& properties) {
    const auto inside = boxesIn(bytes, box.body, box.end);
    const Box* container = find(inside, "ipco");
    if (container == nullptr) return false;
    auto all = boxesIn(bytes, container->body, container->end);
    if (all.size() > maxProperties) return false;
    for (const auto& association : inside) {
        if (association.type != "ipma") continue;
        Fields f(bytes, association.body, association.end);
        const auto version = f.read(1);
        const auto flags = f.read(3);
        const auto entries = f.read(4);
        if (entries > maxItems) return false;
        for (std::uint64_t i = 0; i < entries && !f.failed(); ++i) {
            const auto id = static_cast<std::uint32_t>(f.read(version < 1 ? 2 : 4));
            const auto count = f.read(1);
            auto& list = properties[id];
            for (std::uint64_t p = 0; p < count && !f.failed(); ++p) {
                const auto value = f.read((flags & 1) != 0 ? 2 : 1);
                const auto index = value & ((flags & 1) != 0 ? 0x7FFF : 0x7F);
                if (index >= 1 && index <= all.size()) list.push_back(all[index - 1]);
            }
        }
        if (f.failed()) return false;
    }
    return true;
}

} // namespace

bool inside(const CodedItem& item, std::uint64_t size) {
    for (const auto& extent : item.extents)
        if (!fitsWithin(extent.offset, extent.length, size)) return false;
    return true;
}

std::optional<Primary> primary(ByteView bytes) {
    const auto top = boxesIn(bytes, 0, bytes.size());
    const Box* meta = find(top, "meta");
    if (meta == nullptr || meta->body + 4 > meta->end) return std::nullopt;
    const auto parts = boxesIn(bytes, meta->body + 4, meta->end);
    const Box* pitm = find(parts, "pitm");
    const Box* iloc = find(parts, "iloc");
    const Box* iinf = find(parts, "iinf");
    const Box* iprp = find(parts, "iprp");
    if (pitm == nullptr || iloc == nullptr || iinf == nullptr || iprp == nullptr) return std::nullopt;

    Fields p(bytes, pitm->body, pitm->end);
    const auto pitmVersion = p.read(1);
    p.read(3);
    const auto primaryId = static_cast<std::uint32_t>(p.read(pitmVersion == 0 ? 2 : 4));
    std::map<std::uint32_t, Location> locations;
    std::map<std::uint32_t, std::string_view> types;
    std::map<std::uint32_t, std::vector<Box>> properties;
    if (p.failed() || !readLocations(bytes, *iloc, locations) || !readTypes(bytes, *iinf, types) ||
        !readProperties(bytes, *iprp, properties))
        return std::nullopt;

    Primary result;
    for (const auto& property : properties[primaryId]) {
        if (property.type != "ispe") continue;
        Fields f(bytes, property.body, property.end);
        f.read(4);
        const auto width = f.read(4);
        const auto height = f.read(4);
        if (!f.failed()) {
            result.width = static_cast<std::uint32_t>(width);
            result.height = static_cast<std::uint32_t>(height);
        }
    }
    const auto type = types.find(primaryId);
    if (type == types.end()) return std::nullopt;
    std::vector<std::uint32_t> coded;
    if (type->second == "grid") coded = gridTiles(bytes, find(parts, "iref"), primaryId);
    else coded.push_back(primaryId);
    if (coded.empty()) return std::nullopt;

    for (const auto id : coded) {
        const auto itemType = types.find(id);
        const auto location = locations.find(id);
        if (itemType == types.end() || location == locations.end() || !location->second.inFile ||
            location->second.extents.empty())
            return std::nullopt;
        CodedItem item;
        std::string_view configurationType;
        if (itemType->second == "hvc1") {
            item.codec = Codec::hevc;
            configurationType = "hvcC";
        } else if (itemType->second == "av01") {
            item.codec = Codec::av1;
            configurationType = "av1C";
        } else {
            return std::nullopt;
        }
        for (const auto& property : properties[id])
            if (property.type == configurationType)
                item.configuration = bytes.subspan(property.body, property.end - property.body);
        if (item.configuration.empty()) return std::nullopt;
        item.extents = location->second.extents;
        result.items.push_back(std::move(item));
    }
    return result;
}

} // namespace vantrel::HeifItems
