#pragma once
// The needles a carve searches for in every window, built from the signature table and the kinds the user
// asked for, and the one-pass search that finds them all.

#include "recovery/carving/FileSignature.h"
#include "recovery/model/RecoveredFileKind.h"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vantrel {

// One header found in a window.
struct ScanCandidate {
    std::int64_t offset = 0;                    // the header's first byte, counted from the window's start
    const FileSignature* signature = nullptr;   // the row that matched; owned by the index
    std::uint32_t rank = 0;                     // the candidate order at one offset: lower comes first

    friend bool operator==(const ScanCandidate&, const ScanCandidate&) = default;
};

class SignatureScanIndex {
public:
    struct Pattern {
        FileSignature signature;
        Bytes needle;                 // a contiguous piece of the header, at least 2 bytes
        std::int64_t needleOffset = 0; // where the needle starts within the header
    };

    // Uses the signatures whose kind is allowed; a tiff, mp4 or zip row also when any kind its header can
    // turn out to be is allowed. Rows whose mask starts with a 0x00 byte (the ISO media box size) are
    // searched by their "ftyp" type instead of by a needle. Patterns are ordered longest needle first,
    // equal lengths in table order.
    SignatureScanIndex(const std::vector<FileSignature>& signatures, const RecoveredFileKindSet& allowedKinds);

    SignatureScanIndex(const SignatureScanIndex&) = delete;
    SignatureScanIndex& operator=(const SignatureScanIndex&) = delete;

    // The longest run of header bytes that must match exactly (mask byte 0xFF, or every byte without a
    // mask), and its position in the header; earliest among equal runs. Nothing when that run is shorter
    // than 2 bytes.
    static std::optional<std::pair<Bytes, std::int64_t>> needle(const Bytes& header, const std::optional<Bytes>& mask);

    const std::vector<Pattern>& patterns() const { return m_patterns; }
    const std::vector<FileSignature>& ftypSignatures() const { return m_ftypSignatures; }
    // How far past a header's start its needle, or an ISO media box's "ftyp" type, can begin: a search of
    // the positions before p has found every header that starts before p minus this.
    std::size_t needleReach() const { return m_needleReach; }

    // One pass over the window for every needle. Appends to candidates each header whose needle occurs and
    // whose masked header matches wholly inside the window, ordered by offset, then longer header first,
    // then pattern order; this is the order of searching each pattern in turn and stably sorting the
    // matches by offset and header length. Appends to ftypOffsets the offset of every "ftyp" in the window,
    // ascending, when the index has ftyp signatures.
    void scan(ByteView window, std::vector<ScanCandidate>& candidates, std::vector<std::int64_t>& ftypOffsets) const;

    // Window positions [from, to). With a headerStride above 1, only the headers that begin at from, from +
    // headerStride, ... are looked for (ISO media boxes too: their "ftyp" type lies 4 bytes on).
    struct PositionRange {
        std::size_t from = 0;
        std::size_t to = 0;
        std::size_t headerStride = 1;
    };
    // The same search over the needles and "ftyp" types that begin inside the ranges (ascending, not
    // overlapping, within the window): what the whole-window search finds at those positions, in the same
    // order. The bytes after a range, to the window's end, still count for matching what begins in it.
    void scan(ByteView window, std::span<const PositionRange> ranges, std::vector<ScanCandidate>& candidates,
              std::vector<std::int64_t>& ftypOffsets) const;

    // Limits the search to the given vector width in bits (0, 256 or 512), so that every path can be checked
    // against the others on a machine that has them all. Never raises the width above what the processor has.
    void limitVectorWidth(int bits);

private:
    // Patterns whose needles begin with the same two bytes, in candidate order.
    struct PairGroup {
        std::vector<std::uint32_t> patterns;
        bool ftyp = false;
    };

    void buildPairTable();
    // Checks the patterns of the two-byte group at window offset m.
    void verifyAt(ByteView window, std::size_t m, std::vector<ScanCandidate>& candidates,
                  std::vector<std::int64_t>& ftypOffsets) const;
    // Each searches the positions [from, to) and returns where the scalar search has to go on.
    void scanScalar(ByteView window, std::size_t from, std::size_t to, std::vector<ScanCandidate>& candidates,
                    std::vector<std::int64_t>& ftypOffsets) const;
    // The headers that begin at the range's strided starts.
    void scanStarts(ByteView window, const PositionRange& range, std::vector<ScanCandidate>& candidates,
                    std::vector<std::int64_t>& ftypOffsets) const;
#if defined(__x86_64__)
    std::size_t scanAvx2(ByteView window, std::size_t from, std::size_t to, std::vector<ScanCandidate>& candidates,
                         std::vector<std::int64_t>& ftypOffsets) const;
    std::size_t scanAvx512(ByteView window, std::size_t from, std::size_t to, std::vector<ScanCandidate>& candidates,
                           std::vector<std::int64_t>& ftypOffsets) const;
#endif

    std::vector<Pattern> m_patterns;
    std::vector<std::uint32_t> m_rank;            // per pattern: header length descending, then pattern order
    std::vector<FileSignature> m_ftypSignatures;
    bool m_needsSort = false;                     // some needle does not start the header
    std::vector<std::int64_t> m_needleOffsets;    // the patterns' needle offsets, ascending, each once
    std::size_t m_needleReach = 0;

    std::vector<PairGroup> m_groups;              // index 0 unused
    std::vector<std::uint16_t> m_pairGroup;       // first two bytes (big-endian) -> group, 0 = none
    // Nibble tables of the two-byte prefilter: bit b set when bucket b admits that nibble.
    std::uint8_t m_lowNibble0[16] = {}, m_highNibble0[16] = {}, m_lowNibble1[16] = {}, m_highNibble1[16] = {};
    enum class VectorLevel { none, avx2, avx512 };
    VectorLevel m_vectorLevel = VectorLevel::none;
};

} // namespace vantrel
