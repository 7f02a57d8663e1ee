// The preview's pictures, decoded inside the verifying child process. References: EXIF 2.32
// (Orientation, tag 0x0112, values 1 to 8), ISO/IEC 23008-12 (HEIF 'irot' and 'imir', applied by
// libheif), LibRaw's C API (libraw_unpack_thumb, sizes.flip), poppler-qt6.

#include "Vantrel/verify/PreviewRender.h"

#include "Vantrel/verify/PartialPicture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QTransform>

#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <poppler/qt6/poppler-qt6.h>

#include <algorithm>
#include <memory>

namespace vantrel::PreviewRender {

namespace {

// A PDF page is never drawn finer than this, whatever the square asks.
constexpr double maxPageDotsPerInch = 300.0;
constexpr double pointsPerInch = 72.0;

QByteArray unowned(ByteView bytes) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

const char* qtFormat(RecoveredFileKind kind) {
    switch (kind) {
    case RecoveredFileKind::jpeg: return "jpeg";
    case RecoveredFileKind::png: return "png";
    case RecoveredFileKind::gif: return "gif";
    case RecoveredFileKind::webp: return "webp";
    case RecoveredFileKind::bmp: return "bmp";
    case RecoveredFileKind::tiff: return "tiff";
    default: return nullptr;
    }
}

bool isCameraRaw(RecoveredFileKind kind) {
    switch (kind) {
    case RecoveredFileKind::crw:
    case RecoveredFileKind::cr2:
    case RecoveredFileKind::cr3:
    case RecoveredFileKind::nef:
    case RecoveredFileKind::arw:
    case RecoveredFileKind::orf: return true;
    default: return false;
    }
}

int exifOrientation(QImageIOHandler::Transformations transformation) {
    switch (static_cast<int>(transformation)) {
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    default: return 1;
    }
}

QImage fitted(QImage image, int maxSide) {
    if (image.isNull() || (image.width() <= maxSide && image.height() <= maxSide)) return image;
    return image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage qtPicture(RecoveredFileKind kind, ByteView bytes, int maxSide) {
    QByteArray data = unowned(bytes);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, qtFormat(kind));
    reader.setAutoTransform(true);
    // Scaled while decoding where the format allows it (JPEG), so a huge picture never sits in memory
    // at full size; the size is the stored one, before the orientation is applied.
    const QSize stored = reader.size();
    if (stored.isValid() && (stored.width() > maxSide || stored.height() > maxSide))
        reader.setScaledSize(stored.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
    return fitted(reader.read(), maxSide);
}

QImage heifPicture(ByteView bytes, int maxSide) {
    QImage result;
    heif_context* context = heif_context_alloc();
    if (context == nullptr) return result;
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
        heif_image* image = nullptr;
        if (heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code ==
            heif_error_Ok) {
            int stride = 0;
            const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            const int width = heif_image_get_width(image, heif_channel_interleaved);
            const int height = heif_image_get_height(image, heif_channel_interleaved);
            if (plane != nullptr && width > 0 && height > 0 && stride >= width * 4)
                result = fitted(QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy(), maxSide);
            heif_image_release(image);
        }
        heif_image_handle_release(handle);
    }
    heif_context_free(context);
    return result;
}

struct RawPreview {
    QImage image;
    int orientation = 1;
    bool upright = false;  // the picture was developed, turned already
};

// An 8-bit RGB picture of LibRaw's; a null image for any other layout or a size its data cannot hold.
QImage bitmapOf(const libraw_processed_image_t& bitmap) {
    if (bitmap.type != LIBRAW_IMAGE_BITMAP || bitmap.colors != 3 || bitmap.bits != 8 || bitmap.width == 0 ||
        bitmap.height == 0 || static_cast<std::uint64_t>(bitmap.width) * bitmap.height * 3 > bitmap.data_size)
        return {};
    return QImage(bitmap.data, bitmap.width, bitmap.height, bitmap.width * 3, QImage::Format_RGB888).copy();
}

// LibRaw's flip: 0 none, 3 half a turn, 5 a quarter turn to the left, 6 a quarter turn to the right.
int orientationOfFlip(int flip) {
    switch (flip) {
    case 3: return 3;
    case 5: return 8;
    case 6: return 6;
    default: return 1;
    }
}

RawPreview rawPreview(ByteView bytes, bool decode) {
    RawPreview result;
    libraw_data_t* raw = libraw_init(0);
    if (raw == nullptr) return result;
    if (libraw_open_buffer(raw, const_cast<std::uint8_t*>(bytes.data()), bytes.size()) == LIBRAW_SUCCESS) {
        result.orientation = orientationOfFlip(raw->sizes.flip);
        int error = 0;
        libraw_processed_image_t* thumb = nullptr;
        if (decode && libraw_unpack_thumb(raw) == LIBRAW_SUCCESS) thumb = libraw_dcraw_make_mem_thumb(raw, &error);
        if (thumb != nullptr) {
            if (thumb->type == LIBRAW_IMAGE_JPEG)
                result.image = QImage::fromData(thumb->data, static_cast<int>(thumb->data_size), "jpeg");
            else
                result.image = bitmapOf(*thumb);
            libraw_dcraw_clear_mem(thumb);
        }
        // Without an embedded preview the raw is developed, at half size, which is plenty for a preview.
        if (decode && result.image.isNull()) {
            raw->params.half_size = 1;
            libraw_processed_image_t* developed = nullptr;
            if (libraw_unpack(raw) == LIBRAW_SUCCESS && libraw_dcraw_process(raw) == LIBRAW_SUCCESS)
                developed = libraw_dcraw_make_mem_image(raw, &error);
            if (developed != nullptr) {
                result.image = bitmapOf(*developed);
                result.upright = true;
                libraw_dcraw_clear_mem(developed);
            }
        }
    }
    libraw_close(raw);
    return result;
}

QTransform transformOf(int orientation) {
    switch (orientation) {
    case 2: return QTransform(-1, 0, 0, 1, 0, 0);
    case 3: return QTransform().rotate(180);
    case 4: return QTransform(1, 0, 0, -1, 0, 0);
    case 5: return QTransform(0, 1, 1, 0, 0, 0);
    case 6: return QTransform().rotate(90);
    case 7: return QTransform(0, -1, -1, 0, 0, 0);
    case 8: return QTransform().rotate(270);
    default: return {};
    }
}

std::optional<Picture> pdfPage(ByteView bytes, int maxSide) {
    // The document keeps its own copy: poppler reads it lazily while drawing.
    const auto document = Poppler::Document::loadFromData(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                                     static_cast<qsizetype>(bytes.size())));
    // A locked document shows nothing of itself.
    if (!document || document->isLocked()) return std::nullopt;
    const int pages = document->numPages();
    if (pages <= 0) return std::nullopt;
    const auto page = document->page(0);
    if (!page) return std::nullopt;
    const QSizeF points = page->pageSizeF();
    const double longest = std::max(points.width(), points.height());
    // A page without a size is drawn at screen resolution.
    const double dpi = longest > 0 ? std::clamp(pointsPerInch * maxSide / longest, 1.0, maxPageDotsPerInch) : pointsPerInch;
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    QImage image = page->renderToImage(dpi, dpi);
    if (image.isNull()) return std::nullopt;
    return Picture{fitted(std::move(image), maxSide), pages};
}

} // namespace

bool isRenderable(RecoveredFileKind kind) {
    return qtFormat(kind) != nullptr || isCameraRaw(kind) || kind == RecoveredFileKind::heic ||
           kind == RecoveredFileKind::avif || kind == RecoveredFileKind::pdf;
}

int imageOrientation(RecoveredFileKind kind, ByteView bytes) {
    if (isCameraRaw(kind)) return rawPreview(bytes, false).orientation;
    if (qtFormat(kind) == nullptr) return 1;
    QByteArray data = unowned(bytes);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, qtFormat(kind));
    return exifOrientation(reader.transformation());
}

std::optional<Picture> render(RecoveredFileKind kind, ByteView bytes, int maxSide) {
    if (maxSide <= 0) return std::nullopt;
    if (kind == RecoveredFileKind::pdf) return pdfPage(bytes, maxSide);
    QImage image;
    bool partial = false;
    if (kind == RecoveredFileKind::jpeg) {
        // libjpeg row by row, which keeps what decodes before bad data; Qt's reader gives nothing then.
        if (auto decoded = PartialPicture::jpeg(bytes, maxSide)) {
            const int orientation = imageOrientation(kind, bytes);
            if (orientation > 1) decoded->image = decoded->image.transformed(transformOf(orientation));
            image = fitted(std::move(decoded->image), maxSide);
            partial = decoded->partial;
        }
    } else if (qtFormat(kind) != nullptr) {
        image = qtPicture(kind, bytes, maxSide);
        // Qt's PNG reader gives nothing of a cut or damaged file; libpng row by row gives what decodes.
        if (image.isNull() && kind == RecoveredFileKind::png) {
            if (auto decoded = PartialPicture::png(bytes)) {
                image = fitted(std::move(decoded->image), maxSide);
                partial = decoded->partial;
            }
        }
    } else if (kind == RecoveredFileKind::heic || kind == RecoveredFileKind::avif) {
        image = heifPicture(bytes, maxSide);
    } else if (isCameraRaw(kind)) {
        auto preview = rawPreview(bytes, true);
        if (!preview.image.isNull() && !preview.upright && preview.orientation > 1)
            preview.image = preview.image.transformed(transformOf(preview.orientation));
        image = fitted(std::move(preview.image), maxSide);
    }
    if (image.isNull()) return std::nullopt;
    return Picture{std::move(image), std::nullopt, partial};
}

} // namespace vantrel::PreviewRender
