#pragma once
// What the preview window shows of a found file, made from its bytes in the verifying child process:
// the upright picture, or the first page of a PDF, scaled to fit a square, and the orientation a
// picture's own tags ask for. Nothing here runs in the application: the bytes come from a disk.
//
// Decoders: QImageReader (JPEG, PNG, GIF, WebP, BMP, TIFF; the orientation from EXIF or the TIFF tag),
// libheif (HEIC, AVIF; the container's rotation and mirroring are applied while decoding, as every
// viewer applies them), libraw (camera raws: the embedded preview picture, turned as the raw says)
// and poppler-qt6 (PDF).

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

#include <QImage>

#include <optional>

namespace vantrel::PreviewRender {

struct Picture {
    QImage image;
    std::optional<int> pageCount;  // PDF only
    // Only part of the picture decoded: the file is damaged or cut (JPEG and PNG).
    bool partial = false;
};

// The kinds that give a picture: the pictures, camera raws and PDF.
bool isRenderable(RecoveredFileKind kind);
// The orientation (1 to 8, as EXIF counts) that the file asks a viewer to apply to its first picture;
// 1 when it asks for none or cannot be read. HEIC and AVIF give 1: their decoder applies it.
int imageOrientation(RecoveredFileKind kind, ByteView bytes);
// The upright picture (or page 1), at most maxSide pixels wide and high; nothing when the bytes give
// no picture or maxSide is not positive. Of a damaged or cut JPEG or PNG, the part that decodes.
std::optional<Picture> render(RecoveredFileKind kind, ByteView bytes, int maxSide);

} // namespace vantrel::PreviewRender
