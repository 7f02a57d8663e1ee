#include "Vantrel/verify/CaptureDate.h"

#include "recovery/carving/formats/EXIFBlock.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include <ctime>
#include <libheif/heif.h>
// libraw 0.20 takes the buffer as non-const; it only reads it.
#include <libraw/libraw.h>

namespace vantrel {

namespace {

// EXIF date texts are 19 characters; blanks and line ends around them are dropped.
std::string trimmed(const std::string& text) {
    constexpr std::string_view space = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::optional<CaptureStamp> stamp(const std::optional<std::string>& dateTime, const std::optional<std::string>& offset) {
    if (!dateTime) return std::nullopt;
    CaptureStamp result{trimmed(*dateTime), std::nullopt};
    if (!CaptureDate::toDate(result)) return std::nullopt;
    if (offset) {
        CaptureStamp withOffset{result.wallClock, trimmed(*offset)};
        if (CaptureDate::toDate(withOffset)) return withOffset;
    }
    return result;
}

std::optional<CaptureStamp> fromTIFFBlock(ByteView block) {
    const TIFFMetadata::CaptureTimes times = TIFFMetadata::captureTimes(block);
    if (auto original = stamp(times.dateTimeOriginal, times.offsetTimeOriginal)) return original;
    if (auto digitized = stamp(times.dateTimeDigitized, times.offsetTimeDigitized)) return digitized;
    return stamp(times.dateTime, times.offsetTime);
}

// libheif's EXIF block starts with the 4-byte big-endian offset of the TIFF header after it.
std::optional<CaptureStamp> fromHeif(ByteView bytes) {
    std::optional<CaptureStamp> result;
    heif_context* context = heif_context_alloc();
    if (context == nullptr) return result;
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
        heif_item_id id = 0;
        if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) == 1) {
            const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
            Bytes block(size);
            if (size >= 4 && heif_image_handle_get_metadata(handle, id, block.data()).code == heif_error_Ok) {
                const std::uint32_t start = FieldReader::u32be(block, 0);
                if (start <= size - 4) result = fromTIFFBlock(ByteView(block).subspan(4 + start));
            }
        }
        heif_image_handle_release(handle);
    }
    heif_context_free(context);
    return result;
}

// libraw gives the camera's wall clock as a local time_t; turned back into local fields it is the
// time the file states.
std::optional<CaptureStamp> fromLibraw(ByteView bytes) {
    std::optional<CaptureStamp> result;
    libraw_data_t* raw = libraw_init(0);
    if (raw == nullptr) return result;
    if (libraw_open_buffer(raw, const_cast<std::uint8_t*>(bytes.data()), bytes.size()) == LIBRAW_SUCCESS && raw->other.timestamp > 0) {
        const std::time_t seconds = raw->other.timestamp;
        std::tm local{};
        char text[32];
        if (localtime_r(&seconds, &local) && std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local) == 19)
            result = CaptureStamp{text, std::nullopt};
    }
    libraw_close(raw);
    return result;
}

} // namespace

namespace CaptureDate {

std::optional<CaptureStamp> stampFromImageData(RecoveredFileKind kind, ByteView bytes) {
    if (bytes.empty() || !FileKind::isImage(kind)) return std::nullopt;
    using K = RecoveredFileKind;
    switch (kind) {
    case K::heic: case K::avif: return fromHeif(bytes);
    case K::crw: case K::cr3: return fromLibraw(bytes);
    // The pictures that hold an EXIF block, where EXIFBlock finds it (or says there is none).
    case K::jpeg: case K::png: case K::gif: case K::webp: case K::bmp: case K::tiff: case K::cr2: case K::nef:
    case K::arw: case K::orf:
    // Not pictures: turned away above.
    case K::mp4: case K::mov: case K::mp3: case K::m4a: case K::wav: case K::flac: case K::ogg: case K::pdf:
    case K::docx: case K::xlsx: case K::pptx: case K::doc: case K::rtf: case K::zip: case K::unknown:
        break;
    }
    const auto block = EXIFBlock::find(kind, bytes);
    if (!block) return std::nullopt;
    return fromTIFFBlock(*block);
}

} // namespace CaptureDate

std::optional<HitDate> captureDate(RecoveredFileKind kind, ByteView bytes) {
    const auto stamp = CaptureDate::stampFromImageData(kind, bytes);
    if (!stamp) return std::nullopt;
    return CaptureDate::toDate(*stamp);
}

} // namespace vantrel
