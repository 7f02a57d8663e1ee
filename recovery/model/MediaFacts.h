#pragma once
// What a sound or video file's container says about it, for the preview: how long it plays and, for a
// video, its picture's size. Read from the container's headers only; nothing is decoded.

#include "recovery/model/RecoveredHit.h"

#include <cstdint>
#include <optional>

namespace vantrel {

struct MediaFacts {
    std::optional<std::uint64_t> durationMilliseconds;
    // The duration is worked out from an average bitrate, not counted: shown as "about".
    bool durationEstimated = false;
    // The picture as shown (a track turned a quarter turn has its sides swapped); video only.
    std::optional<ImageDimensions> pictureSize;

    bool empty() const { return !durationMilliseconds && !pictureSize; }
    friend bool operator==(const MediaFacts&, const MediaFacts&) = default;
};

// No recording on a card plays for a year: a longer duration comes from a damaged header.
inline constexpr std::uint64_t maxMediaMilliseconds = 366ULL * 24 * 3600 * 1000;

// count units of which rate make a second, in milliseconds rounded down; nothing when rate is 0 or
// the result is beyond maxMediaMilliseconds.
constexpr std::optional<std::uint64_t> millisecondsOf(std::uint64_t count, std::uint64_t rate) {
    if (rate == 0) return std::nullopt;
    const std::uint64_t seconds = count / rate;
    if (seconds > maxMediaMilliseconds / 1000) return std::nullopt;
    // The remainder is below rate; rate above 2^44 would overflow it, and no rate is near that.
    if (rate > (1ULL << 44)) return seconds * 1000;
    const std::uint64_t result = seconds * 1000 + (count % rate) * 1000 / rate;
    if (result > maxMediaMilliseconds) return std::nullopt;
    return result;
}

} // namespace vantrel
