#include "Vantrel/verify/PartialPicture.h"

#include "Vantrel/verify/IntegrityCheck.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImageReader>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>
#include <png.h>

namespace vantrel::PartialPicture {

namespace {

bool fitsInMemory(std::uint64_t width, std::uint64_t height) {
    return width > 0 && height > 0 && width <= maxPictureBytes / 4 / height;
}

QImage greyPicture(int width, int height, QImage::Format format) {
    QImage image(width, height, format);
    if (!image.isNull()) image.fill(QColor(fillGrey, fillGrey, fillGrey));
    return image;
}

// ---- JPEG through libjpeg-turbo ----

// Lives on the heap: libjpeg leaves a decode by longjmp, and what it changed must survive the jump.
struct JPEGState {
    jpeg_error_mgr errors;
    std::jmp_buf jump;
    jpeg_decompress_struct info;
    QImage image;
    JDIMENSION rowsDone = 0;
    bool started = false;
    bool corrupt = false;     // bad data, or a fatal error
    bool cut = false;         // the data ran out
    // Where the data ran out: rows done, and the scan being read of a progressive picture (its scans
    // before that one are whole).
    JDIMENSION rowsAtCut = 0;
    int scanAtCut = 0;
    bool unsupported = false;
};

[[noreturn]] void jpegFail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JPEGState*>(info->client_data)->jump, 1);
}

void jpegMessage(j_common_ptr info, int level) {
    if (level >= 0) return;
    auto* state = reinterpret_cast<JPEGState*>(info->client_data);
    switch (info->err->msg_code) {
    // An unknown JFIF revision or Adobe transform changes nothing of the picture.
    case JWRN_ADOBE_XFORM:
    case JWRN_JFIF_MAJOR: break;
    case JWRN_JPEG_EOF:
        if (!state->cut) {
            state->cut = true;
            state->rowsAtCut = state->rowsDone;
            state->scanAtCut = state->info.input_scan_number;
        }
        break;
    default: state->corrupt = true; break;
    }
}

// The smallest scale of the four libjpeg offers whose picture still fills maxSide.
unsigned int scaleDenominator(JDIMENSION width, JDIMENSION height, int maxSide) {
    const JDIMENSION longest = std::max(width, height);
    for (unsigned int denominator : {8U, 4U, 2U})
        if (longest / denominator >= static_cast<JDIMENSION>(maxSide)) return denominator;
    return 1;
}

// Free of objects with destructors: a fatal error leaves it by longjmp.
void decodeJPEG(const unsigned char* data, unsigned long size, int maxSide, JPEGState* state) {
    jpeg_decompress_struct* info = &state->info;
    info->err = jpeg_std_error(&state->errors);
    state->errors.error_exit = jpegFail;
    state->errors.emit_message = jpegMessage;
    // Kept by jpeg_create_decompress, which clears the rest.
    info->client_data = state;
    if (setjmp(state->jump) != 0) {
        // What was read stays; the rest was never reached.
        state->corrupt = true;
        jpeg_destroy_decompress(info);
        return;
    }
    jpeg_create_decompress(info);
    jpeg_mem_src(info, data, size);
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(info);
        return;
    }
    // CMYK and YCCK have no conversion to RGB in libjpeg; Qt's reader does it.
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK) {
        state->unsupported = true;
        jpeg_destroy_decompress(info);
        return;
    }
    info->scale_num = 1;
    info->scale_denom = scaleDenominator(info->image_width, info->image_height, maxSide);
    info->out_color_space = JCS_EXT_RGBX;
    jpeg_calc_output_dimensions(info);
    if (!fitsInMemory(info->output_width, info->output_height) || info->output_components != 4) {
        jpeg_destroy_decompress(info);
        return;
    }
    state->image = greyPicture(static_cast<int>(info->output_width), static_cast<int>(info->output_height),
                               QImage::Format_RGBX8888);
    if (state->image.isNull()) {
        jpeg_destroy_decompress(info);
        return;
    }
    // A progressive picture reads all its scans here: a cut one has fewer of them, so is coarser.
    jpeg_start_decompress(info);
    state->started = true;
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = state->image.scanLine(static_cast<int>(info->output_scanline));
        if (jpeg_read_scanlines(info, &row, 1) != 1) break;
        state->rowsDone = info->output_scanline;
    }
    jpeg_finish_decompress(info);
    jpeg_destroy_decompress(info);
}

// ---- PNG through libpng ----

// libpng's progressive reader: it hands over each row as soon as the data it holds has it, so the
// rows before a cut or before bad data come out, and a cut simply ends the data.
struct PNGState {
    std::jmp_buf jump;
    QImage image;
    std::uint64_t rowsDone = 0;
    bool ended = false;     // the end of the picture was reached
    bool damaged = false;   // a chunk's checksum is wrong
    bool refused = false;   // a size or layout this reader does not take
};

// The largest side libpng accepts here; the byte cap bounds the whole picture.
constexpr png_uint_32 maxPNGSidePixels = 1U << 16;

[[noreturn]] void pngFail(png_structp png, png_const_charp) {
    std::longjmp(static_cast<PNGState*>(png_get_error_ptr(png))->jump, 1);
}

void pngWarning(png_structp png, png_const_charp message) {
    if (std::strstr(message, "CRC") != nullptr) static_cast<PNGState*>(png_get_error_ptr(png))->damaged = true;
}

void pngInfo(png_structp png, png_infop info) {
    auto* state = static_cast<PNGState*>(png_get_progressive_ptr(png));
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    // Every layout becomes 8-bit RGBA: palettes and low bit depths expanded, transparency to alpha,
    // 16 bits cut to 8, grey made RGB, an opaque alpha added where there is none.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (!fitsInMemory(width, height) || png_get_rowbytes(png, info) != static_cast<png_size_t>(width) * 4) {
        state->refused = true;
        png_error(png, "refused");
    }
    state->image = greyPicture(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGBA8888);
    if (state->image.isNull()) {
        state->refused = true;
        png_error(png, "refused");
    }
}

void pngRow(png_structp png, png_bytep row, png_uint_32 number, int) {
    auto* state = static_cast<PNGState*>(png_get_progressive_ptr(png));
    // No new pixels for this row in this pass of an interlaced picture.
    if (row == nullptr || number >= static_cast<png_uint_32>(state->image.height())) return;
    png_progressive_combine_row(png, state->image.scanLine(static_cast<int>(number)), row);
    ++state->rowsDone;
}

void pngEnd(png_structp png, png_infop) { static_cast<PNGState*>(png_get_progressive_ptr(png))->ended = true; }

// Free of objects with destructors: a libpng error leaves it by longjmp.
void decodePNG(ByteView bytes, PNGState* state) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state, pngFail, pngWarning);
    if (png == nullptr) return;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return;
    }
    if (setjmp(state->jump) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return;
    }
    png_set_user_limits(png, maxPNGSidePixels, maxPNGSidePixels);
    // A damaged chunk is decoded all the same, and marks the picture.
    png_set_crc_action(png, PNG_CRC_WARN_USE, PNG_CRC_WARN_USE);
    png_set_progressive_read_fn(png, state, pngInfo, pngRow, pngEnd);
    png_process_data(png, info, const_cast<png_bytep>(bytes.data()), bytes.size());
    png_destroy_read_struct(&png, &info, nullptr);
}

// CMYK through Qt's reader, which fills what is cut as libjpeg does; libjpeg-turbo, without the
// reader's fill, tells whether the picture is whole.
std::optional<Decoded> qtJPEG(ByteView bytes, int maxSide) {
    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(false);
    const QSize stored = reader.size();
    if (stored.isValid() && (stored.width() > maxSide || stored.height() > maxSide))
        reader.setScaledSize(stored.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    const bool whole = IntegrityCheck::decodeJPEG(bytes) == IntegrityCheck::Decode::clean ||
                       IntegrityCheck::completeWithoutEndMarker(bytes);
    return Decoded{std::move(image), !whole};
}

} // namespace

std::optional<Decoded> jpeg(ByteView bytes, int maxSide) {
    if (bytes.empty() || maxSide <= 0) return std::nullopt;
    auto state = std::make_unique<JPEGState>();
    decodeJPEG(bytes.data(), static_cast<unsigned long>(bytes.size()), maxSide, state.get());
    if (state->unsupported) return qtJPEG(bytes, maxSide);
    if (state->rowsDone == 0 || state->image.isNull()) return std::nullopt;
    // Cut before a first row, or a first whole scan, was read: the picture is only grey.
    if (state->cut && (state->info.progressive_mode ? state->scanAtCut <= 1 : state->rowsAtCut == 0)) return std::nullopt;
    // The data ran out where only the end marker was missing: libjpeg reads ahead, so it says so
    // before the last rows are out.
    const bool partial = state->corrupt || (state->cut && !IntegrityCheck::completeWithoutEndMarker(bytes));
    return Decoded{std::move(state->image), partial};
}

std::optional<Decoded> png(ByteView bytes) {
    if (bytes.empty()) return std::nullopt;
    auto state = std::make_unique<PNGState>();
    decodePNG(bytes, state.get());
    if (state->refused || state->rowsDone == 0 || state->image.isNull()) return std::nullopt;
    return Decoded{std::move(state->image), state->damaged || !state->ended};
}

} // namespace vantrel::PartialPicture
