#include "recovery/filesystems/KindForFileName.h"

#include <array>
#include <string>
#include <utility>

namespace vantrel {
namespace {

using enum RecoveredFileKind;

constexpr std::array<std::pair<std::string_view, RecoveredFileKind>, 35> extensionKinds{{
    {"jpg", jpeg}, {"jpeg", jpeg}, {"heic", heic}, {"heif", heic}, {"avif", avif}, {"png", png},
    {"gif", gif}, {"webp", webp}, {"bmp", bmp}, {"tif", tiff}, {"tiff", tiff}, {"crw", crw},
    {"cr2", cr2}, {"cr3", cr3}, {"nef", nef}, {"arw", arw}, {"orf", orf}, {"mp4", mp4},
    {"mov", mov}, {"mp3", mp3}, {"m4a", m4a}, {"wav", wav}, {"flac", flac}, {"ogg", ogg},
    {"oga", ogg}, {"opus", ogg}, {"pdf", pdf}, {"docx", docx}, {"xlsx", xlsx}, {"pptx", pptx},
    {"doc", doc}, {"xls", doc}, {"ppt", doc}, {"rtf", rtf}, {"zip", zip},
}};

} // namespace

RecoveredFileKind kindForFileName(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return unknown;
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& [text, kind] : extensionKinds)
        if (text == extension) return kind;
    return unknown;
}

} // namespace vantrel
