#include "recovery/carving/JPEGWalkAhead.h"

#include "recovery/carving/FileLengthEstimator.h"
#include "recovery/carving/PictureDimensions.h"
#include "recovery/carving/formats/JPEGMetadata.h"

#include <algorithm>
#include <cstring>

namespace vantrel::JPEGWalkAhead {

namespace {

// A walk made ahead reads at most this far: the windows are 4 MiB, and a small picture is mostly far less.
constexpr std::uint64_t maxWalkBytes = 1ull << 20;
// The bytes handed to the walk at a time, so that a walk told to stop stops soon.
constexpr std::size_t feedBytes = 64 * 1024;

// The windows' bytes from a device offset on, as far as they run on without a gap.
ByteView bytesFrom(const Windows& windows, std::uint64_t at) {
    if (at >= windows.currentOffset && at - windows.currentOffset < windows.current.size())
        return windows.current.subspan(static_cast<std::size_t>(at - windows.currentOffset));
    if (at >= windows.nextOffset && at - windows.nextOffset < windows.next.size())
        return windows.next.subspan(static_cast<std::size_t>(at - windows.nextOffset));
    return {};
}

// How many bytes the windows hold from offset on without a gap.
std::uint64_t heldFrom(const Windows& windows, std::uint64_t offset) {
    std::uint64_t held = 0;
    // Each turn takes a non-empty view, and there are two windows.
    for (int turn = 0; turn < 2; ++turn) {
        const ByteView bytes = bytesFrom(windows, offset + held);
        if (bytes.empty()) break;
        held += bytes.size();
    }
    return held;
}

// The shortest length at which a picture of these dimensions is not small for its pixels.
std::uint64_t plausibleFrom(ImageDimensions dimensions) {
    std::uint64_t low = 0, high = maxWalkBytes;
    if (!JPEGMetadata::isPlausiblePayloadSize(high, dimensions)) return high;
    // The rule only grows with the length: the first length it accepts lies in (low, high].
    while (low + 1 < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        (JPEGMetadata::isPlausiblePayloadSize(middle, dimensions) ? high : low) = middle;
    }
    return high;
}

} // namespace

std::vector<std::uint64_t> pictureStarts(const Windows& windows, std::uint64_t sectorBytes) {
    std::vector<std::uint64_t> starts;
    const std::uint64_t end = windows.currentOffset + windows.current.size();
    for (std::uint64_t at = (windows.currentOffset + sectorBytes - 1) / sectorBytes * sectorBytes; at < end; at += sectorBytes) {
        const auto i = static_cast<std::size_t>(at - windows.currentOffset);
        if (windows.current[i] != 0xFF) continue;
        std::uint8_t next[2] = {};
        const ByteView after = bytesFrom(windows, at + 1);
        if (after.size() < 2) {
            const ByteView further = after.empty() ? ByteView{} : bytesFrom(windows, at + 2);
            if (after.empty() || further.empty()) continue;
            next[0] = after[0], next[1] = further[0];
        } else {
            next[0] = after[0], next[1] = after[1];
        }
        if (next[0] == 0xD8 && next[1] == 0xFF) starts.push_back(at);
    }
    return starts;
}

namespace {

// Whether the bytes [from, to) after offset hold an end of image (FF D9).
bool holdsEndOfImage(const Windows& windows, std::uint64_t offset, std::uint64_t from, std::uint64_t to) {
    bool afterFF = false;  // the last byte of the bytes before was FF
    for (std::uint64_t at = from; at < to;) {
        ByteView bytes = bytesFrom(windows, offset + at);
        if (bytes.empty()) return false;
        bytes = bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), to - at)));
        if (afterFF && bytes[0] == 0xD9) return true;
        const std::uint8_t* p = bytes.data();
        const std::uint8_t* const end = p + bytes.size();
        // Every turn moves p past one FF.
        while ((p = static_cast<const std::uint8_t*>(std::memchr(p, 0xFF, static_cast<std::size_t>(end - p)))) != nullptr) {
            if (++p == end) break;
            if (*p == 0xD9) return true;
        }
        afterFF = bytes.back() == 0xFF;
        at += bytes.size();
    }
    return false;
}

} // namespace

std::optional<JPEGScanWalk::Walk> walk(const Windows& windows, std::uint64_t offset, const std::function<bool()>& stop) {
    const ByteView head = bytesFrom(windows, offset);
    const ByteView headBytes = head.first(std::min<std::size_t>(head.size(), FileLengthEstimator::headBytes));
    const auto dimensions = PictureDimensions::read(RecoveredFileKind::jpeg, headBytes);
    if (!dimensions) return std::nullopt;
    const std::uint64_t limit = std::min(heldFrom(windows, offset), plausibleFrom(*dimensions));
    // A picture that does not end within the limit is not walked (the photos of a camera card, mostly): its
    // scan data holds no end of image before its own.
    if (!holdsEndOfImage(windows, offset, JPEGScanWalk::segmentsEnd(headBytes), limit)) return std::nullopt;
    bool stopped = false;
    const JPEGScanWalk::ByteFeed feed = [&](std::uint64_t position) {
        if (stopped || (stop && stop())) return stopped = true, ByteView{};
        const ByteView bytes = bytesFrom(windows, offset + position);
        return bytes.first(std::min(bytes.size(), feedBytes));
    };
    const JPEGScanWalk::Walk walked = JPEGScanWalk::walk(feed, limit);
    if (stopped || walked.ending != JPEGScanWalk::Ending::whole) return std::nullopt;
    return walked;
}

} // namespace vantrel::JPEGWalkAhead
