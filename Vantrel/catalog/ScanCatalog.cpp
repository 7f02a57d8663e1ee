#include "Vantrel/catalog/ScanCatalog.h"

#include "platform/disks/WholeDiskName.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/model/HitCoding.h"
#include "support/VantrelError.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <streambuf>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

using Json = HitCoding::Json;
// Keys of every written object come out in ascending order when it is dumped from a sorted map.
using SortedJson = nlohmann::json;

constexpr std::size_t streamBufferBytes = 1 << 20;
constexpr mode_t newCatalogMode = 0644;

// A refusal of the file's content; becomes a ScanCatalogError that names the file.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- reading ------------------------------------------------------------------------------------------

// Reads a descriptor in large pieces and stops, as at the end of the file, once more than the cap was
// read: a file that grew after its size was checked is still never taken in whole.
class BoundedFdReader : public std::streambuf {
public:
    BoundedFdReader(int fd, std::uint64_t capBytes) : m_fd(fd), m_cap(capBytes), m_buffer(streamBufferBytes) {}
    bool exceededCap() const { return m_exceeded; }
    int readError() const { return m_error; }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (m_exceeded || m_error != 0) return traits_type::eof();
        ssize_t got;
        do {
            got = ::read(m_fd, m_buffer.data(), m_buffer.size());
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            m_error = errno;
            return traits_type::eof();
        }
        if (got == 0) return traits_type::eof();
        m_total += static_cast<std::uint64_t>(got);
        if (m_total > m_cap) {
            m_exceeded = true;
            return traits_type::eof();
        }
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    int m_fd;
    std::uint64_t m_cap;
    std::uint64_t m_total = 0;
    bool m_exceeded = false;
    int m_error = 0;
    std::vector<char> m_buffer;
};

// What an object or list is in the layout; each has its own limit.
enum class Shape { top, source, hits, hit, dimensions, clusterHint, secondPiece, fileSystemIds, unknown };

// The keys an object of the shape has (an object of an unknown key: as many as the largest), and
// those a newer program may have added.
std::size_t maxKeys(Shape shape) {
    const auto known = [shape]() -> std::size_t {
        switch (shape) {
        case Shape::top: return 6;
        case Shape::source: return 9;
        case Shape::dimensions: return 2;
        case Shape::clusterHint: return 3;
        case Shape::secondPiece: return 2;
        default: return ScanCatalog::maxObjectKeys;
        }
    };
    return known() + ScanCatalog::newerKeys;
}

// The shape of the value under key in an object of the shape parent.
Shape shapeOf(Shape parent, std::string_view key) {
    if (parent == Shape::top && key == "source") return Shape::source;
    if (parent == Shape::top && key == "hits") return Shape::hits;
    if (parent == Shape::source && key == "fileSystemIds") return Shape::fileSystemIds;
    if (parent == Shape::hit && key == "dimensions") return Shape::dimensions;
    if (parent == Shape::hit && key == "clusterHint") return Shape::clusterHint;
    if (parent == Shape::hit && key == "secondPiece") return Shape::secondPiece;
    return Shape::unknown;
}

// Builds the document from the parser's events, except that each element of the top-level "hits" array
// is handed to onHit as soon as it is complete and never kept: a catalog of a million hits is never
// held as one tree. Refuses repeated keys, deep nesting, long texts and too many hits, and objects,
// lists and parts past their limits as soon as the parser meets the key or item that goes past: so
// the check for a repeated key looks at a handful of keys at most.
class CatalogSax {
public:
    explicit CatalogSax(std::function<void(Json&&)> onHit) : m_onHit(std::move(onHit)) {}

    Json root;
    bool sawHitsArray = false;
    std::optional<std::string> refusal;

    bool null() { return value(Json()); }
    bool boolean(bool flag) { return value(Json(flag)); }
    bool number_integer(std::int64_t number) { return value(Json(number)); }
    bool number_unsigned(std::uint64_t number) { return value(Json(number)); }
    bool number_float(double number, const std::string&) { return value(Json(number)); }
    bool string(std::string& text) {
        if (text.size() > ScanCatalog::maxTextBytes) return refuse("it holds a text longer than the catalog allows");
        return value(Json(std::move(text)));
    }
    bool binary(Json::binary_t&) { return refuse("it holds binary data"); }

    bool start_object(std::size_t) { return open(Json::object(), false); }
    bool start_array(std::size_t) {
        const bool hits = m_nextShape == Shape::hits;
        if (hits) sawHitsArray = true;
        return open(Json::array(), hits);
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        if (name.size() > ScanCatalog::maxTextBytes) return refuse("it holds a key longer than the catalog allows");
        Frame& frame = m_stack.back();
        Json& object = *frame.value;
        if (++frame.count > maxKeys(frame.shape)) return refuse("an object in it has more keys than a catalog's");
        // A repeated key would let two readers see two different catalogs in one file.
        if (object.contains(name)) return refuse("the key \"" + keyText(name) + "\" appears twice in one object");
        m_nextShape = shapeOf(frame.shape, name);
        m_slot = &object[name];
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        // nlohmann's text ends with the bytes last read ("; last read: ..."); those come from the file
        // and are left out of a message meant for the user.
        std::string text = error.what();
        if (const auto cut = text.find("; last read"); cut != std::string::npos) text.resize(cut);
        if (const auto start = text.find("] "); start != std::string::npos) text.erase(0, start + 2);
        return refuse("it is not valid JSON (" + text + ")");
    }

private:
    struct Frame {
        Json* value;
        bool isHits;
        Shape shape;
        std::size_t count = 0;  // keys or items so far
    };

    bool refuse(std::string reason) {
        if (!refusal) refusal = std::move(reason);
        return false;
    }

    // A key as a message may show it: only printable ASCII, the rest as "?".
    static std::string keyText(std::string_view name) {
        std::string text(name.substr(0, 64));
        for (char& c : text) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == '"') c = '?';
        }
        return text;
    }

    // Where the next value goes: the root, the open array, the member named by the last key, or the
    // hit under construction when the open array is "hits".
    // Nothing when a limit refuses the item (the refusal is set).
    Json* place(Json&& item) {
        m_nextShape = Shape::unknown;
        if (m_stack.empty()) {
            root = std::move(item);
            return &root;
        }
        Frame& top = m_stack.back();
        if (top.isHits) {
            if (++m_hitCount > ScanCatalog::maxHits) {
                refuse("it holds more hits than the catalog allows");
                return nullptr;
            }
            m_valuesInHit = 0;
            m_hit = std::move(item);
            return &m_hit;
        }
        // "hits" is always the second frame: everything deeper under it belongs to the hit being read.
        const bool inHit = m_stack.size() >= 2 && m_stack[1].isHits;
        if (++(inHit ? m_valuesInHit : m_valuesOutsideHits) > ScanCatalog::maxValuesPerPart) {
            refuse("it holds more values in one place than a catalog has");
            return nullptr;
        }
        if (top.value->is_array()) {
            if (++top.count > ScanCatalog::maxListItems) {
                refuse("a list in it is longer than a catalog's");
                return nullptr;
            }
            top.value->push_back(std::move(item));
            return &top.value->back();
        }
        *m_slot = std::move(item);
        return m_slot;
    }

    bool value(Json&& item) {
        if (!place(std::move(item))) return false;
        return deliverIfHit();
    }

    bool open(Json&& container, bool isHits) {
        if (m_stack.size() >= ScanCatalog::maxNestingDepth) return refuse("it is nested deeper than a catalog is");
        // The shape comes from the key that names the container; an element of "hits" is a hit.
        Shape shape = m_nextShape;
        if (m_stack.empty()) shape = Shape::top;
        else if (m_stack.back().isHits) shape = Shape::hit;
        else if (m_stack.back().value->is_array()) shape = Shape::unknown;
        Json* placed = place(std::move(container));
        if (!placed) return false;
        m_stack.push_back({placed, isHits, shape});
        return true;
    }

    bool close() {
        m_stack.pop_back();
        return deliverIfHit();
    }

    // A value that has just been completed directly inside "hits" is a hit.
    bool deliverIfHit() {
        if (m_stack.empty() || !m_stack.back().isHits) return true;
        try {
            m_onHit(std::move(m_hit));
        } catch (const Refusal& error) {
            return refuse(error.what());
        }
        m_hit = Json();
        return true;
    }

    std::function<void(Json&&)> m_onHit;
    std::vector<Frame> m_stack;
    Json* m_slot = nullptr;
    Json m_hit;
    Shape m_nextShape = Shape::unknown;  // of the value after the last key
    std::size_t m_hitCount = 0;
    std::size_t m_valuesInHit = 0;       // of the hit being read
    std::size_t m_valuesOutsideHits = 0;
};

[[noreturn]] void refuse(const std::string& reason) { throw Refusal(reason); }

const Json* member(const Json& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const Json& requireMember(const Json& object, std::string_view key, std::string_view where) {
    const Json* found = member(object, key);
    if (!found) refuse(std::string(where) + "\"" + std::string(key) + "\" is missing");
    return *found;
}

std::string requireText(const Json& value, std::string_view key, std::string_view where) {
    if (!value.is_string()) refuse(std::string(where) + "\"" + std::string(key) + "\" is not a text");
    return value.get<std::string>();
}

std::optional<std::string> optionalText(const Json& object, std::string_view key, std::string_view where) {
    const Json* found = member(object, key);
    if (!found) return std::nullopt;
    return requireText(*found, key, where);
}

// Catalog dates: whole seconds, "Z" or a "+hh:mm" / "-hh:mm" offset, nothing else.
HitDate readDate(const Json& value, std::string_view what) {
    if (!value.is_string()) throw HitDecodingError(std::string(what) + " is not a text");
    const std::string& text = value.get_ref<const std::string&>();
    const bool utc = text.size() == 20 && text[19] == 'Z';
    const bool offset = text.size() == 25 && (text[19] == '+' || text[19] == '-');
    // The shared parser also takes fractional seconds, which catalogs never hold.
    const auto date = utc || offset ? HitCoding::parseIso8601(text) : std::nullopt;
    if (!date)
        throw HitDecodingError(std::string(what) + " is not an internet date-time in whole seconds");
    return *date;
}

HitCoding::DateStrategy catalogDates() {
    return {[](HitDate date) { return Json(HitCoding::formatIso8601(date)); },
            [](const Json& value) { return readDate(value, "stored date"); }};
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// A path shown to the user: control characters become "_".
std::string displayablePath(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    }
    return text;
}

ScanCatalog::Source readSource(const Json& value) {
    constexpr std::string_view where = "the source's ";
    if (!value.is_object()) refuse("\"source\" is not an object");
    ScanCatalog::Source source;
    const auto kind = ScanCatalogSourceKind::fromRawValue(requireText(requireMember(value, "kind", where), "kind", where));
    if (!kind) refuse("the source's \"kind\" names no kind of source");
    source.kind = *kind;
    source.displayName = displayablePath(requireText(requireMember(value, "displayName", where), "displayName", where));
    source.bsdName = optionalText(value, "bsdName", where);
    // The name is looked up among the attached disks and may become part of a device path.
    if (source.bsdName && !isPlausibleDeviceName(*source.bsdName)) refuse("the source's \"bsdName\" is not a device name");
    source.rawDevicePath = optionalText(value, "rawDevicePath", where);
    const Json& size = requireMember(value, "sizeBytes", where);
    if (!size.is_number_unsigned() && !(size.is_number_integer() && size.get<std::int64_t>() >= 0))
        refuse("the source's \"sizeBytes\" is not an unsigned integer");
    source.sizeBytes = size.get<std::uint64_t>();
    const auto idText = [&](std::string_view key) {
        auto text = optionalText(value, key, where);
        if (text && text->size() > DiskIdentity::maxIdBytes) refuse("the source's \"" + std::string(key) + "\" is too long");
        return text;
    };
    source.identity.serialNumber = idText("serialNumber");
    source.identity.partitionTableId = idText("partitionTableId");
    if (const Json* ids = member(value, "fileSystemIds")) {
        if (!ids->is_array() || ids->size() > DiskIdentity::maxFileSystemIds)
            refuse("the source's \"fileSystemIds\" is not a short list of texts");
        for (const Json& id : *ids) {
            if (!id.is_string() || id.get_ref<const std::string&>().size() > DiskIdentity::maxIdBytes)
                refuse("the source's \"fileSystemIds\" is not a short list of texts");
            source.identity.fileSystemIds.push_back(id.get<std::string>());
        }
    }
    if (const Json* medium = member(value, "medium")) {
        try {
            source.medium = MediumIdentity::fromJson(nlohmann::json(*medium));
        } catch (const MediumIdentityDecodingError&) {
            refuse("the source's \"medium\" is not a disk identity");
        }
    }
    return source;
}

// The checks a stored hit passes beyond its coding; the disk's size is known once the whole file is read.
void checkHits(std::vector<RecoveredHit>& hits, std::uint64_t diskBytes) {
    std::vector<Uuid> ids;
    ids.reserve(hits.size());
    UndeleteNamingState fallbackNames;
    for (std::size_t index = 0; index < hits.size(); ++index) {
        RecoveredHit& hit = hits[index];
        const std::string which = "hit " + std::to_string(index + 1);
        if (hit.dimensions && (hit.dimensions->width < 0 || hit.dimensions->height < 0))
            refuse(which + " has a negative picture size");
        // A size of 0 means the disk was not known when the catalog was written: nothing to compare with.
        if (diskBytes != 0 && hit.byteOffset >= diskBytes) refuse(which + " starts past the end of the disk");
        if (diskBytes != 0 && hit.clusterHint && hit.clusterHint->partitionOffset >= diskBytes)
            refuse(which + " lies in a partition that starts past the end of the disk");
        if (diskBytes != 0 && hit.secondPiece && hit.secondPiece->offset + hit.secondPiece->length > diskBytes)
            refuse(which + " ends past the end of the disk");
        // The name becomes a file name in the user's folder at recovery.
        hit.suggestedName = UndeleteNamingState::makeSafeFileName(hit.suggestedName);
        if (hit.suggestedName.empty()) hit.suggestedName = fallbackNames.numberedName(hit.kind);
        if (hit.reconstructedPath) hit.reconstructedPath = displayablePath(std::move(*hit.reconstructedPath));
        ids.push_back(hit.id);
    }
    std::sort(ids.begin(), ids.end());
    if (const auto repeated = std::adjacent_find(ids.begin(), ids.end()); repeated != ids.end())
        refuse("two hits have the same id " + upperCase(repeated->toString()));
}

ScanCatalogError catalogError(std::string_view domain, std::int64_t code, std::string message,
                              const std::optional<std::string>& path) {
    return ScanCatalogError(ErrorObject{std::string(domain), code, std::move(message), path});
}

ScanCatalogError posixError(int errorNumber, const std::string& message, const std::optional<std::string>& path) {
    return catalogError(ErrorObject::posixDomain, errorNumber, message + ": " + std::strerror(errorNumber) + ".", path);
}

std::string quotedName(const std::filesystem::path& path) {
    return "“" + displayablePath(path.filename().string()) + "”";
}

// ---- writing ------------------------------------------------------------------------------------------

// Writes to a descriptor in large pieces; the first failure's errno is kept and fails the stream.
// Writes at most maxBytes: what goes past fails with EFBIG, so that no catalog is written that the
// reader would refuse.
class FdWriter : public std::streambuf {
public:
    FdWriter(int fd, std::uint64_t maxBytes) : m_fd(fd), m_left(maxBytes), m_buffer(streamBufferBytes) {
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    }
    int writeError() const { return m_error; }

protected:
    int_type overflow(int_type c) override {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

private:
    bool drain() {
        if (m_error != 0) return false;
        const char* from = pbase();
        const auto pending = static_cast<std::uint64_t>(pptr() - from);
        if (pending > m_left) {
            m_error = EFBIG;
            return false;
        }
        m_left -= pending;
        while (from < pptr()) {
            const ssize_t put = ::write(m_fd, from, static_cast<std::size_t>(pptr() - from));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                m_error = put < 0 ? errno : EIO;
                return false;
            }
            from += put;
        }
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
        return true;
    }

    int m_fd;
    std::uint64_t m_left;
    int m_error = 0;
    std::vector<char> m_buffer;
};

std::string dumped(const SortedJson& value) { return value.dump(2, ' ', false, SortedJson::error_handler_t::replace); }

// A nested value's lines shifted right by indent.
void writeIndented(std::ostream& output, const std::string& text, std::string_view indent) {
    std::size_t start = 0;
    while (true) {
        const auto end = text.find('\n', start);
        output.write(text.data() + start, static_cast<std::streamsize>((end == std::string::npos ? text.size() : end) - start));
        if (end == std::string::npos) return;
        output << '\n' << indent;
        start = end + 1;
    }
}

SortedJson sourceJson(const ScanCatalog::Source& source) {
    SortedJson object = SortedJson::object();
    object["kind"] = ScanCatalogSourceKind::rawValue(source.kind);
    object["displayName"] = source.displayName;
    if (source.bsdName) object["bsdName"] = *source.bsdName;
    if (source.rawDevicePath) object["rawDevicePath"] = *source.rawDevicePath;
    object["sizeBytes"] = source.sizeBytes;
    if (source.identity.serialNumber) object["serialNumber"] = *source.identity.serialNumber;
    if (source.identity.partitionTableId) object["partitionTableId"] = *source.identity.partitionTableId;
    if (!source.identity.fileSystemIds.empty()) object["fileSystemIds"] = source.identity.fileSystemIds;
    if (source.medium) object["medium"] = source.medium->toJson();
    return object;
}

} // namespace

ScanCatalogError::ScanCatalogError(ErrorObject error) : std::runtime_error(error.message), m_error(std::move(error)) {}

namespace ScanCatalogSourceKind {

std::string_view rawValue(ScanCatalog::Source::Kind kind) {
    switch (kind) {
    case ScanCatalog::Source::Kind::volume: return "volume";
    case ScanCatalog::Source::Kind::diskImage: return "diskImage";
    }
    return "volume";
}

std::optional<ScanCatalog::Source::Kind> fromRawValue(std::string_view text) {
    for (const auto kind : {ScanCatalog::Source::Kind::volume, ScanCatalog::Source::Kind::diskImage}) {
        if (rawValue(kind) == text) return kind;
    }
    return std::nullopt;
}

} // namespace ScanCatalogSourceKind

ScanCatalog ScanCatalog::read(std::istream& input, const std::string& fileName, const std::optional<std::string>& path) {
    const auto dates = catalogDates();
    ScanCatalog catalog;
    CatalogSax sax([&](Json&& stored) {
        try {
            catalog.hits.push_back(HitCoding::decode(stored, dates));
        } catch (const HitDecodingError& error) {
            std::string reason = error.what();
            if (reason.rfind("stored hit: ", 0) == 0) reason.erase(0, 12);
            refuse("hit " + std::to_string(catalog.hits.size() + 1) + ": " + reason);
        }
    });
    const std::string opening = "The catalog “" + displayablePath(fileName) + "” cannot be opened: ";
    try {
        const bool parsed = Json::sax_parse(input, &sax, Json::input_format_t::json, true, false);
        if (!parsed || sax.refusal) refuse(sax.refusal.value_or("it is not valid JSON"));
        const Json& root = sax.root;
        if (!root.is_object()) refuse("it is not a catalog object");
        constexpr std::string_view where = "";
        const Json& version = requireMember(root, "version", where);
        if (!version.is_number_integer() ||
            (version.is_number_unsigned() && version.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)))
            refuse("\"version\" is not an integer");
        catalog.version = version.get<std::int64_t>();
        try {
            catalog.createdAt = readDate(requireMember(root, "createdAt", where), "\"createdAt\"");
        } catch (const HitDecodingError& error) {
            refuse(error.what());
        }
        catalog.appBuild = optionalText(root, "appBuild", where);
        catalog.source = readSource(requireMember(root, "source", where));
        catalog.summary = optionalText(root, "summary", where);
        if (!sax.sawHitsArray) {
            requireMember(root, "hits", where);
            refuse("\"hits\" is not a list");
        }
    } catch (const Refusal& error) {
        throw catalogError(ScanCatalogError::decodingDomain, ScanCatalogError::notACatalog, opening + error.what() + ".", path);
    }
    // The version comes first: a newer program may have changed what the rest means.
    if (catalog.version > currentVersion)
        throw catalogError(VantrelError::domain, VantrelError::catalogVersionTooNew,
                           "Catalog version " + std::to_string(catalog.version) + " is newer than this app.", path);
    try {
        checkHits(catalog.hits, catalog.source.sizeBytes);
    } catch (const Refusal& error) {
        throw catalogError(ScanCatalogError::decodingDomain, ScanCatalogError::notACatalog, opening + error.what() + ".", path);
    }
    return catalog;
}

ScanCatalog ScanCatalog::load(const std::filesystem::path& path) {
    const std::string fileName = path.filename().string();
    // O_NONBLOCK: a FIFO at the path would otherwise block the open until a writer appears.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw posixError(errno, "The catalog " + quotedName(path) + " cannot be opened", path.string());
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw posixError(errno, "The catalog " + quotedName(path) + " cannot be opened", path.string());
    const std::string opening = "The catalog " + quotedName(path) + " cannot be opened: ";
    if (!S_ISREG(info.st_mode))
        throw catalogError(ScanCatalogError::decodingDomain, ScanCatalogError::notACatalog,
                           opening + "it is not a regular file.", path.string());
    const std::string tooLarge = opening + "it is larger than a catalog can be.";
    if (static_cast<std::uint64_t>(info.st_size) > maxFileBytes)
        throw catalogError(ScanCatalogError::decodingDomain, ScanCatalogError::notACatalog, tooLarge, path.string());
    BoundedFdReader reader(fd, maxFileBytes);
    std::istream input(&reader);
    try {
        return read(input, fileName, path.string());
    } catch (const ScanCatalogError&) {
        // What the reader stopped at decides: a read failure or a file that grew is not a parse error.
        if (reader.readError() != 0)
            throw posixError(reader.readError(), "The catalog " + quotedName(path) + " cannot be read", path.string());
        if (reader.exceededCap())
            throw catalogError(ScanCatalogError::decodingDomain, ScanCatalogError::notACatalog, tooLarge, path.string());
        throw;
    }
}

void ScanCatalog::encode(std::ostream& output) const {
    output << "{\n";
    if (appBuild) output << "  \"appBuild\": " << dumped(SortedJson(*appBuild)) << ",\n";
    output << "  \"createdAt\": " << dumped(SortedJson(HitCoding::formatIso8601(createdAt))) << ",\n";
    output << "  \"hits\": [";
    const auto dates = catalogDates();
    for (std::size_t index = 0; index < hits.size(); ++index) {
        SortedJson stored(HitCoding::encode(hits[index], dates));
        stored["id"] = upperCase(hits[index].id.toString());
        output << (index == 0 ? "\n    " : ",\n    ");
        writeIndented(output, dumped(stored), "    ");
    }
    output << (hits.empty() ? "],\n" : "\n  ],\n");
    output << "  \"source\": ";
    writeIndented(output, dumped(sourceJson(source)), "  ");
    if (summary) output << ",\n  \"summary\": " << dumped(SortedJson(*summary));
    output << ",\n  \"version\": " << version << "\n}\n";
}

void ScanCatalog::write(const std::filesystem::path& path) const {
    const std::string failed = "The catalog " + quotedName(path) + " could not be saved";
    // The reader's limits hold for the writer: a catalog it would refuse is not written.
    if (hits.size() > maxHits) throw posixError(EFBIG, failed + " (it would list more files than a catalog holds)", path.string());
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkostemp creates the name exclusively, so a link planted at that name is never followed.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) throw posixError(errno, failed, path.string());
    int error = 0;
    // A catalog that replaces another keeps its permissions.
    struct stat existing {};
    const mode_t mode =
        ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? (existing.st_mode & 0777) : newCatalogMode;
    if (::fchmod(fd, mode) != 0) error = errno;
    if (error == 0) {
        FdWriter writer(fd, maxFileBytes);
        std::ostream output(&writer);
        try {
            encode(output);
        } catch (const std::exception&) {
            error = EINVAL;
        }
        output.flush();
        if (error == 0 && !output) error = writer.writeError() != 0 ? writer.writeError() : EIO;
    }
    // The data must be on the disk before the rename makes it the catalog: otherwise a crash just after
    // could leave an empty file in place of the old catalog.
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw posixError(error, failed, path.string());
    }
    // The rename itself reaches the disk with the folder's entry; a failure here leaves a whole catalog,
    // old or new, so it is not reported.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

} // namespace vantrel
