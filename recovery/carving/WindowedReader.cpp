#include "recovery/carving/WindowedReader.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel {

namespace {

std::uint64_t windowEnd(const WindowedReader::Window& window) {
    return checkedAdd(window.offset, window.bytes.size()).value_or(UINT64_MAX);
}

bool contains(const WindowedReader::Window& window, std::uint64_t position) {
    return !window.bytes.empty() && position >= window.offset && position < windowEnd(window);
}

} // namespace

WindowedReader::WindowedReader(ByteSource& source, Window current) : WindowedReader(source, current, Window{}) {}

WindowedReader::WindowedReader(ByteSource& source, Window current, Window next, Seam* seam)
    : m_source(&source), m_windows{current, next}, m_seam(seam) {}

std::optional<ByteView> WindowedReader::fromSeam(std::uint64_t offset, std::uint64_t end) {
    const Window& current = m_windows[0];
    const Window& next = m_windows[1];
    // The seam is the current window's end; the next window may begin a little before it (windows overlap by
    // the longest signature) but not after it.
    const std::uint64_t seam = windowEnd(current);
    if (m_seam == nullptr || current.bytes.empty() || !contains(next, seam) || next.offset <= current.offset) return std::nullopt;
    const std::uint64_t before = std::min<std::uint64_t>(m_seam->reachBytes, current.bytes.size());
    const std::uint64_t after = std::min<std::uint64_t>(m_seam->reachBytes, windowEnd(next) - seam);
    if (offset >= seam || end <= seam || offset < seam - before || end > seam + after) return std::nullopt;
    const auto same = [](const Window& one, const Window& other) {
        return one.offset == other.offset && one.bytes.data() == other.bytes.data() && one.bytes.size() == other.bytes.size();
    };
    if (!same(m_seam->current, current) || !same(m_seam->next, next) || m_seam->offset != seam - before ||
        m_seam->bytes.size() != before + after) {
        m_seam->bytes.resize(static_cast<std::size_t>(before + after));
        m_seam->offset = seam - before;
        m_seam->filledFrom = seam;
        m_seam->filledTo = seam;
        m_seam->current = current;
        m_seam->next = next;
    }
    // The range starts before the seam and ends after it, so what is missing lies before the filled stretch,
    // in the current window, or after it, in the next one.
    const auto place = [&](ByteView from, std::uint64_t at) {
        std::copy(from.begin(), from.end(), m_seam->bytes.begin() + static_cast<std::ptrdiff_t>(at - m_seam->offset));
    };
    if (offset < m_seam->filledFrom) {
        place(current.bytes.subspan(static_cast<std::size_t>(offset - current.offset),
                                    static_cast<std::size_t>(m_seam->filledFrom - offset)),
              offset);
        m_seam->filledFrom = offset;
    }
    if (end > m_seam->filledTo) {
        place(next.bytes.subspan(static_cast<std::size_t>(m_seam->filledTo - next.offset),
                                 static_cast<std::size_t>(end - m_seam->filledTo)),
              m_seam->filledTo);
        m_seam->filledTo = end;
    }
    return ByteView(m_seam->bytes).subspan(static_cast<std::size_t>(offset - m_seam->offset), static_cast<std::size_t>(end - offset));
}

const WindowedReader::Window* WindowedReader::windowAt(std::uint64_t position) const {
    for (const Window& window : m_windows)
        if (contains(window, position)) return &window;
    return nullptr;
}

std::uint64_t WindowedReader::nextWindowStart(std::uint64_t position) const {
    std::uint64_t start = UINT64_MAX;
    for (const Window& window : m_windows)
        if (!window.bytes.empty() && window.offset > position) start = std::min(start, window.offset);
    return start;
}

ByteView WindowedReader::read(std::uint64_t offset, std::uint64_t count, Bytes& scratch) {
    if (count == 0) return {};
    // A source clamps a request at its end; doing the same here keeps the buffer below bounded by the
    // device's size whatever length a caller derived from the data.
    std::uint64_t end = checkedAdd(offset, count).value_or(UINT64_MAX);
    const std::uint64_t sourceLength = m_source->length();
    if (offset >= sourceLength && windowAt(offset) == nullptr) {
        // Nothing lies there: an empty result, as at the end of any read that meets the device's end.
        scratch.clear();
        return {};
    }
    end = std::min(end, std::max(sourceLength, windowEnd(m_windows[0])));

    const Window* first = windowAt(offset);
    if (first != nullptr && end <= windowEnd(*first))
        return first->bytes.subspan(static_cast<std::size_t>(offset - first->offset),
                                   static_cast<std::size_t>(end - offset));
    if (const auto seam = fromSeam(offset, end)) return *seam;
    if (first == nullptr && nextWindowStart(offset) >= end) {
        m_source->readInto(offset, static_cast<std::int64_t>(end - offset), scratch);
        return scratch;
    }

    // The range meets a held window but does not lie inside one: walk it piece by piece. The pieces are
    // copied into place with std::copy (one block copy each; see PageAlignedAllocator).
    scratch.resize(static_cast<std::size_t>(end - offset));
    std::size_t filled = 0;
    Bytes piece;
    std::uint64_t position = offset;
    while (position < end) {
        if (const Window* window = windowAt(position)) {
            const std::uint64_t take = std::min(windowEnd(*window), end) - position;
            const auto from = window->bytes.begin() + static_cast<std::ptrdiff_t>(position - window->offset);
            std::copy(from, from + static_cast<std::ptrdiff_t>(take), scratch.begin() + static_cast<std::ptrdiff_t>(filled));
            filled += static_cast<std::size_t>(take);
            position += take;
            continue;
        }
        // A gap before the next held window, or the rest after the last one: one source read, appended as
        // returned. The position moves by what was asked, as a short read only happens at the device's end.
        const std::uint64_t gapEnd = std::min(nextWindowStart(position), end);
        m_source->readInto(position, static_cast<std::int64_t>(gapEnd - position), piece);
        std::copy(piece.begin(), piece.end(), scratch.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += piece.size();
        position = gapEnd;
    }
    scratch.resize(filled);
    return scratch;
}

ByteView WindowedReader::readUpTo(std::uint64_t offset, std::uint64_t count, Bytes& scratch) {
    const Window* window = count == 0 ? nullptr : windowAt(offset);
    if (window == nullptr) return read(offset, count, scratch);
    const std::uint64_t end = std::min(checkedAdd(offset, count).value_or(UINT64_MAX), windowEnd(*window));
    return window->bytes.subspan(static_cast<std::size_t>(offset - window->offset), static_cast<std::size_t>(end - offset));
}

} // namespace vantrel
