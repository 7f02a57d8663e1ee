#include "recovery/carving/SignatureCatalog.h"

#include <string_view>

namespace vantrel::SignatureCatalog {

namespace {

constexpr std::uint64_t mebibyte = 1024 * 1024;

Bytes text(std::string_view ascii) { return Bytes(ascii.begin(), ascii.end()); }

Bytes concat(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

FileSignature row(RecoveredFileKind kind, Bytes header, std::uint64_t maxScanMiB, std::optional<Bytes> footer = {},
                  std::optional<Bytes> mask = {}) {
    return FileSignature{kind, std::move(header), std::move(mask), std::move(footer), maxScanMiB * mebibyte, 1};
}

std::vector<FileSignature> buildTable() {
    using K = RecoveredFileKind;
    // RIFF containers: the chunk size at bytes 4-7 varies, the form type at 8-11 names the format.
    const Bytes riffMask{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    // ISO base media (ISO/IEC 14496-12): the box size at bytes 0-3 varies, the type "ftyp" follows.
    const Bytes ftypMask{0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes fourZeros{0x00, 0x00, 0x00, 0x00};
    return {
        row(K::jpeg, {0xFF, 0xD8, 0xFF}, 64, Bytes{0xFF, 0xD9}),
        row(K::png, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, 64,
            Bytes{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}),  // "IEND" and its CRC
        row(K::gif, text("GIF89a"), 32, text(";")),
        row(K::gif, text("GIF87a"), 32, text(";")),
        row(K::webp, concat({text("RIFF"), fourZeros, text("WEBP")}), 64, std::nullopt, riffMask),
        row(K::bmp, text("BM"), 64),
        row(K::crw, concat({text("II"), Bytes{0x1A, 0x00, 0x00, 0x00}, text("HEAP")}), 64),
        row(K::cr2, concat({text("II"), Bytes{0x2A, 0x00, 0x10, 0x00, 0x00, 0x00}, text("CR")}), 128),
        row(K::orf, text("IIRO"), 128),
        row(K::orf, text("IIRS"), 128),
        row(K::orf, text("MMOR"), 128),
        row(K::tiff, concat({text("II"), Bytes{0x2A, 0x00}}), 128),
        row(K::tiff, concat({text("MM"), Bytes{0x00, 0x2A}}), 128),
        row(K::mp4, concat({fourZeros, text("ftyp")}), 512, std::nullopt, ftypMask),
        row(K::pdf, text("%PDF-"), 128, text("%%EOF")),
        row(K::rtf, text("{\\rtf"), 32),
        row(K::doc, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, 64),
        row(K::zip, concat({text("PK"), Bytes{0x03, 0x04}}), 256),
        row(K::mp3, text("ID3"), 32),
        row(K::wav, concat({text("RIFF"), fourZeros, text("WAVE")}), 64, std::nullopt, riffMask),
        row(K::flac, text("fLaC"), 64),
        row(K::ogg, text("OggS"), 64),
    };
}

} // namespace

const std::vector<FileSignature>& carveMVP() {
    static const std::vector<FileSignature> table = buildTable();
    return table;
}

const std::vector<FileSignature>& defaults() {
    static const std::vector<FileSignature> table = carveMVP();
    return table;
}

} // namespace vantrel::SignatureCatalog
