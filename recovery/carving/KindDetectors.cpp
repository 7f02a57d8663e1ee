// Kind refinement for the TIFF, ZIP and ISO base media signature rows.
// References: TIFF Revision 6.0 (tag 271 Make); ECMA-376 Part 2 (Open Packaging Conventions: the part
// names of a package appear as ZIP local file header names, word/ for WordprocessingML, xl/ for
// SpreadsheetML, ppt/ for PresentationML); ISO/IEC 14496-12 section 4.3 (FileTypeBox: size (4),
// "ftyp" (4), major_brand (4), minor_version (4), compatible_brands (4 each) to the end of the box).

#include "recovery/carving/KindDetectors.h"

#include "recovery/carving/formats/TIFFMetadata.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

namespace {

bool containsText(ByteView window, std::string_view text) {
    return std::search(window.begin(), window.end(), text.begin(), text.end(),
                       [](std::uint8_t byte, char c) { return byte == static_cast<std::uint8_t>(c); }) != window.end();
}

ByteView head(ByteView buffer, std::size_t bytes) {
    return buffer.first(std::min(buffer.size(), bytes));
}

} // namespace

namespace TIFFKindDetector {

namespace {
// Camera makers write their name in the first directory; older or edited files may carry it only in
// a maker note or an EXIF block early in the file.
constexpr std::size_t makerSearchBytes = 8192;
} // namespace

RecoveredFileKind refine(ByteView buffer) {
    if (auto make = TIFFMetadata::makeString(buffer)) {
        std::transform(make->begin(), make->end(), make->begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        if (make->find("NIKON") != std::string::npos) return RecoveredFileKind::nef;
        if (make->find("SONY") != std::string::npos) return RecoveredFileKind::arw;
    }
    const ByteView window = head(buffer, makerSearchBytes);
    if (containsText(window, "NIKON")) return RecoveredFileKind::nef;
    if (containsText(window, "SONY")) return RecoveredFileKind::arw;
    return RecoveredFileKind::tiff;
}

} // namespace TIFFKindDetector

namespace OfficeKindDetector {

namespace {
// "[Content_Types].xml" and the first parts' local headers lie at the start of a package.
constexpr std::size_t partNameSearchBytes = 16'384;

struct PartMarker {
    std::string_view prefix;
    RecoveredFileKind kind;
};
// In precedence order: a package naming several kinds of part is taken for the first.
constexpr std::array<PartMarker, 3> partMarkers{{
    {"word/", RecoveredFileKind::docx},
    {"xl/", RecoveredFileKind::xlsx},
    {"ppt/", RecoveredFileKind::pptx},
}};
} // namespace

RecoveredFileKind refineZipKind(ByteView buffer) {
    const ByteView window = head(buffer, partNameSearchBytes);
    for (const PartMarker& marker : partMarkers)
        if (containsText(window, marker.prefix)) return marker.kind;
    return RecoveredFileKind::zip;
}

} // namespace OfficeKindDetector

namespace FtypKindDetector {

namespace {

constexpr std::size_t minimumBoxBytes = 12;       // size, "ftyp", major brand
constexpr std::uint64_t brandWindowBytes = 64;    // compatible brands are read up to here
constexpr std::int64_t majorBrandOffset = 8;
constexpr std::uint64_t firstCompatibleBrandOffset = 16;
constexpr std::uint64_t brandBytes = 4;

// The brands that name a kind, in precedence order: the first row that any listed brand matches
// decides. Every other brand (isom, mp41, mp42, avc1, iso2, ...) means plain MPEG-4.
struct BrandRow {
    RecoveredFileKind kind;
    std::array<std::string_view, 6> brands;  // empty entries unused
};
constexpr std::array<BrandRow, 4> brandRows{{
    {RecoveredFileKind::heic, {"heic", "heix", "hevc", "hevx", "mif1", "msf1"}},
    {RecoveredFileKind::avif, {"avif", "avis"}},
    {RecoveredFileKind::m4a, {"M4A ", "M4B ", "M4P ", "M4R "}},
    {RecoveredFileKind::mov, {"qt  "}},
}};

// The generic HEIF image and sequence brands (ISO/IEC 23008-12). An AVIF file lists them too, since
// it is a HEIF file with AV1 pictures, so they name heic only when no AVIF brand is present.
bool isGenericHEIFBrand(std::string_view brand) { return brand == "mif1" || brand == "msf1"; }

// Canon CR3 uses "crx " and its variants.
bool isCanonRawBrand(std::string_view brand) { return brand.substr(0, 3) == "crx" || brand == "CRX "; }

std::optional<RecoveredFileKind> kindOfBrand(std::string_view brand) {
    if (isCanonRawBrand(brand)) return RecoveredFileKind::cr3;
    for (const BrandRow& row : brandRows)
        if (std::find(row.brands.begin(), row.brands.end(), brand) != row.brands.end()) return row.kind;
    return std::nullopt;
}

// Four bytes as ASCII text, or nothing when one of them is above 7F.
std::optional<std::string> asciiBrand(ByteView buffer, std::uint64_t offset) {
    std::string brand;
    for (std::uint64_t i = 0; i < brandBytes; ++i) {
        const std::uint8_t byte = FieldReader::u8(buffer, static_cast<std::int64_t>(offset + i));
        if (byte > 0x7F) return std::nullopt;
        brand.push_back(static_cast<char>(byte));
    }
    return brand;
}

} // namespace

RecoveredFileKind refine(ByteView buffer) {
    if (buffer.size() < minimumBoxBytes) return RecoveredFileKind::mp4;
    std::vector<std::string> brands;
    const auto major = asciiBrand(buffer, majorBrandOffset);
    if (major) {
        // A specific major brand states what the file is; only the generic HEIF brands defer to the
        // compatible list (an AVIF file typically lists mif1 among them).
        if (const auto kind = kindOfBrand(*major); kind && !isGenericHEIFBrand(*major)) return *kind;
        brands.push_back(*major);
    }
    // Compatible brands end with the box: bytes after a short box belong to the next box. A size of
    // 0 (to the end of the file) or 1 (a 64-bit size follows) states no useful end here.
    std::uint64_t end = std::min<std::uint64_t>(brandWindowBytes, buffer.size());
    const std::uint32_t boxSize = FieldReader::u32be(buffer, 0);
    if (boxSize > 1) end = std::min<std::uint64_t>(end, boxSize);
    for (std::uint64_t at = firstCompatibleBrandOffset; at + brandBytes <= end; at += brandBytes)
        if (auto brand = asciiBrand(buffer, at)) brands.push_back(std::move(*brand));

    const bool hasAVIFBrand = std::any_of(brands.begin(), brands.end(), [](const std::string& brand) {
        return kindOfBrand(brand) == RecoveredFileKind::avif;
    });
    for (const RecoveredFileKind kind : {RecoveredFileKind::heic, RecoveredFileKind::avif, RecoveredFileKind::cr3,
                                         RecoveredFileKind::m4a, RecoveredFileKind::mov}) {
        for (const std::string& brand : brands) {
            if (kindOfBrand(brand) != kind) continue;
            if (kind == RecoveredFileKind::heic && hasAVIFBrand && isGenericHEIFBrand(brand)) continue;
            return kind;
        }
    }
    return RecoveredFileKind::mp4;
}

} // namespace FtypKindDetector

} // namespace vantrel
