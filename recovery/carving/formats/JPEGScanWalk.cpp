// The entropy-coded data of a sequential Huffman scan (T.81 F.2.2): per block a DC difference category and
// its bits, then run/size symbols for the 63 AC coefficients up to an end of block. Byte FF in the data is
// stuffed as FF 00; any other marker ends the data. Positions count from SOI.

#include "recovery/carving/formats/JPEGScanWalk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace vantrel::JPEGScanWalk {

namespace {

constexpr int maxComponents = 4;
constexpr int maxBlocksPerMcu = 10;          // T.81 B.2.3
constexpr int maxDcCategory = 11;            // 8-bit samples
constexpr int maxAcSize = 10;
constexpr std::int32_t maxDcMagnitude = 2047;
// More scans than this in one picture is no picture (a progressive one has about ten).
constexpr int maxScans = 256;

// Codes of up to this many bits are looked up in one step.
constexpr int fastBits = 10;

struct Huffman {
    std::array<std::uint16_t, 1 << fastBits> fast{};  // (length << 8) | symbol for the short codes; 0 = none
    // (length of the code and the value bits after it << 8) | symbol, where both fit in fastBits; 0 = none.
    // A DC symbol's value has as many bits as the symbol says (none past the longest category), an AC
    // symbol's as its low four bits.
    std::array<std::uint16_t, 1 << fastBits> fastWithValue{};
    std::array<std::int32_t, 17> maxCode{};     // per length, -1 when the length has no code
    std::array<std::int32_t, 17> valueOffset{};
    std::array<std::uint8_t, 256> values{};
    // Every code with its length, in the order of values.
    int total = 0;
    std::array<std::uint16_t, 256> codes{};
    std::array<std::uint8_t, 256> lengths{};
};

int valueBits(bool dc, int symbol) {
    if (dc) return symbol <= maxDcCategory ? symbol : -1;
    return (symbol & 15) <= maxAcSize ? symbol & 15 : -1;
}

// Fills the entries of a lookahead table of `bits` bits that begin with the `length` bits of code.
template <typename Entry, std::size_t size>
void fillEntries(std::array<Entry, size>& table, int bits, std::uint32_t code, int length, Entry entry) {
    const int shift = bits - length;
    for (std::uint32_t fill = 0; fill < (1u << shift); ++fill)
        table[static_cast<std::size_t>(code << shift | fill)] = entry;
}

// T.81 C.2 and F.2.2.3: canonical codes from the counts per length. False when the counts overflow the code
// space of their lengths.
bool build(Huffman& table, bool dc, const std::uint8_t* counts, const std::uint8_t* values, int total) {
    table = Huffman{};
    std::copy_n(values, total, table.values.begin());
    table.total = total;
    std::int32_t code = 0;
    int k = 0;
    for (int length = 1; length <= 16; ++length) {
        const int count = counts[length - 1];
        table.valueOffset[static_cast<std::size_t>(length)] = k - code;
        table.maxCode[static_cast<std::size_t>(length)] = count == 0 ? -1 : code + count - 1;
        for (int i = 0; i < count; ++i, ++code, ++k) {
            if (code >= (1 << length)) return false;
            table.codes[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(code);
            table.lengths[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(length);
            if (length > fastBits) continue;
            const auto ucode = static_cast<std::uint32_t>(code);
            fillEntries(table.fast, fastBits, ucode, length, static_cast<std::uint16_t>(length << 8 | values[k]));
            const int extra = valueBits(dc, values[k]);
            if (extra < 0 || length + extra > fastBits) continue;
            for (std::uint32_t value = 0; value < (1u << extra); ++value)
                fillEntries(table.fastWithValue, fastBits, ucode << extra | value, length + extra,
                            static_cast<std::uint16_t>((length + extra) << 8 | values[k]));
        }
        code <<= 1;
    }
    return true;
}

// The Huffman tables made last on this thread, by the bytes that define them: the pictures of one camera
// or encoder mostly define the same ones, and a small picture's decoding costs little more than their
// making.
class HuffmanCache {
public:
    // The table of these counts and values (total of them), or nothing when they define none.
    std::shared_ptr<const Huffman> find(bool dc, const std::uint8_t* counts, const std::uint8_t* values, int total) {
        const auto count = static_cast<std::size_t>(total);
        for (const Entry& entry : m_entries)
            if (entry.table && entry.dc == dc && entry.total == total && std::equal(counts, counts + 16, entry.counts.begin()) &&
                std::equal(values, values + count, entry.values.begin()))
                return entry.table;
        auto table = std::make_shared<Huffman>();
        if (!build(*table, dc, counts, values, total)) return nullptr;
        Entry& entry = m_entries[m_next++ % m_entries.size()];
        entry.dc = dc;
        entry.total = total;
        std::copy_n(counts, 16, entry.counts.begin());
        std::copy_n(values, count, entry.values.begin());
        entry.table = std::move(table);
        return entry.table;
    }

private:
    struct Entry {
        bool dc = false;
        int total = 0;
        std::array<std::uint8_t, 16> counts{};
        std::array<std::uint8_t, 256> values{};
        std::shared_ptr<const Huffman> table;  // a walk holds its own share
    };
    std::array<Entry, 8> m_entries{};
    std::size_t m_next = 0;
};

HuffmanCache& huffmanCache() {
    thread_local HuffmanCache cache;
    return cache;
}

// Whole blocks of few bits, the most of a plain picture's: per lookahead of blockBits bits that begins with a
// block's every code and value, up to its end of block, (the offsets of its AC codes within the block as a
// mask << 12) | (DC code and value bits << 8) | (DC category << 4) | bits of the block; 0 where the bits
// begin no such block, or one of another kind (a DC category past the longest, a coefficient past the
// block's last), which is decoded code by code.
constexpr int blockBits = 12;
using BlockTable = std::array<std::uint32_t, 1 << blockBits>;
// Pictures of fewer blocks than this are decoded without the table unless their tables were met before (its
// making would cost more), and those of fewer than smallestWithBlockTable unless it was made already.
constexpr std::uint64_t blockTableFrom = 4096;
constexpr std::uint64_t smallestWithBlockTable = 256;

struct BlockPrefix {
    std::uint32_t bits = 0;
    int length = 0;
    int k = 1;                 // the next coefficient
    std::uint32_t starts = 0;  // offsets of the AC codes so far
};

// Every way the AC codes go on from `at` to an end of block within blockBits bits.
void addAcCodes(BlockTable& table, const Huffman& ac, const BlockPrefix& at, std::uint32_t dcPart) {
    for (int e = 0; e < ac.total; ++e) {
        const int length = ac.lengths[static_cast<std::size_t>(e)];
        // The codes come in order of their lengths.
        if (at.length + length > blockBits) break;
        const int symbol = ac.values[static_cast<std::size_t>(e)];
        const int run = symbol >> 4, size = symbol & 15;
        BlockPrefix next{at.bits << length | ac.codes[static_cast<std::size_t>(e)], at.length + length, at.k,
                         at.starts | 1u << at.length};
        if (size == 0) {
            if (run == 0) {
                fillEntries(table, blockBits, next.bits, next.length,
                            next.starts << 12 | dcPart | static_cast<std::uint32_t>(next.length));
            } else if (run == 15 && at.k + 16 <= 63) {
                next.k += 16;
                addAcCodes(table, ac, next, dcPart);
            }
            continue;
        }
        next.k += run + 1;
        // A block filled to its last coefficient ends without an end of block: left to the code by code path.
        if (next.k > 63 || size > maxAcSize || next.length + size > blockBits) continue;
        for (std::uint32_t value = 0; value < (1u << size); ++value) {
            BlockPrefix valued = next;
            valued.bits = next.bits << size | value;
            valued.length += size;
            addAcCodes(table, ac, valued, dcPart);
        }
    }
}

// Runs of AC codes within a block, wherever in it they begin: per lookahead of acRunBits bits, the AC codes
// with their values that lie whole in it, up to an end of block (taken too) or to the first code of another
// kind (a coefficient past the longest, a code the table does not hold, any but these), packed as (the
// offsets of the codes within the run as a mask << 12) | (whether the run ends the block << 10) | (the
// coefficients it moves on << 4) | its bits; noRun (63 coefficients and no bits, more than any block has
// room for after its DC) where not one code lies whole in the lookahead. The count of coefficients stays
// within a block's (a run is cut before that), and the decoder takes a run only where the block holds it:
// the codes are then decided as one by one.
constexpr int acRunBits = 12;
using AcRunTable = std::array<std::uint32_t, 1 << acRunBits>;
constexpr std::uint32_t runEndsBlock = 1u << 10;
constexpr std::uint32_t noRun = 63u << 4;

// The AC symbol whose code begins the `available` bits of lookahead, with the code's length; nothing when
// no code of the table is that short.
std::optional<std::pair<int, int>> acSymbolAt(const Huffman& ac, std::uint32_t lookahead, int available) {
    for (int length = 1; length <= std::min(16, available); ++length) {
        const auto code = static_cast<std::int32_t>((lookahead >> (available - length)) & ((1u << length) - 1));
        if (code <= ac.maxCode[static_cast<std::size_t>(length)]) {
            const std::int32_t index = ac.valueOffset[static_cast<std::size_t>(length)] + code;
            if (index < 0 || index >= 256) return std::nullopt;
            return std::pair{static_cast<int>(ac.values[static_cast<std::size_t>(index)]), length};
        }
    }
    return std::nullopt;
}

// How many coefficients an AC symbol moves a block on: 16 for a run of zeros, 0 for the end of the
// block, run + 1 for a coefficient; nothing for a symbol no block can hold.
std::optional<int> acMoves(int symbol) {
    const int run = symbol >> 4, size = symbol & 15;
    if (size == 0 && run == 15) return 16;
    if (size == 0) return run == 0 ? std::optional<int>(0) : std::nullopt;
    if (size > maxAcSize) return std::nullopt;
    return run + 1;
}

void buildAcRunTable(AcRunTable& table, const Huffman& ac) {
    for (std::uint32_t lookahead = 0; lookahead < table.size(); ++lookahead) {
        int used = 0, coefficients = 0;
        std::uint32_t starts = 0, ends = 0;
        while (used < acRunBits && ends == 0) {
            const auto found = acSymbolAt(ac, lookahead & ((1u << (acRunBits - used)) - 1), acRunBits - used);
            if (!found) break;
            const int size = found->first & 15, length = found->second;
            const auto moves = acMoves(found->first);
            if (!moves || used + length + size > acRunBits || coefficients + *moves > 63) break;
            if (found->first == 0) ends = runEndsBlock;
            starts |= 1u << used;
            used += length + size;
            coefficients += *moves;
        }
        table[lookahead] = used == 0 ? noRun : starts << 12 | ends | static_cast<std::uint32_t>(coefficients << 4 | used);
    }
}

// The same runs over a lookahead one bit longer, for the decoding ahead of a scan (blockAhead), which
// needs no offsets of the codes: (whether the run ends the block << 10) | (the coefficients it moves on
// << 4) | its bits, or noRun. A longer run is fewer steps a block (a fifth fewer on a card of small
// pictures), and entries of two bytes keep the table as small as the one above.
constexpr int aheadRunBits = 13;
static_assert(aheadRunBits <= 15, "a run's bits are packed in four bits");
using AheadRunTable = std::array<std::uint16_t, 1 << aheadRunBits>;

// From the run table, which holds the same runs but for their last code: a code that did not lie whole in
// the shorter lookahead and lies whole in this one ends just at its end, so at most one more is taken.
void buildAheadRunTable(AheadRunTable& table, const AcRunTable& runs, const Huffman& ac) {
    static_assert(aheadRunBits == acRunBits + 1);
    for (std::uint32_t lookahead = 0; lookahead < table.size(); ++lookahead) {
        const std::uint32_t shorter = runs[lookahead >> 1];
        std::uint32_t ends = shorter & runEndsBlock;
        int used = shorter == noRun ? 0 : static_cast<int>(shorter & 15);
        int coefficients = shorter == noRun ? 0 : static_cast<int>((shorter >> 4) & 63);
        if (ends == 0) {
            const int room = aheadRunBits - used;
            if (const auto found = acSymbolAt(ac, lookahead & ((1u << room) - 1), room)) {
                const int size = found->first & 15, length = found->second;
                const auto moves = acMoves(found->first);
                if (moves && length + size <= room && coefficients + *moves <= 63) {
                    if (found->first == 0) ends = runEndsBlock;
                    used += length + size;
                    coefficients += *moves;
                }
            }
        }
        table[lookahead] = static_cast<std::uint16_t>(used == 0 ? noRun : ends | static_cast<std::uint32_t>(coefficients << 4 | used));
    }
}

void buildBlockTable(BlockTable& table, const Huffman& dc, const Huffman& ac) {
    table.fill(0);
    for (int d = 0; d < dc.total; ++d) {
        const int category = dc.values[static_cast<std::size_t>(d)];
        const int head = dc.lengths[static_cast<std::size_t>(d)] + category;
        if (category > maxDcCategory || head >= blockBits) continue;
        const auto dcPart = static_cast<std::uint32_t>(head << 8 | category << 4);
        const std::uint32_t code = dc.codes[static_cast<std::size_t>(d)];
        for (std::uint32_t value = 0; value < (1u << category); ++value)
            addAcCodes(table, ac, BlockPrefix{code << category | value, head, 1, 0}, dcPart);
    }
}

// The tables made from a pair of Huffman tables (DC, AC) for their decoding in more than a code a step.
struct Lookahead {
    BlockTable blocks;
    AcRunTable acRuns;
    AheadRunTable aheadRuns;
};

bool sameCodes(const Huffman& a, const Huffman& b) {
    const auto count = static_cast<std::size_t>(a.total);
    return a.total == b.total && std::equal(a.values.begin(), a.values.begin() + count, b.values.begin()) &&
           std::equal(a.lengths.begin(), a.lengths.begin() + count, b.lengths.begin());
}

std::uint64_t fingerprint(const Huffman& dc, const Huffman& ac) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    const auto add = [&](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
    for (const Huffman* table : {&dc, &ac}) {
        add(static_cast<std::uint8_t>(table->total));
        for (int i = 0; i < table->total; ++i) {
            add(table->values[static_cast<std::size_t>(i)]);
            add(table->lengths[static_cast<std::size_t>(i)]);
        }
    }
    return hash;
}

// The block tables of the Huffman tables met last on this thread. The pictures of one camera or encoder
// mostly share their tables, and a small picture's decoding costs less than making its block table, so a
// small picture gets one only when its tables were met before; a large one always does; and the smallest
// only one made already (`madeOnly`).
class LookaheadCache {
public:
    std::shared_ptr<const Lookahead> find(const Huffman& dc, const Huffman& ac, bool large, bool madeOnly = false) {
        for (Entry& entry : m_entries)
            if (entry.table && sameCodes(entry.dc, dc) && sameCodes(entry.ac, ac)) return entry.table;
        if (madeOnly) return nullptr;
        const std::uint64_t key = fingerprint(dc, ac);
        const bool metBefore = std::find(m_met.begin(), m_met.end(), key) != m_met.end();
        if (!large && !metBefore) {
            m_met[m_nextMet++ % m_met.size()] = key;
            return nullptr;
        }
        auto table = std::make_shared<Lookahead>();
        buildBlockTable(table->blocks, dc, ac);
        buildAcRunTable(table->acRuns, ac);
        buildAheadRunTable(table->aheadRuns, table->acRuns, ac);
        Entry& entry = m_entries[m_nextEntry++ % m_entries.size()];
        entry.dc = dc;
        entry.ac = ac;
        entry.table = std::move(table);
        return entry.table;
    }

private:
    struct Entry {
        Huffman dc, ac;
        std::shared_ptr<const Lookahead> table;  // a walk holds its own share, so a table is never freed under it
    };
    std::array<Entry, 4> m_entries{};
    std::size_t m_nextEntry = 0;
    std::array<std::uint64_t, 8> m_met{};
    std::size_t m_nextMet = 0;
};

LookaheadCache& lookaheadCache() {
    // One per thread: walks on different threads share nothing.
    thread_local LookaheadCache cache;
    return cache;
}

struct Component {
    std::uint8_t id = 0;
    int h = 1, v = 1;
};

struct Frame {
    bool present = false;
    bool decodable = false;  // sequential Huffman, 8-bit, a height given here
    std::uint32_t width = 0, height = 0;
    int count = 0;
    std::array<Component, maxComponents> components{};
    int hMax = 1, vMax = 1;
};

struct ScanPlan {
    std::uint64_t mcus = 0;
    int blocks = 0;
    std::array<std::uint8_t, maxBlocksPerMcu> blockComponent{};  // index into the DC predictors and tables
    std::array<const Huffman*, maxComponents> dc{}, ac{};
    std::array<const Lookahead*, maxComponents> lookaheads{};  // none for a small picture
    std::uint32_t restartInterval = 0;
};

// The decoder's whole state between two MCUs: it can be copied and resumed, and told to go on at another
// position when it reaches one (the gap between two pieces).
struct State {
    std::uint64_t fetch = 0;      // the next byte to read
    std::uint64_t bits64 = 0;     // bits read and not used, in the low `bits`
    int bits = 0;
    bool atMarker = false;        // fetch holds the FF of a marker
    bool atEnd = false;           // no byte at fetch
    std::uint64_t mcu = 0;
    std::array<std::int32_t, maxComponents> dc{};
    std::uint8_t nextRestart = 0;
    std::uint64_t jumpAt = UINT64_MAX, jumpTo = 0;
};

enum class Step : std::uint8_t { ok, broken, cut, paused };

struct Snapshot {
    std::uint64_t sector = 0;  // a sector start at or after the state's fetch
    State state;
};

class Decoder {
public:
    Decoder(const ByteFeed& feed, std::uint64_t limit, bool bySymbol)
        : m_feed(feed), m_limit(limit), m_bySymbol(bySymbol) {}

    void setLimit(std::uint64_t limit) {
        m_limit = limit;
        m_chunk = {};
    }

    int byteAt(std::uint64_t p) {
        if (p - m_chunkStart < m_chunk.size()) return m_chunk[static_cast<std::size_t>(p - m_chunkStart)];
        if (p >= m_limit) return -1;
        m_chunk = m_feed(p);
        m_chunkStart = p;
        if (m_chunk.empty()) return -1;
        if (m_chunk.size() > m_limit - p) m_chunk = m_chunk.first(static_cast<std::size_t>(m_limit - p));
        return m_chunk[0];
    }

    bool copy(std::uint64_t p, std::size_t count, std::uint8_t* out) {
        for (std::size_t i = 0; i < count; ++i) {
            const int b = byteAt(p + i);
            if (b < 0) return false;
            out[i] = static_cast<std::uint8_t>(b);
        }
        return true;
    }

    static std::uint64_t next(std::uint64_t p, const State& s) { return p + 1 == s.jumpAt ? s.jumpTo : p + 1; }

    // After an FF in the data, the byte that follows it (-1 past the bytes): true for the 00 of a stuffed
    // FF; else the data ends there, at a marker or at the end of the bytes.
    static bool stuffed(int code, State& s) {
        if (code == 0) return true;
        (code < 0 ? s.atEnd : s.atMarker) = true;
        return false;
    }

    // Takes bytes in until more than 56 bits are in hand, or up to a marker or the end of the bytes.
    void fill(State& s) {
        if (!fillWord(s)) fillByByte(s);
    }

    // The bytes fill takes, in one step, where the chunk holds eight from fetch on and the ones taken
    // hold no FF and reach no jump (true too where fill has none to take); false, with nothing taken,
    // otherwise.
    bool fillWord(State& s) const {
        if (s.bits > 56 || s.atMarker || s.atEnd) return true;
        if (!takeWord(s.bits64, s.bits, s.fetch, s.jumpAt)) return false;
        if (s.fetch == s.jumpAt) s.fetch = s.jumpTo;
        return true;
    }

    // Takes in as many whole bytes as the 64 bits hold (none with more than 56 in hand) from fetch on, in one
    // step, where the chunk holds eight there and the ones taken hold no FF and reach no jump at jumpAt
    // (which is then where fetch stands); false, with nothing taken, otherwise.
    bool takeWord(std::uint64_t& bits64, int& bits, std::uint64_t& fetch, std::uint64_t jumpAt) const {
        const std::uint64_t inChunk = fetch - m_chunkStart;
        if (inChunk >= m_chunk.size() || m_chunk.size() - inChunk < 8) return false;
        const int count = (64 - bits) >> 3;  // 0 to 8
        if (jumpAt > fetch && jumpAt - fetch < static_cast<std::uint64_t>(count)) return false;
        std::uint64_t word = 0;
        std::memcpy(&word, m_chunk.data() + inChunk, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        // A byte FF among the ones taken: a zero byte of the inverse. The test flags every one, and may
        // flag an FE just before one too (then the bytes are taken one by one, to the same effect).
        const std::uint64_t inverse = ~word;
        const std::uint64_t zeros = (inverse - 0x0101010101010101ull) & ~inverse & 0x8080808080808080ull;
        // Shifts of up to 64 in two halves.
        const int half = 4 * count;
        const std::uint64_t taken = ~std::uint64_t{0} << (32 - half) << (32 - half);
        if ((zeros & taken) != 0) return false;
        bits64 = (bits64 << half << half) | (word >> (32 - half) >> (32 - half));
        bits += 8 * count;
        fetch += static_cast<std::uint64_t>(count);
        return true;
    }

    void fillByByte(State& s) {
        while (s.bits <= 56 && !s.atMarker && !s.atEnd) {
            // The bytes in hand before any FF and before the position the data goes on from elsewhere.
            const std::uint64_t inChunk = s.fetch - m_chunkStart;
            if (inChunk < m_chunk.size()) {
                std::uint64_t run = m_chunk.size() - inChunk;
                if (s.jumpAt > s.fetch) run = std::min(run, s.jumpAt - s.fetch);
                const std::uint8_t* bytes = m_chunk.data() + inChunk;
                std::uint64_t i = 0;
                while (s.bits <= 56 && i < run && bytes[i] != 0xFF) {
                    s.bits64 = s.bits64 << 8 | bytes[i++];
                    s.bits += 8;
                }
                s.fetch += i;
                if (s.fetch == s.jumpAt) s.fetch = s.jumpTo;
                if (s.bits > 56) return;
                if (i < run && bytes[i] != 0xFF) continue;
                if (i == run) continue;
            }
            const int b = byteAt(s.fetch);
            if (b < 0) {
                s.atEnd = true;
                break;
            }
            if (b != 0xFF) {
                s.bits64 = s.bits64 << 8 | static_cast<std::uint64_t>(b);
                s.bits += 8;
                s.fetch = next(s.fetch, s);
                continue;
            }
            const std::uint64_t after = next(s.fetch, s);
            if (!stuffed(byteAt(after), s)) break;
            s.bits64 = s.bits64 << 8 | 0xFF;
            s.bits += 8;
            s.fetch = next(after, s);
        }
    }

    // A symbol, -1 when the bits ran out, -2 for a code the table does not hold. Leaves at least 26 bits
    // (the longest code and the longest value after it) in hand where the data has them.
    int decode(State& s, const Huffman& table) {
        if (s.bits < 32) fill(s);
        if (s.bits >= fastBits) {
            const std::uint16_t entry =
                table.fast[static_cast<std::size_t>((s.bits64 >> (s.bits - fastBits)) & ((1u << fastBits) - 1))];
            if (entry != 0) {
                s.bits -= entry >> 8;
                return entry & 0xFF;
            }
        }
        for (int length = 1; length <= 16; ++length) {
            if (s.bits < length) return -1;
            const auto code = static_cast<std::int32_t>((s.bits64 >> (s.bits - length)) & ((1u << length) - 1));
            if (code <= table.maxCode[static_cast<std::size_t>(length)]) {
                s.bits -= length;
                const std::int32_t index = table.valueOffset[static_cast<std::size_t>(length)] + code;
                return index >= 0 && index < 256 ? table.values[static_cast<std::size_t>(index)] : -2;
            }
        }
        return -2;
    }

    bool receive(State& s, int count, std::int32_t& value) {
        if (count == 0) {
            value = 0;
            return true;
        }
        if (s.bits < count) fill(s);
        if (s.bits < count) return false;
        value = static_cast<std::int32_t>((s.bits64 >> (s.bits - count)) & ((1u << count) - 1));
        s.bits -= count;
        if (value < (1 << (count - 1))) value -= (1 << count) - 1;
        return true;
    }

    Step ranOut(const State& s) const { return s.atEnd ? Step::cut : Step::broken; }

    // The DC difference, added to the predictor.
    Step dcBySymbol(State& s, const Huffman& dcTable, std::int32_t& predictor) {
        const int category = decode(s, dcTable);
        if (category == -1) return ranOut(s);
        if (category < 0 || category > maxDcCategory) return Step::broken;
        std::int32_t diff = 0;
        if (!receive(s, category, diff)) return ranOut(s);
        predictor += diff;
        return Step::ok;
    }

    Step blockBySymbol(State& s, const Huffman& dcTable, const Huffman& acTable, std::int32_t& predictor) {
        if (const Step dc = dcBySymbol(s, dcTable, predictor); dc != Step::ok) return dc;
        if (std::abs(predictor) > maxDcMagnitude) return Step::broken;
        for (int k = 1; k < 64;)
            if (const Step step = acSymbol(s, acTable, k); step != Step::ok) return step;
        return Step::ok;
    }

    // The block as blockBySymbol decodes it, with the lookahead tables where they have an entry: a short
    // block in one step, any other code with its value's bits. The bits are
    // taken in at the same points (a symbol begun with fewer than 32 in hand), so that every state, and
    // where a walk stops, is the same.
    Step block(State& s, const Huffman& dcTable, const Huffman& acTable, const Lookahead* lookahead,
               std::int32_t& predictor) {
        const BlockTable* blocks = lookahead != nullptr ? &lookahead->blocks : nullptr;
        if (s.bits < 32) fill(s);
        int bits = s.bits;
        const auto done = [&](Step step) {
            s.bits = bits;
            return step;
        };
        const auto peek = [&](int count) {
            return static_cast<std::size_t>((s.bits64 >> (bits - count)) & ((1u << count) - 1));
        };
        // The value of `count` bits that end `after` bits from the last in hand.
        const auto value = [&](int after, int count) {
            if (count == 0) return std::int32_t{0};
            auto v = static_cast<std::int32_t>((s.bits64 >> after) & ((1u << count) - 1));
            return v < (1 << (count - 1)) ? v - ((1 << count) - 1) : v;
        };
        if (blocks != nullptr && bits >= blockBits) {
            const std::uint32_t entry = (*blocks)[peek(blockBits)];
            const int head = (entry >> 8) & 15, category = (entry >> 4) & 15, length = entry & 15;
            if (entry != 0) {
                const std::int32_t next = predictor + value(bits - head, category);
                if (std::abs(next) <= maxDcMagnitude) {
                    predictor = next;
                    fillWithin(s, bits, entry >> 12, blockBits);
                    bits -= length;
                    return done(Step::ok);
                }
            }
        }
        const std::uint16_t dcEntry = bits >= fastBits ? dcTable.fastWithValue[peek(fastBits)] : 0;
        if (dcEntry != 0) {
            const int length = dcEntry >> 8;
            predictor += value(bits - length, dcEntry & 0xFF);
            bits -= length;
        } else {
            s.bits = bits;
            if (const Step dc = dcBySymbol(s, dcTable, predictor); dc != Step::ok) return dc;
            bits = s.bits;
        }
        if (std::abs(predictor) > maxDcMagnitude) return done(Step::broken);
        const AcRunTable* runs = lookahead != nullptr ? &lookahead->acRuns : nullptr;
        for (int k = 1; k < 64;) {
            if (bits < 32) {
                s.bits = bits;
                fill(s);
                bits = s.bits;
            }
            if (runs != nullptr && bits >= acRunBits) {
                const std::uint32_t run = (*runs)[peek(acRunBits)];
                const int moves = (run >> 4) & 63;
                if (k + moves <= 63) {
                    fillWithin(s, bits, run >> 12, acRunBits);
                    bits -= static_cast<int>(run & 15);
                    if ((run & runEndsBlock) != 0) break;
                    k += moves;
                    continue;
                }
            }
            const std::uint16_t entry = bits >= fastBits ? acTable.fastWithValue[peek(fastBits)] : 0;
            int symbol = 0;
            if (entry != 0) {
                symbol = entry & 0xFF;
                // The code alone first: a symbol that cannot be here stops the walk before its value.
                bits -= (entry >> 8) - (symbol & 15);
            } else {
                s.bits = bits;
                symbol = decode(s, acTable);
                if (symbol == -1) return ranOut(s);
                if (symbol < 0) return Step::broken;
                bits = s.bits;
            }
            const int run = symbol >> 4, size = symbol & 15;
            if (size == 0) {
                if (run == 0) break;                // end of block
                if (run != 15 || k + 16 > 63) return done(Step::broken);
                k += 16;
                continue;
            }
            k += run;
            if (k > 63 || size > maxAcSize) return done(Step::broken);
            if (entry == 0) {
                s.bits = bits;
                if (s.bits < size) fill(s);
                if (s.bits < size) return ranOut(s);
                bits = s.bits;
            }
            bits -= size;
            ++k;
        }
        return done(Step::ok);
    }

    // One AC code and its value's bits at coefficient k, as blockBySymbol decodes them; k past the block's
    // last after its end of block.
    Step acSymbol(State& s, const Huffman& acTable, int& k) {
        const int symbol = decode(s, acTable);
        if (symbol == -1) return ranOut(s);
        if (symbol < 0) return Step::broken;
        const int run = symbol >> 4, size = symbol & 15;
        if (size == 0) {
            if (run == 0) k = 64;  // end of block
            else if (run != 15 || k + 16 > 63) return Step::broken;
            else k += 16;
            return Step::ok;
        }
        k += run;
        if (k > 63 || size > maxAcSize) return Step::broken;
        // Only the value's bits are passed over: no coefficient is needed.
        if (s.bits < size) fill(s);
        if (s.bits < size) return ranOut(s);
        s.bits -= size;
        ++k;
        return Step::ok;
    }

    // The bits in hand of a scan decoded ahead (see scanAhead), held apart from its State so that they stay
    // in registers: the first `bits` of `buffer` from its top, and below them whatever of the bytes from
    // fetch on was taken in with them (the same bits again when those bytes are taken).
    struct Reader {
        std::uint64_t buffer = 0;
        int bits = 0;
        std::uint64_t fetch = 0;
        const std::uint8_t* base = nullptr;  // the chunk's bytes, indexed by position
        std::uint64_t wordsBefore = 0;       // from a position below this (and at the chunk's start or past it) the chunk holds eight bytes
    };

    // Readers are passed and returned by value, never by address, so that the compiler keeps the one of a
    // scan in registers.
    Reader readerOf(const State& s) const {
        Reader r;
        r.buffer = s.bits == 0 ? 0 : s.bits64 << (64 - s.bits);
        r.bits = s.bits;
        r.fetch = s.fetch;
        r.base = m_chunk.data() - m_chunkStart;
        r.wordsBefore = m_chunk.size() >= 8 ? m_chunkStart + m_chunk.size() - 7 : 0;
        return r;
    }

    static void stateFrom(State& s, const Reader& r) {
        s.bits64 = r.bits == 0 ? 0 : r.buffer >> (64 - r.bits);
        s.bits = r.bits;
        s.fetch = r.fetch;
    }

    // At least 56 bits in hand where the bytes have them (no jump is set): eight bytes at a time where those
    // taken hold no FF, else one by one as fill takes them, up to a marker or the end of the bytes.
    [[gnu::always_inline]] void refill(Reader& r, State& s) {
        if (r.fetch >= m_chunkStart && r.fetch < r.wordsBefore) {
            std::uint64_t word = 0;
            std::memcpy(&word, r.base + r.fetch, 8);
            if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
            const int count = (63 - r.bits) >> 3;  // the whole bytes taken, 0 to 7
            // A byte FF among them: a zero byte of the inverse (see takeWord).
            const std::uint64_t inverse = ~word;
            const std::uint64_t zeros = (inverse - 0x0101010101010101ull) & ~inverse & 0x8080808080808080ull;
            if ((zeros & ~(~std::uint64_t{0} >> (8 * count))) == 0) {
                r.buffer |= word >> r.bits;
                r.fetch += static_cast<std::uint64_t>(count);
                r.bits |= 56;
                return;
            }
        }
        r = refillByByte(r, s);
    }

    [[gnu::noinline]] Reader refillByByte(Reader r, State& s) {
        r.buffer &= r.bits == 0 ? 0 : ~std::uint64_t{0} << (64 - r.bits);
        while (r.bits < 56 && !s.atMarker && !s.atEnd) {
            const int b = byteAt(r.fetch);
            if (b < 0) {
                s.atEnd = true;
                break;
            }
            if (b == 0xFF) {
                if (!stuffed(byteAt(r.fetch + 1), s)) break;
                ++r.fetch;
            }
            ++r.fetch;
            r.buffer |= static_cast<std::uint64_t>(b) << (56 - r.bits);
            r.bits += 8;
        }
        r.base = m_chunk.data() - m_chunkStart;
        r.wordsBefore = m_chunk.size() >= 8 ? m_chunkStart + m_chunk.size() - 7 : 0;
        return r;
    }

    // The block as block decodes it, but with the bytes taken in wherever that is quickest, so that only
    // a block decoded whole is the same: see scanAhead. Runs of AC codes are taken a lookahead at a time,
    // any other code on its own.
    // The block's tables are looked up in the plan where they are used, rather than held from its start: the
    // loop over the AC runs then has the registers for its own values.
    [[gnu::always_inline]] Step blockAhead(Reader& r, State& s, const ScanPlan& plan, std::uint8_t c) {
        const Lookahead& lookahead = *plan.lookaheads[c];
        std::int32_t& predictor = s.dc[c];
        const auto peek = [&](int count) { return static_cast<std::size_t>(r.buffer >> (64 - count)); };
        const auto take = [&](int count) {
            r.buffer <<= count;
            r.bits -= count;
        };
        // A step the careful way, on the State.
        const auto carefully = [&](auto step) {
            stateFrom(s, r);
            const Step result = step();
            r = readerOf(s);
            return result;
        };
        refill(r, s);
        const std::uint16_t dcEntry = r.bits >= 32 ? plan.dc[c]->fastWithValue[peek(fastBits)] : 0;
        // Near a marker or the end of the bytes, and for a long code, the block is decoded the careful way.
        if (dcEntry == 0) return carefully([&] { return block(s, *plan.dc[c], *plan.ac[c], &lookahead, predictor); });
        const int length = dcEntry >> 8, category = dcEntry & 0xFF;
        const auto raw = static_cast<std::int32_t>((r.buffer >> (64 - length)) & ((1u << category) - 1));
        predictor += raw < ((1 << category) >> 1) ? raw - (1 << category) + 1 : raw;
        take(length);
        if (std::abs(predictor) > maxDcMagnitude) return Step::broken;
        for (int k = 1; k < 64;) {
            // A step takes at most 15 bits, so while 32 are in hand it is taken without a refill (which
            // changes no code decoded, only when bytes are taken in).
            if (r.bits < 32) refill(r, s);
            if (r.bits >= 32) {
                const std::uint32_t run = lookahead.aheadRuns[peek(aheadRunBits)];
                const int moves = (run >> 4) & 63;  // 63 where no run begins
                if (k + moves <= 63) {
                    take(static_cast<int>(run & 15));
                    if ((run & runEndsBlock) != 0) break;
                    k += moves;
                    continue;
                }
            }
            // On a copy of k, so that k itself never leaves a register.
            int next = k;
            if (const Step step = carefully([&] { return acSymbol(s, *plan.ac[c], next); }); step != Step::ok) return step;
            k = next;
        }
        return Step::ok;
    }

    // The scan's MCUs from s on as scan decodes them (without pauses, snapshots or a jump), a lookahead
    // table for every component, with the bytes taken in wherever that is quickest. Bytes taken in sooner
    // or later change no decoded code, only how many are in hand when a walk stops; so what scan would
    // make of the MCUs is known where these decode to a marker: at a restart (after which the state is
    // the same whichever way it came: `checkpoint` is kept there) and where the scan ends. Where they do
    // not, scan decodes them again from the checkpoint to say where they stop.
    Step scanAhead(State& s, const ScanPlan& plan, bool strict, State& checkpoint) {
        Reader r = readerOf(s);
        while (s.mcu < plan.mcus) {
            for (int b = 0; b < plan.blocks; ++b) {
                const std::uint8_t c = plan.blockComponent[static_cast<std::size_t>(b)];
                const Step step = blockAhead(r, s, plan, c);
                if (step != Step::ok) {
                    stateFrom(s, r);
                    return step;
                }
            }
            ++s.mcu;
            if (plan.restartInterval != 0 && s.mcu % plan.restartInterval == 0 && s.mcu < plan.mcus) {
                stateFrom(s, r);
                if (const Step step = takeRestart(s, strict); step != Step::ok) return step;
                checkpoint = s;
                r = readerOf(s);
            }
        }
        stateFrom(s, r);
        return Step::ok;
    }

    bool bySymbol() const { return m_bySymbol; }

    // Where the codes of a lookahead of `span` bits (their offsets in it as the mask `starts`) are taken
    // in one step from `bits` in hand: the bytes are read at the first code begun with fewer than 32 in
    // hand, as its decoding alone would read them. They go in after those in hand, the lookahead's among
    // them, so `bits` may count past the buffer's 64 by bits the step takes.
    void fillWithin(State& s, int& bits, std::uint32_t starts, int span) {
        if (bits >= 32 + span) return;
        const int from = std::max(0, bits - 31);
        const std::uint32_t due = starts & ~((1u << from) - 1);
        if (due == 0) return;
        const int at = std::countr_zero(due);
        s.bits = bits - at;
        fill(s);
        bits = s.bits + at;
    }

    // Takes the marker the data must end with here (a restart marker, or any marker at the scan's end): what
    // is left of the last byte is padding, all ones where `strict` asks it.
    Step endOfInterval(State& s, bool strict) {
        fill(s);
        if (!s.atMarker) return s.atEnd ? Step::cut : Step::broken;
        if (s.bits >= 8) return Step::broken;
        if (strict && s.bits > 0 && (s.bits64 & ((1u << s.bits) - 1)) != (1u << s.bits) - 1) return Step::broken;
        return Step::ok;
    }

    Step takeRestart(State& s, bool strict) {
        const Step ended = endOfInterval(s, strict);
        if (ended != Step::ok) return ended;
        const std::uint64_t codeAt = next(s.fetch, s);
        if (byteAt(codeAt) != 0xD0 + s.nextRestart) return Step::broken;
        s.fetch = next(codeAt, s);
        s.nextRestart = static_cast<std::uint8_t>((s.nextRestart + 1) & 7);
        s.atMarker = false;
        s.bits = 0;
        s.bits64 = 0;
        s.dc.fill(0);
        return Step::ok;
    }

    // Decodes the scan's MCUs from s on; paused at the first MCU that starts with fetch at or past pauseAt.
    // With snapshots, keeps the state for each of the last sector starts it passes (sectorBytes, phase as
    // in ContinuationSearch).
    Step scan(State& s, const ScanPlan& plan, bool strict, std::uint64_t pauseAt = UINT64_MAX,
              std::vector<Snapshot>* snapshots = nullptr, std::uint64_t sectorBytes = 512, std::uint64_t phase = 0,
              std::size_t keep = 0) {
        State last = s;
        const auto record = [&](std::uint64_t upTo) {
            // Sector starts t with last.fetch <= t < upTo: the last state that read nothing past t.
            const std::uint64_t first = (last.fetch + phase + sectorBytes - 1) / sectorBytes * sectorBytes;
            for (std::uint64_t t = first; t < upTo + phase; t += sectorBytes) {
                if (t < phase) continue;
                snapshots->push_back(Snapshot{t - phase, last});
                if (snapshots->size() > 2 * keep) snapshots->erase(snapshots->begin(), snapshots->end() - static_cast<std::ptrdiff_t>(keep));
            }
        };
        while (s.mcu < plan.mcus) {
            if (s.fetch >= pauseAt) return Step::paused;
            if (snapshots != nullptr) {
                if (s.fetch > last.fetch && s.jumpAt == UINT64_MAX) record(s.fetch);
                last = s;
            }
            for (int b = 0; b < plan.blocks; ++b) {
                const std::uint8_t c = plan.blockComponent[static_cast<std::size_t>(b)];
                const Step step = m_bySymbol ? blockBySymbol(s, *plan.dc[c], *plan.ac[c], s.dc[c])
                                             : block(s, *plan.dc[c], *plan.ac[c], plan.lookaheads[c], s.dc[c]);
                if (step != Step::ok) {
                    if (snapshots != nullptr && s.jumpAt == UINT64_MAX) record(s.fetch + 1);
                    return step;
                }
            }
            ++s.mcu;
            if (plan.restartInterval != 0 && s.mcu % plan.restartInterval == 0 && s.mcu < plan.mcus) {
                const Step step = takeRestart(s, strict);
                if (step != Step::ok) {
                    if (snapshots != nullptr && s.jumpAt == UINT64_MAX) record(s.fetch + 1);
                    return step;
                }
            }
        }
        return Step::ok;
    }

private:
    const ByteFeed& m_feed;
    std::uint64_t m_limit;
    ByteView m_chunk;
    std::uint64_t m_chunkStart = 0;
    bool m_bySymbol = false;  // without the lookahead tables: the reference the tables are checked against
};

bool isStartOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// The walk over the markers, with the scans decoded in it. It may stop at the first scan for a continuation
// search, which then runs from the snapshots the scan kept.
class MarkerWalk {
public:
    MarkerWalk(const ByteFeed& feed, std::uint64_t limit, bool bySymbol = false) : m_decoder(feed, limit, bySymbol) {}

    Decoder& decoder() { return m_decoder; }
    const ScanPlan& plan() const { return m_plan; }
    const Frame& frame() const { return m_frame; }

    // From SOI up to the first scan's data; false with the walk's result in `result` when it ends first.
    bool toFirstScan(Walk& result, std::uint64_t& scanData) {
        std::uint8_t soi[2];
        if (!m_decoder.copy(0, 2, soi) || soi[0] != 0xFF || soi[1] != 0xD8) {
            result = Walk{Ending::broken, 0};
            return false;
        }
        m_position = 2;
        return markers(result, scanData);
    }

    // Walks markers from m_position until a decodable scan's data begins (true) or the walk ends (false).
    bool markers(Walk& result, std::uint64_t& scanData) {
        for (;;) {
            std::uint8_t pair[2];
            if (!m_decoder.copy(m_position, 2, pair)) return stop(result, Ending::cut, m_position);
            if (pair[0] != 0xFF) return stop(result, Ending::broken, m_position);
            if (pair[1] == 0xFF) {
                ++m_position;
                continue;
            }
            const std::uint8_t marker = pair[1];
            if (marker == 0xD9) {
                if (m_scans == 0) return stop(result, Ending::broken, m_position);
                return stop(result, Ending::whole, m_position + 2);
            }
            if (marker == 0xD8 || marker == 0x00) return stop(result, Ending::broken, m_position);
            if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
                m_position += 2;
                continue;
            }
            std::uint8_t lengthBytes[2];
            if (!m_decoder.copy(m_position + 2, 2, lengthBytes)) return stop(result, Ending::cut, m_position);
            const std::size_t length = static_cast<std::size_t>(lengthBytes[0] << 8 | lengthBytes[1]);
            if (length < 2) return stop(result, Ending::broken, m_position);
            m_body.resize(length - 2);
            if (!m_decoder.copy(m_position + 4, m_body.size(), m_body.data())) return stop(result, Ending::cut, m_position);
            const std::uint64_t after = m_position + 2 + length;
            bool ok = true;
            if (marker == 0xC4) ok = huffmanTables();
            else if (marker == 0xDD) ok = restartInterval();
            else if (isStartOfFrame(marker)) ok = frame(marker);
            else if (marker == 0xDA) {
                if (!m_frame.present || ++m_scans > maxScans) return stop(result, Ending::broken, m_position);
                if (m_frame.decodable) {
                    if (!scanPlan()) return stop(result, Ending::broken, m_position);
                    scanData = after;
                    m_position = after;
                    return true;
                }
                // Data that is not decoded here runs to the next marker other than a restart.
                const auto end = skipEntropyData(after);
                if (!end) return stop(result, Ending::cut, after);
                m_position = *end;
                continue;
            }
            if (!ok) return stop(result, Ending::broken, m_position);
            m_position = after;
        }
    }

    // Goes on after a scan whose data ended with its last MCU, at the marker there (or past the bytes an
    // encoder left before it).
    bool afterScan(const State& s, Walk& result, std::uint64_t& scanData) {
        if (s.atMarker) m_position = s.fetch;
        else {
            const auto marker = skipEntropyData(s.fetch);
            if (!marker) return stop(result, Ending::cut, s.fetch);
            m_position = *marker;
        }
        return markers(result, scanData);
    }

    Walk finish(Walk result, const State& s) const {
        result.decoded = m_frame.decodable;
        result.mcusDecoded = s.mcu;
        result.mcusInScan = m_plan.mcus;
        return result;
    }

private:
    bool stop(Walk& result, Ending ending, std::uint64_t at) {
        result = Walk{ending, at};
        return false;
    }

    std::optional<std::uint64_t> skipEntropyData(std::uint64_t from) {
        for (std::uint64_t p = from;; ++p) {
            const int b = m_decoder.byteAt(p);
            if (b < 0) return std::nullopt;
            if (b != 0xFF) continue;
            const int code = m_decoder.byteAt(p + 1);
            if (code < 0) return std::nullopt;
            if (code != 0 && code != 0xFF && (code < 0xD0 || code > 0xD7)) return p;
        }
    }

    bool huffmanTables() {
        std::size_t at = 0;
        while (at < m_body.size()) {
            if (at + 17 > m_body.size()) return false;
            const std::uint8_t classAndId = m_body[at];
            const int tableClass = classAndId >> 4, id = classAndId & 15;
            if (tableClass > 1 || id > 3) return false;
            int total = 0;
            for (int i = 0; i < 16; ++i) total += m_body[at + 1 + static_cast<std::size_t>(i)];
            if (total > 256 || at + 17 + static_cast<std::size_t>(total) > m_body.size()) return false;
            auto table = huffmanCache().find(tableClass == 0, m_body.data() + at + 1, m_body.data() + at + 17, total);
            if (!table) return false;
            m_tables[static_cast<std::size_t>(tableClass * 4 + id)] = std::move(table);
            at += 17 + static_cast<std::size_t>(total);
        }
        return true;
    }

    bool restartInterval() {
        if (m_body.size() != 2) return false;
        m_restartInterval = static_cast<std::uint32_t>(m_body[0] << 8 | m_body[1]);
        return true;
    }

    bool frame(std::uint8_t marker) {
        if (m_frame.present || m_body.size() < 6) return false;
        Frame& f = m_frame;
        f.present = true;
        const int precision = m_body[0];
        f.height = static_cast<std::uint32_t>(m_body[1] << 8 | m_body[2]);
        f.width = static_cast<std::uint32_t>(m_body[3] << 8 | m_body[4]);
        f.count = m_body[5];
        if (f.width == 0 || f.count == 0 || f.count > maxComponents || m_body.size() < 6 + 3 * static_cast<std::size_t>(f.count))
            return marker != 0xC0 && marker != 0xC1;  // other processes are passed over by their markers
        for (int i = 0; i < f.count; ++i) {
            Component& c = f.components[static_cast<std::size_t>(i)];
            const std::size_t at = 6 + 3 * static_cast<std::size_t>(i);
            c.id = m_body[at];
            c.h = m_body[at + 1] >> 4;
            c.v = m_body[at + 1] & 15;
            if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return false;
            f.hMax = std::max(f.hMax, c.h);
            f.vMax = std::max(f.vMax, c.v);
        }
        f.decodable = (marker == 0xC0 || marker == 0xC1) && precision == 8 && f.height != 0;
        return true;
    }

    bool scanPlan() {
        if (m_body.empty()) return false;
        const int count = m_body[0];
        if (count < 1 || count > m_frame.count || m_body.size() != 4 + 2 * static_cast<std::size_t>(count)) return false;
        ScanPlan plan;
        plan.restartInterval = m_restartInterval;
        std::array<int, maxComponents> indices{};
        for (int i = 0; i < count; ++i) {
            const std::uint8_t id = m_body[1 + 2 * static_cast<std::size_t>(i)];
            const std::uint8_t tables = m_body[2 + 2 * static_cast<std::size_t>(i)];
            int index = -1;
            for (int c = 0; c < m_frame.count; ++c)
                if (m_frame.components[static_cast<std::size_t>(c)].id == id) index = c;
            if (index < 0 || (tables >> 4) > 3 || (tables & 15) > 3) return false;
            const Huffman* dc = m_tables[tables >> 4].get();
            const Huffman* ac = m_tables[4 + (tables & 15)].get();
            if (dc == nullptr || ac == nullptr) return false;
            indices[static_cast<std::size_t>(i)] = index;
            plan.dc[static_cast<std::size_t>(index)] = dc;
            plan.ac[static_cast<std::size_t>(index)] = ac;
        }
        const std::size_t tail = 1 + 2 * static_cast<std::size_t>(count);
        if (m_body[tail] != 0 || m_body[tail + 1] != 63 || m_body[tail + 2] != 0) return false;
        const Frame& f = m_frame;
        if (count == 1) {
            // One component alone: an MCU is one block, over the component's own size.
            const Component& c = f.components[static_cast<std::size_t>(indices[0])];
            const std::uint64_t columns = ceilDiv(ceilDiv(std::uint64_t{f.width} * static_cast<std::uint64_t>(c.h), static_cast<std::uint64_t>(f.hMax)), 8);
            const std::uint64_t rows = ceilDiv(ceilDiv(std::uint64_t{f.height} * static_cast<std::uint64_t>(c.v), static_cast<std::uint64_t>(f.vMax)), 8);
            plan.mcus = columns * rows;
            plan.blocks = 1;
            plan.blockComponent[0] = static_cast<std::uint8_t>(indices[0]);
        } else {
            plan.mcus = ceilDiv(f.width, 8 * static_cast<std::uint64_t>(f.hMax)) * ceilDiv(f.height, 8 * static_cast<std::uint64_t>(f.vMax));
            for (int i = 0; i < count; ++i) {
                const Component& c = f.components[static_cast<std::size_t>(indices[static_cast<std::size_t>(i)])];
                for (int b = 0; b < c.h * c.v; ++b) {
                    if (plan.blocks == maxBlocksPerMcu) return false;
                    plan.blockComponent[static_cast<std::size_t>(plan.blocks++)] = static_cast<std::uint8_t>(indices[static_cast<std::size_t>(i)]);
                }
            }
        }
        const std::uint64_t blocks = plan.mcus * static_cast<std::uint64_t>(plan.blocks);
        for (int i = 0; i < count; ++i) {
            const auto c = static_cast<std::size_t>(indices[static_cast<std::size_t>(i)]);
            // Components with the same tables share one (the two of colour, mostly), or none.
            bool shared = false;
            for (int j = 0; j < i && !shared; ++j) {
                const auto o = static_cast<std::size_t>(indices[static_cast<std::size_t>(j)]);
                if (plan.dc[o] == plan.dc[c] && plan.ac[o] == plan.ac[c]) m_lookaheads[c] = m_lookaheads[o], shared = true;
            }
            if (!shared)
                m_lookaheads[c] = lookaheadCache().find(*plan.dc[c], *plan.ac[c], blocks >= blockTableFrom,
                                                        blocks < smallestWithBlockTable);
            plan.lookaheads[c] = m_lookaheads[c].get();
        }
        m_plan = plan;
        return true;
    }

    Decoder m_decoder;
    std::uint64_t m_position = 0;
    Frame m_frame;
    std::array<std::shared_ptr<const Huffman>, 8> m_tables;  // DC 0-3, AC 0-3; none until defined
    std::uint32_t m_restartInterval = 0;
    ScanPlan m_plan;
    int m_scans = 0;
    Bytes m_body;
    std::array<std::shared_ptr<const Lookahead>, maxComponents> m_lookaheads;  // per component of the scan
};

// Just past the first FF D9 after the scan header of the picture that starts at `start` (SOI and a marker),
// or nothing when no picture starts there or its end lies at or past `limit`.
std::optional<std::uint64_t> otherPictureEnd(Decoder& decoder, std::uint64_t start, std::uint64_t limit) {
    if (decoder.byteAt(start) != 0xFF || decoder.byteAt(start + 1) != 0xD8 || decoder.byteAt(start + 2) != 0xFF)
        return std::nullopt;
    bool inScan = false;
    std::uint64_t p = start + 2;
    // Every turn moves p on.
    while (p + 1 < limit) {
        if (!inScan) {
            if (decoder.byteAt(p) != 0xFF) return std::nullopt;
            const int marker = decoder.byteAt(p + 1);
            if (marker < 0 || marker == 0xD9 || marker == 0xD8) return std::nullopt;
            if (marker == 0xFF || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
                p += marker == 0xFF ? 1 : 2;
                continue;
            }
            const int high = decoder.byteAt(p + 2), low = decoder.byteAt(p + 3);
            if (high < 0 || low < 0 || (high << 8 | low) < 2) return std::nullopt;
            p += 2 + static_cast<std::uint64_t>(high << 8 | low);
            inScan = marker == 0xDA;
            continue;
        }
        const int b = decoder.byteAt(p);
        if (b < 0) return std::nullopt;
        if (b == 0xFF && decoder.byteAt(p + 1) == 0xD9) return p + 2;
        ++p;
    }
    return std::nullopt;
}

// Whether the sector at start holds nothing but zeros or nothing but 0xFF bytes: the slack after a file or
// erased space, never a picture's data (whose codes are not all ones or all zeros for a whole sector), yet
// the decoder could read either as a flat patch of picture.
bool blankSector(Decoder& decoder, std::uint64_t start, std::uint64_t sectorBytes) {
    const int first = decoder.byteAt(start);
    if (first != 0x00 && first != 0xFF) return false;
    for (std::uint64_t p = start + 1; p < start + sectorBytes; ++p)
        if (decoder.byteAt(p) != first) return false;
    return true;
}

Ending endingOf(Step step) { return step == Step::cut ? Ending::cut : Ending::broken; }

Walk walkOf(const ByteFeed& feed, std::uint64_t limit, bool bySymbol) {
    MarkerWalk markers(feed, limit, bySymbol);
    Walk result;
    std::uint64_t scanData = 0;
    if (!markers.toFirstScan(result, scanData)) return markers.finish(result, State{});
    // Every scan consumes bytes before the next, and the scans are bounded, so the walk ends.
    for (;;) {
        State s;
        s.fetch = scanData;
        const ScanPlan& plan = markers.plan();
        Decoder& decoder = markers.decoder();
        bool decoded = false;
        if (!decoder.bySymbol() &&
            std::all_of(plan.blockComponent.begin(), plan.blockComponent.begin() + plan.blocks,
                        [&](std::uint8_t c) { return plan.lookaheads[c] != nullptr; })) {
            State checkpoint = s;
            // Decoded to the marker after the scan, the walk is where scan would leave it.
            decoded = decoder.scanAhead(s, plan, false, checkpoint) == Step::ok &&
                      decoder.endOfInterval(s, false) == Step::ok;
            if (!decoded) s = checkpoint;
        }
        Step step = Step::ok;
        if (!decoded) {
            step = decoder.scan(s, plan, false);
            if (step == Step::ok) step = decoder.endOfInterval(s, false) == Step::cut ? Step::cut : Step::ok;
        }
        if (step != Step::ok) {
            const std::uint64_t at = s.fetch > static_cast<std::uint64_t>(s.bits / 8) ? s.fetch - static_cast<std::uint64_t>(s.bits / 8) : s.fetch;
            return markers.finish(Walk{endingOf(step), at}, s);
        }
        if (!markers.afterScan(s, result, scanData)) return markers.finish(result, s);
    }
}

} // namespace

Walk walk(const ByteFeed& feed, std::uint64_t limit) { return walkOf(feed, limit, false); }

Walk walkBySymbol(const ByteFeed& feed, std::uint64_t limit) { return walkOf(feed, limit, true); }

std::uint64_t segmentsEnd(ByteView head) {
    if (head.size() < 4 || head[0] != 0xFF || head[1] != 0xD8) return 0;
    std::uint64_t p = 2;
    // Every turn moves p on by at least 2.
    while (p + 4 <= head.size() && head[p] == 0xFF) {
        const std::uint8_t marker = head[p + 1];
        if (marker == 0xFF) {
            ++p;
            continue;
        }
        if (marker == 0xD8 || marker == 0xD9 || marker == 0x00) break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            p += 2;
            continue;
        }
        const std::uint64_t length = static_cast<std::uint64_t>(head[p + 2] << 8 | head[p + 3]);
        if (length < 2 || p + 2 + length > head.size()) break;
        p += 2 + length;
        if (marker == 0xDA) break;
    }
    return p;
}

std::optional<Joined> findContinuation(const ByteFeed& feed, const ContinuationSearch& search) {
    if (search.sectorBytes == 0 || search.boundaries == 0) return std::nullopt;
    MarkerWalk markers(feed, search.firstLimit);
    Walk result;
    std::uint64_t scanData = 0;
    if (!markers.toFirstScan(result, scanData)) return std::nullopt;
    const ScanPlan plan = markers.plan();
    // Only a picture of one scan is put together: its data is the file but for the headers and EOI.
    State s;
    s.fetch = scanData;
    std::vector<Snapshot> snapshots;
    const Step step = markers.decoder().scan(s, plan, false, UINT64_MAX, &snapshots, search.sectorBytes,
                                             search.phase % search.sectorBytes, search.boundaries);
    if (step == Step::ok) return std::nullopt;
    if (snapshots.size() > search.boundaries)
        snapshots.erase(snapshots.begin(), snapshots.end() - static_cast<std::ptrdiff_t>(search.boundaries));

    Decoder& decoder = markers.decoder();
    decoder.setLimit(search.limit);
    for (auto snapshot = snapshots.rbegin(); snapshot != snapshots.rend(); ++snapshot) {
        const std::uint64_t boundary = snapshot->sector;
        if (boundary <= scanData) continue;
        const std::uint64_t lastStart = std::min(search.limit, boundary + search.maxGapBytes);
        std::size_t decodedOn = 0;
        // From the boundary on (where a picture that cut the first piece short begins), each sector start.
        for (std::uint64_t start = boundary; start < lastStart; start += search.sectorBytes) {
            // A picture of its own in the gap is passed over whole: its data would decode for long.
            if (const auto other = otherPictureEnd(decoder, start, lastStart)) {
                const std::uint64_t phase = search.phase % search.sectorBytes;
                start = (*other + phase + search.sectorBytes - 1) / search.sectorBytes * search.sectorBytes - phase -
                        search.sectorBytes;
                continue;
            }
            if (start == boundary || blankSector(decoder, start, search.sectorBytes)) continue;
            State t = snapshot->state;
            t.jumpAt = boundary;
            t.jumpTo = start;
            t.atEnd = false;
            if (t.fetch == boundary) t.fetch = start;
            // A start from which the data decodes for a while is decoded on to its end; a boundary whose
            // state the data after the gap does not continue lets later starts (inside the same piece, where
            // the stream falls back into step) decode on too, so few are followed to the end.
            Step screened = decoder.scan(t, plan, true, start + search.screenBytes);
            if (screened == Step::paused) {
                if (++decodedOn > search.decodesPerBoundary) break;
                screened = decoder.scan(t, plan, true);
            }
            if (screened != Step::ok || decoder.endOfInterval(t, true) != Step::ok) continue;
            // The scan's data ends at EOI: the two pieces make the whole picture.
            std::uint8_t end[2];
            if (!decoder.copy(t.fetch, 2, end) || end[0] != 0xFF || end[1] != 0xD9) continue;
            return Joined{boundary, start, t.fetch + 2 - start};
        }
    }
    return std::nullopt;
}

} // namespace vantrel::JPEGScanWalk
