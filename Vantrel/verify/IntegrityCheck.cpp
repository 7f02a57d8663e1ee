#include "Vantrel/verify/IntegrityCheck.h"

#include "Vantrel/verify/HeifItems.h"
#include "Vantrel/verify/IntegrityKinds.h"
#include "Vantrel/verify/PDFStreamCheck.h"
#include "Vantrel/verify/ZipCheck.h"
#include "base/Bounds.h"
#include "recovery/carving/CandidateCursor.h"
#include "recovery/carving/CandidateReader.h"
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/GIFBlockWalk.h"
#include "recovery/carving/formats/ISOBoxWalk.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "recovery/carving/formats/RIFFMetadata.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <csetjmp>
#include <ctime>
#include <cstdio>
#include <limits>
#include <memory>
#include <aom/aom_decoder.h>
#include <aom/aomdx.h>
#include <libde265/de265.h>
#include <libheif/heif.h>
// libraw 0.20 takes the buffer as non-const; it only reads it.
#include <libraw/libraw.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace vantrel::IntegrityCheck {

namespace {

// ---- JPEG through libjpeg-turbo ----

struct JPEGErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    bool premature = false;
    bool corrupt = false;
};

[[noreturn]] void jpegFail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JPEGErrors*>(info->err)->jump, 1);
}

// Warnings (level -1) of corrupt data mark the stream bad; the end of the data marks it cut. Trace
// messages and harmless warnings (an unknown JFIF revision or Adobe transform) are ignored.
void jpegMessage(j_common_ptr info, int level) {
    if (level >= 0) return;
    auto* errors = reinterpret_cast<JPEGErrors*>(info->err);
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF: errors->premature = true; break;
    case JWRN_ADOBE_XFORM:
    case JWRN_JFIF_MAJOR: break;
    default: errors->corrupt = true; break;
    }
}

// Kept free of objects with destructors: libjpeg leaves it by longjmp on a fatal error.
Decode decodeJPEGStream(const unsigned char* data, unsigned long size) {
    jpeg_decompress_struct info{};
    JPEGErrors errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegFail;
    errors.base.emit_message = jpegMessage;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return errors.premature ? Decode::cut : Decode::bad;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return Decode::bad;
    }
    // Every coefficient is still entropy-decoded; only the inverse transform and the output shrink.
    info.scale_num = 1;
    info.scale_denom = 8;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    const JDIMENSION rowBytes = info.output_width * static_cast<JDIMENSION>(info.output_components);
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, rowBytes, 1);
    while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, row, 1);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (errors.premature) return Decode::cut;
    return errors.corrupt ? Decode::bad : Decode::clean;
}

void ignorePopplerMessage(const std::string&, void*) {}

// ---- End structures ----

enum class End : std::uint8_t { inside, beyond, unknown };

End endOf(std::optional<std::uint64_t> length, std::size_t size) {
    if (!length) return End::unknown;
    return *length <= size ? End::inside : End::beyond;
}

// PNG (ISO/IEC 15948, section 5.3): chunks of length (4), type (4), data, CRC (4) after the 8-byte
// signature, ended by IEND. A chunk that runs past the bytes means they were cut.
End pngEnd(ByteView bytes) {
    constexpr int maxChunks = 1 << 20;
    if (!FieldReader::matches(bytes, 0, "\x89PNG\r\n\x1a\n")) return End::unknown;
    std::uint64_t pos = 8;
    for (int i = 0; i < maxChunks; ++i) {
        const std::uint32_t length = FieldReader::u32be(bytes, static_cast<std::int64_t>(pos));
        if (pos + 8 > bytes.size()) return End::beyond;
        if (length > 0x7FFFFFFF) return End::unknown;
        const std::uint64_t next = pos + 12 + length;
        if (next > bytes.size()) return End::beyond;
        if (FieldReader::matches(bytes, static_cast<std::int64_t>(pos + 4), "IEND")) return End::inside;
        pos = next;
    }
    return End::unknown;
}

// The bytes in hand as the walks' reader; nothing lies past them.
class ViewReader final : public CandidateReader {
public:
    explicit ViewReader(ByteView bytes) : m_bytes(bytes) {}
    ByteView read(std::uint64_t offset, std::uint64_t count, Bytes&) override {
        if (offset >= m_bytes.size()) return {};
        return m_bytes.subspan(offset, std::min<std::uint64_t>(count, m_bytes.size() - offset));
    }

private:
    ByteView m_bytes;
};

End gifEnd(ByteView bytes) {
    if (!FieldReader::matches(bytes, 0, "GIF87a") && !FieldReader::matches(bytes, 0, "GIF89a")) return End::unknown;
    ViewReader reader(bytes);
    CandidateCursor cursor(reader, 0, bytes.size(), bytes, GIFBlockWalk::chunkBytes);
    // A walk that fails inside the bytes and one that runs out of them look alike here.
    return GIFBlockWalk::walk(cursor) ? End::inside : End::beyond;
}

End isoEnd(ByteView bytes) {
    ViewReader reader(bytes);
    // The walk may follow the boxes' sizes past the bytes it has: it is told there is room for them.
    return endOf(ISOBoxWalk::walk(reader, 0, std::numeric_limits<std::uint32_t>::max()), bytes.size());
}

// Where the picture's own structure says it ends. JPEG has its decoder's verdict instead; the other kinds
// reach here only as pictures.
End endStructure(RecoveredFileKind kind, ByteView bytes) {
    using K = RecoveredFileKind;
    if (FileKind::isTiffFamily(kind)) return endOf(TIFFMetadata::estimatedFileLength(bytes), bytes.size());
    // The pictures of the family; its video and sound have no end read here.
    if (FileKind::isIsoMedia(kind) && FileKind::isImage(kind)) return isoEnd(bytes);
    switch (kind) {
    case K::png: return pngEnd(bytes);
    case K::gif: return gifEnd(bytes);
    case K::bmp: return endOf(BMPMetadata::fileLength(bytes), bytes.size());
    case K::webp: return endOf(RIFFMetadata::fileLength(bytes), bytes.size());
    // The TIFF family and the ISO media pictures, above.
    case K::tiff: case K::cr2: case K::nef: case K::arw: case K::orf: case K::heic: case K::avif: case K::cr3:
    // No end structure read here.
    case K::mp4: case K::mov: case K::m4a: case K::jpeg: case K::crw: case K::mp3: case K::wav: case K::flac:
    case K::ogg: case K::pdf: case K::docx: case K::xlsx: case K::pptx: case K::doc: case K::rtf: case K::zip:
    case K::unknown:
        return End::unknown;
    }
    return End::unknown;
}

// What one decoder found: whether the header gave a picture, and how the decode went.
struct Decoded {
    bool header = false;
    Decode decode = Decode::bad;
    // The bad data lay in a part the bytes hold whole, so a cut later on does not excuse it.
    bool badInside = false;
};

// ---- PNG, GIF, BMP, WebP, TIFF through Qt ----

Decoded decodeWithQt(ByteView bytes) {
    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    Decoded result;
    if (!reader.canRead()) return result;
    const QSize size = reader.size();
    // A bitmap stored top down states a negative height, and Qt passes it on: the magnitude counts.
    result.header = size.width() > 0 && size.height() != 0 && size.height() != -1;
    result.decode = reader.read().isNull() ? Decode::bad : Decode::clean;
    return result;
}

// ---- HEIC and AVIF: each coded picture through its codec ----

// One HEVC picture through libde265, which reports what a damaged stream does to it (a slice that ends
// early or late, a picture part outside the image) as warnings; libheif does not pass them on.
Decode decodeHEVC(const HeifItems::CodedItem& item, ByteView bytes) {
    const ByteView config = item.configuration;
    // HEVCDecoderConfigurationRecord (ISO/IEC 14496-15, 8.3.3.1): byte 21 holds the unit length size
    // less one in its low two bits, byte 22 the number of parameter-set arrays.
    if (config.size() < 23) return Decode::bad;
    const unsigned lengthSize = (FieldReader::u8(config, 21) & 3U) + 1;
    de265_decoder_context* decoder = de265_new_decoder();
    if (decoder == nullptr) return Decode::bad;
    bool sound = true;
    // The parameter sets of the configuration record: arrays of (type, count, (length, unit)...).
    std::uint64_t at = 23;
    for (unsigned array = 0; array < FieldReader::u8(config, 22) && sound; ++array) {
        const unsigned count = FieldReader::u16be(config, static_cast<std::int64_t>(at + 1));
        at += 3;
        for (unsigned i = 0; i < count && sound; ++i) {
            const std::uint64_t length = FieldReader::u16be(config, static_cast<std::int64_t>(at));
            sound = fitsWithin(at + 2, length, config.size());
            if (sound) de265_push_NAL(decoder, config.data() + at + 2, static_cast<int>(length), 0, nullptr);
            at += 2 + length;
        }
    }
    // The picture's own units, each preceded by its length, across the item's extents.
    Bytes data;
    for (const auto& extent : item.extents)
        data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(extent.offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(extent.offset + extent.length));
    for (std::uint64_t unit = 0; unit < data.size() && sound;) {
        std::uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length = (length << 8) | FieldReader::u8(data, static_cast<std::int64_t>(unit + i));
        unit += lengthSize;
        sound = fitsWithin(unit, length, data.size()) && length <= INT32_MAX;
        if (sound) de265_push_NAL(decoder, data.data() + unit, static_cast<int>(length), 0, nullptr);
        unit += length;
    }
    int pictures = 0;
    if (sound) {
        de265_flush_data(decoder);
        for (int more = 1; more != 0 && sound;) {
            const de265_error error = de265_decode(decoder, &more);
            if (error != DE265_OK && error != DE265_ERROR_WAITING_FOR_INPUT_DATA) sound = false;
            for (de265_error warning; (warning = de265_get_warning(decoder)) != DE265_OK;)
                if (warning != DE265_WARNING_NO_WPP_CANNOT_USE_MULTITHREADING &&
                    warning != DE265_WARNING_NUMBER_OF_THREADS_LIMITED_TO_MAXIMUM)
                    sound = false;
            while (de265_get_next_picture(decoder) != nullptr) ++pictures;
        }
    }
    de265_free_decoder(decoder);
    return sound && pictures > 0 ? Decode::clean : Decode::bad;
}

// One AV1 picture through libaom, which fails a tile whose data is used up early or left over.
Decode decodeAV1(const HeifItems::CodedItem& item, ByteView bytes) {
    const ByteView config = item.configuration;
    if (config.size() < 4) return Decode::bad;
    // The sequence header travels in the configuration record, after its four fixed bytes.
    Bytes data(config.begin() + 4, config.end());
    for (const auto& extent : item.extents)
        data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(extent.offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(extent.offset + extent.length));
    aom_codec_ctx_t codec{};
    aom_codec_dec_cfg_t settings{};
    settings.threads = 1;
    settings.allow_lowbitdepth = 1;
    if (aom_codec_dec_init(&codec, aom_codec_av1_dx(), &settings, 0) != AOM_CODEC_OK) return Decode::bad;
    int pictures = 0;
    if (aom_codec_decode(&codec, data.data(), data.size(), nullptr) == AOM_CODEC_OK) {
        aom_codec_iter_t iterator = nullptr;
        while (aom_codec_get_frame(&codec, &iterator) != nullptr) ++pictures;
    }
    aom_codec_destroy(&codec);
    return pictures > 0 ? Decode::clean : Decode::bad;
}

// Through libheif as a whole, for layouts the item reader does not follow.
Decoded decodeWithHeif(ByteView bytes) {
    Decoded result;
    heif_context* context = heif_context_alloc();
    if (context == nullptr) return result;
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
        result.header = heif_image_handle_get_width(handle) > 0 && heif_image_handle_get_height(handle) > 0;
        heif_image* image = nullptr;
        const heif_error error =
            heif_decode_image(handle, &image, heif_colorspace_undefined, heif_chroma_undefined, nullptr);
        if (error.code == heif_error_Ok) {
            result.decode = Decode::clean;
        } else if (error.subcode == heif_suberror_End_of_data) {
            result.decode = Decode::cut;
        }
        if (image != nullptr) heif_image_release(image);
        heif_image_handle_release(handle);
    }
    heif_context_free(context);
    return result;
}

// Every coded picture of the primary image (each tile of a grid) is decoded on its own; a picture
// whose data lies past the bytes makes the file cut, and is not decoded.
Decoded decodeHEIF(ByteView bytes) {
    const auto primary = HeifItems::primary(bytes);
    if (!primary) return decodeWithHeif(bytes);
    Decoded result;
    result.header = primary->width > 0 && primary->height > 0;
    result.decode = Decode::clean;
    for (const auto& item : primary->items) {
        if (!HeifItems::inside(item, bytes.size())) {
            result.decode = Decode::cut;
            continue;
        }
        const Decode decode = item.codec == HeifItems::Codec::hevc ? decodeHEVC(item, bytes) : decodeAV1(item, bytes);
        if (decode == Decode::bad) {
            result.decode = Decode::bad;
            result.badInside = true;
            break;
        }
    }
    return result;
}

// ---- Camera raws through libraw ----

struct RawDataErrors {
    bool endOfData = false;
    bool corrupt = false;
};

// libraw reports a position of -1 when the data ran out, else where it met corrupt data.
void rawDataError(void* data, const char*, const int offset) {
    auto* errors = static_cast<RawDataErrors*>(data);
    if (offset < 0) errors->endOfData = true;
    else errors->corrupt = true;
}

Decoded decodeWithLibraw(ByteView bytes) {
    Decoded result;
    libraw_data_t* raw = libraw_init(0);
    if (raw == nullptr) return result;
    RawDataErrors errors;
    libraw_set_dataerror_handler(raw, rawDataError, &errors);
    if (libraw_open_buffer(raw, const_cast<std::uint8_t*>(bytes.data()), bytes.size()) == LIBRAW_SUCCESS) {
        result.header = raw->sizes.raw_width > 0 && raw->sizes.raw_height > 0;
        const int unpacked = libraw_unpack(raw);
        if (errors.endOfData || unpacked == LIBRAW_IO_ERROR) result.decode = Decode::cut;
        else if (unpacked == LIBRAW_SUCCESS && !errors.corrupt) result.decode = Decode::clean;
    }
    libraw_close(raw);
    return result;
}

Decoded decodePicture(RecoveredFileKind kind, ByteView bytes) {
    using K = RecoveredFileKind;
    switch (kind) {
    case K::heic: case K::avif: return decodeHEIF(bytes);
    case K::crw: case K::cr2: case K::cr3: case K::nef: case K::arw: case K::orf: return decodeWithLibraw(bytes);
    case K::jpeg: case K::png: case K::gif: case K::webp: case K::bmp: case K::tiff: return decodeWithQt(bytes);
    // Not pictures: judged by Qt, as any bytes handed here.
    case K::mp4: case K::mov: case K::mp3: case K::m4a: case K::wav: case K::flac: case K::ogg: case K::pdf:
    case K::docx: case K::xlsx: case K::pptx: case K::doc: case K::rtf: case K::zip: case K::unknown:
        return decodeWithQt(bytes);
    }
    return decodeWithQt(bytes);
}

// poppler's complaints while it reads a document: each is a piece of it that could not be read as
// written. A sound document gives none.
void countPopplerMessage(const std::string&, void* count) { ++*static_cast<std::uint64_t*>(count); }

double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Photographs in a PDF are JPEG streams kept as they are. poppler draws a damaged one without a word,
// so each stream that starts as a JPEG is decoded here too: from the line after its "stream" keyword
// to its "endstream" keyword, the line end before that taken off. Returns how many are not sound.
std::uint64_t damagedJPEGStreams(ByteView bytes, double budgetSeconds) {
    constexpr std::size_t maxStreams = 10'000;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const double until = cpuSeconds() + budgetSeconds;
    std::uint64_t damaged = 0;
    std::size_t streams = 0;
    for (std::size_t at = text.find("stream"); at != std::string_view::npos && streams < maxStreams;
         at = text.find("stream", at + 6)) {
        std::size_t data = at + 6;
        if (data < text.size() && text[data] == '\r') ++data;
        if (data < text.size() && text[data] == '\n') ++data;
        if (data == at + 6 || !FieldReader::matches(bytes, static_cast<std::int64_t>(data), "\xFF\xD8\xFF")) continue;
        std::size_t end = text.find("endstream", data);
        if (end == std::string_view::npos) end = text.size();
        std::size_t last = end;
        if (last > data && text[last - 1] == '\n') --last;
        if (last > data && text[last - 1] == '\r') --last;
        ++streams;
        if (decodeJPEG(bytes.subspan(data, last - data)) != Decode::clean) ++damaged;
        if (cpuSeconds() > until) break;
        at = end;
    }
    return damaged;
}

// Reads every page as a reader would: its text, and its drawing (fonts, pictures) at a small size.
// Stops when the budget of CPU time is spent, so that a long document stays inside the process's limit.
void readEveryPage(const poppler::document& document, double budgetSeconds) {
    const double until = cpuSeconds() + budgetSeconds;
    poppler::page_renderer renderer;
    const int pages = document.pages();
    for (int i = 0; i < pages && cpuSeconds() < until; ++i) {
        const std::unique_ptr<poppler::page> page(document.create_page(i));
        if (!page) continue;
        (void)page->text();
        (void)renderer.render_page(page.get(), pdfPageDotsPerInch, pdfPageDotsPerInch);
    }
}

} // namespace

Decode decodeJPEG(ByteView bytes) {
    if (bytes.empty()) return Decode::bad;
    return decodeJPEGStream(bytes.data(), static_cast<unsigned long>(bytes.size()));
}

HitIntegrity jpeg(ByteView bytes, bool cutAtCap) {
    if (bytes.size() < 4 || FieldReader::u16be(bytes, 0) != 0xFFD8) return HitIntegrity::failed;
    // A picture that decodes whole is one however few bytes its detail took; one that does not and is far too
    // small for its pixels is a piece.
    const Decode decode = decodeJPEG(bytes);
    if (decode == Decode::clean) return HitIntegrity::ok;
    if (decode == Decode::cut && !cutAtCap && completeWithoutEndMarker(bytes)) return HitIntegrity::ok;
    const auto dimensions = JPEGMetadata::dimensions(bytes);
    if (dimensions && !JPEGMetadata::isPlausiblePayloadSize(bytes.size(), *dimensions)) return HitIntegrity::failed;
    if (decode == Decode::cut && cutAtCap) return HitIntegrity::ok;
    if (!dimensions && bytes.size() < minUnframedJPEGBytes) return HitIntegrity::failed;
    return HitIntegrity::suspect;
}

bool completeWithoutEndMarker(ByteView bytes) {
    if (bytes.size() >= 2 && FieldReader::u16be(bytes, static_cast<std::int64_t>(bytes.size() - 2)) == 0xFFD9) return false;
    // Scan data that stops short runs into the marker and is reported as corrupt; complete scan data
    // meets it where the stream ends.
    Bytes ended(bytes.begin(), bytes.end());
    ended.push_back(0xFF);
    ended.push_back(0xD9);
    return decodeJPEG(ended) == Decode::clean;
}

HitIntegrity image(RecoveredFileKind kind, ByteView bytes, bool cutAtCap) {
    if (bytes.empty()) return HitIntegrity::failed;
    Decoded decoded = decodePicture(kind, bytes);
    // A decoder may render what it has of a cut file; the end structure says whether it had all.
    const bool endBeyond = endStructure(kind, bytes) == End::beyond;
    if (endBeyond && !decoded.badInside) decoded.decode = Decode::cut;
    // No decoder read a picture size: a fragment, unless its structure shows the start of a cut file.
    if (!decoded.header) return cutAtCap || endBeyond ? HitIntegrity::suspect : HitIntegrity::failed;
    if (decoded.decode == Decode::clean || (decoded.decode == Decode::cut && cutAtCap)) return HitIntegrity::ok;
    return HitIntegrity::suspect;
}

HitIntegrity pdf(ByteView bytes, bool cutAtCap) {
    if (bytes.empty()) return HitIntegrity::failed;
    std::uint64_t complaints = 0;
    poppler::set_debug_error_function(countPopplerMessage, &complaints);
    const std::unique_ptr<poppler::document> document(poppler::document::load_from_raw_data(
        reinterpret_cast<const char*>(bytes.data()), static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX))));
    HitIntegrity verdict = HitIntegrity::failed;
    // A locked document shows nothing of itself (poppler's page count even crashes on one).
    if (document && document->is_locked()) {
        verdict = HitIntegrity::suspect;
    } else if (document && document->pages() > 0) {
        // A probe cut at the cap lacks the document's end and the objects there: complaints are expected.
        if (!cutAtCap) {
            readEveryPage(*document, pdfReadBudgetSeconds);
            complaints += damagedJPEGStreams(bytes, pdfReadBudgetSeconds);
            complaints += PDFStreamCheck::brokenStreams(bytes, pdfReadBudgetSeconds);
        }
        verdict = cutAtCap || complaints == 0 ? HitIntegrity::ok : HitIntegrity::suspect;
    } else if (cutAtCap && FieldReader::matches(bytes, 0, "%PDF")) {
        verdict = HitIntegrity::suspect;
    }
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    return verdict;
}

HitIntegrity zip(ByteView bytes, bool cutAtCap) {
    const auto decode = ZipCheck::check(bytes);
    if (!decode) return HitIntegrity::failed;
    if (*decode == Decode::clean || (*decode == Decode::cut && cutAtCap)) return HitIntegrity::ok;
    return HitIntegrity::suspect;
}

HitIntegrity mp3(ByteView bytes, bool cutAtCap) {
    const std::uint64_t tagLength = MP3FrameWalk::id3v2Length(bytes).value_or(0);
    // A tag that runs past the bytes hides whatever follows it.
    if (tagLength >= bytes.size()) return cutAtCap && tagLength > 0 ? HitIntegrity::suspect : HitIntegrity::failed;
    ViewReader reader(bytes);
    CandidateCursor cursor(reader, 0, bytes.size(), bytes, MP3FrameWalk::chunkBytes);
    const auto run = MP3FrameWalk::firstRun(cursor, tagLength);
    if (!run) return HitIntegrity::failed;
    Decode decode = Decode::bad;
    const ByteView rest = bytes.subspan(run->end);
    if (run->cut) decode = Decode::cut;
    else if (rest.empty() || (rest.size() == MP3FrameWalk::id3v1Bytes && FieldReader::matches(rest, 0, "TAG")) ||
             FieldReader::matches(rest, 0, "APETAGEX") || FieldReader::matches(rest, 0, "LYRICSBEGIN"))
        decode = Decode::clean;
    if (decode == Decode::clean || (decode == Decode::cut && cutAtCap)) return HitIntegrity::ok;
    return HitIntegrity::suspect;
}

bool isCheckable(RecoveredFileKind kind) { return IntegrityKinds::isCheckable(kind); }

HitIntegrity verdict(RecoveredFileKind kind, ByteView bytes, bool cutAtCap) {
    if (kind == RecoveredFileKind::jpeg) return jpeg(bytes, cutAtCap);
    if (kind == RecoveredFileKind::pdf) return pdf(bytes, cutAtCap);
    if (kind == RecoveredFileKind::zip) return zip(bytes, cutAtCap);
    if (kind == RecoveredFileKind::mp3) return mp3(bytes, cutAtCap);
    if (FileKind::isImage(kind)) return image(kind, bytes, cutAtCap);
    return HitIntegrity::skipped;
}

} // namespace vantrel::IntegrityCheck
