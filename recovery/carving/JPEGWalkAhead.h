#pragma once
// Walks of JPEG pictures worked out ahead of the carve that needs them. A picture small for its pixel
// count is kept only when it decodes whole, and on a card of small pictures that decoding is most of the
// carve: the walks of the pictures at the sector starts of a window can be made beside it, by whoever
// provides them (the helper, on its other processors; this library starts no thread). The carve takes a
// walk from there only where it is the walk it would make itself (see answers); any other it makes.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/carving/formats/JPEGScanWalk.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vantrel::JPEGWalkAhead {

// The carve's current window and the one after it, as device offsets and bytes (the next may be empty).
struct Windows {
    ByteView current;
    std::uint64_t currentOffset = 0;
    ByteView next;
    std::uint64_t nextOffset = 0;
};

// Device offsets of the JPEG starts (FF D8 FF) at the sector starts of the current window, ascending.
std::vector<std::uint64_t> pictureStarts(const Windows& windows, std::uint64_t sectorBytes);

// The walk of the picture at offset over the windows' bytes, at most as far as a picture small for its
// pixels reaches: the walk when it is whole there, nothing otherwise (a picture without a size or without an
// end of image that near included, and one whose walk stop, asked as it goes, ended).
std::optional<JPEGScanWalk::Walk> walk(const Windows& windows, std::uint64_t offset, const std::function<bool()>& stop = {});

// Whether a walk made ahead is the carve's own over limit bytes: a walk reads nothing past the end of a
// whole picture, so over any limit at or past that end it is the same.
inline bool answers(const JPEGScanWalk::Walk& ahead, std::uint64_t limit) {
    return ahead.ending == JPEGScanWalk::Ending::whole && ahead.end <= limit;
}

// What the carve asks of a provider, all on the carve's thread.
class Provider {
public:
    virtual ~Provider() = default;
    // The carve of these windows begins: the current window's bytes stay as they are until windowEnds,
    // the next window's until the carve begins it (as the current window, its bytes where they were) or
    // calls nextDropped.
    virtual void windowBegins(const Windows& windows) = 0;
    // The walk made ahead for the picture at offset, when one was (a walk begun is waited for); nothing
    // when none was, and then none will be: the carve walks it itself.
    virtual std::optional<JPEGScanWalk::Walk> walked(std::uint64_t offset) = 0;
    // The carve of the current window ends: nothing reads its bytes after this returns.
    virtual void windowEnds() = 0;
    // The next window's bytes are to change (the carve goes on elsewhere, or ends): nothing reads them after
    // this returns. Called between windowEnds and the next windowBegins.
    virtual void nextDropped() {}
};

} // namespace vantrel::JPEGWalkAhead
