#include "recovery/carving/formats/FLACFrameWalk.h"

#include "base/Bounds.h"
#include "recovery/carving/formats/FLACStreamInfo.h"

#include <algorithm>
#include <array>
#include <bit>

// Subframe (bit-packed, most significant bit first), one per channel; a side channel (channels code 8
// to 10: the second of left/side and mid/side, the first of side/right) has one bit more per sample:
//   1 bit zero; 6 bits type: 0 constant, 1 verbatim, 8-12 fixed predictor of order n-8, 32-63 linear
//   predictor of order n-31, others reserved; 1 bit wasted-bits flag, when set a unary count k (k zero
//   bits, then a one) of k+1 wasted bits, which the samples go without
//   constant: one sample; verbatim: block size samples; fixed: order warm-up samples, then the residual;
//   linear: order warm-up samples, 4 bits coefficient precision - 1 (15 not allowed), 5 bits shift,
//   order coefficients of that precision, then the residual
// Residual: 2 bits method (0: 4-bit Rice parameters, 15 escapes; 1: 5-bit parameters, 31 escapes;
//   2-3 reserved); 4 bits partition order p; 2^p partitions of block size / 2^p samples each (the first
//   less the predictor order); each partition a parameter, then for an escape 5 bits n and n bits a
//   sample, else per sample a unary quotient and parameter bits.

namespace vantrel::FLACFrameWalk {

namespace {

constexpr std::uint64_t markerBytes = 4;
constexpr std::uint64_t blockHeaderBytes = 4;
constexpr std::uint8_t forbiddenBlockType = 127;
// A frame header's longest form: sync and codes, a 7-byte number, 2 block size bytes, 2 sample rate
// bytes and the CRC-8.
constexpr std::size_t longestHeaderBytes = 16;
// The shortest frame after its header: a constant subframe of one channel with its byte and the CRC-16.
constexpr std::uint64_t shortestFrameBodyBytes = 3;
// A frame's bytes at most, by its samples a channel and channel count: a verbatim subframe takes at most
// 33 bits a sample; an encoder that cannot beat that writes the frame verbatim. Five bytes a sample and
// a fixed allowance for headers leave room for the Rice codes of a poor predictor.
constexpr std::uint64_t frameBytesPerSample = 5;
constexpr std::uint64_t frameOverheadBytes = 1024;

constexpr std::array<std::uint32_t, 12> fixedSampleRates = {0,     88200, 176400, 192000, 8000,  16000,
                                                            22050, 24000, 32000,  44100,  48000, 96000};
constexpr std::array<std::uint8_t, 8> codedSampleSizes = {0, 8, 12, 0, 16, 20, 24, 32};

constexpr std::array<std::uint8_t, 256> makeCrc8Table() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 0x80) ? ((value << 1) ^ 0x07) : (value << 1);
        table[i] = static_cast<std::uint8_t>(value);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> makeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned value = i << 8;
        for (int bit = 0; bit < 8; ++bit) value = (value & 0x8000) ? ((value << 1) ^ 0x8005) : (value << 1);
        table[i] = static_cast<std::uint16_t>(value);
    }
    return table;
}
constexpr auto crc8Table = makeCrc8Table();
constexpr auto crc16Table = makeCrc16Table();

std::uint16_t addToFrameChecksum(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>((crc << 8) ^ crc16Table[(crc >> 8) ^ byte]);
}

struct StreamFacts {
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerSample = 0;
    std::uint32_t maximumBlockSamples = 0;
    std::uint64_t totalSamples = 0; // 0: not stated
};

StreamFacts streamFacts(ByteView streamInfo) {
    StreamFacts facts;
    facts.maximumBlockSamples = FieldReader::u16be(streamInfo, 10);
    const std::uint32_t packed = FieldReader::u32be(streamInfo, 18);
    facts.sampleRate = packed >> 12;
    facts.channels = ((packed >> 9) & 7) + 1;
    facts.bitsPerSample = ((packed >> 4) & 0x1F) + 1;
    facts.totalSamples = (std::uint64_t{packed & 0xF} << 32) | FieldReader::u32be(streamInfo, 22);
    return facts;
}

struct FrameHeader {
    std::uint64_t number = 0;      // frame number, or first sample's number when variable
    bool variable = false;
    std::uint32_t blockSamples = 0;
    std::uint32_t channelCode = 0;
    std::uint32_t bitsPerSample = 0;
    std::size_t bytes = 0;
};

// The header the bytes start with, when it is sound, agrees with STREAMINFO and carries the number
// expected next.
std::optional<FrameHeader> frameHeader(ByteView b, const StreamFacts& facts, bool variable, std::uint64_t number) {
    if (b.size() < 6 || b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) return std::nullopt;
    FrameHeader header;
    header.variable = (b[1] & 1) != 0;
    const std::uint32_t blockCode = b[2] >> 4;
    const std::uint32_t rateCode = b[2] & 0xF;
    header.channelCode = b[3] >> 4;
    const std::uint32_t sizeCode = (b[3] >> 1) & 7;
    if (header.variable != variable || blockCode == 0 || rateCode == 15 || header.channelCode > 10 || sizeCode == 3 ||
        (b[3] & 1) != 0)
        return std::nullopt;
    if ((header.channelCode < 8 ? header.channelCode + 1 : 2) != facts.channels) return std::nullopt;
    header.bitsPerSample = sizeCode == 0 ? facts.bitsPerSample : codedSampleSizes[sizeCode];
    if (header.bitsPerSample != facts.bitsPerSample) return std::nullopt;
    if (rateCode >= 1 && rateCode <= 11 && fixedSampleRates[rateCode] != facts.sampleRate) return std::nullopt;

    std::size_t at = 4;
    const int leadingOnes = std::countl_one(b[at]);
    if (leadingOnes == 1 || leadingOnes > 7) return std::nullopt;
    std::uint64_t coded = b[at] & (0x7Fu >> leadingOnes);
    ++at;
    for (int extra = 1; extra < leadingOnes; ++extra, ++at) {
        if (at >= b.size() || (b[at] & 0xC0) != 0x80) return std::nullopt;
        coded = (coded << 6) | (b[at] & 0x3F);
    }
    if (coded != number) return std::nullopt;
    header.number = coded;

    const auto field = [&](std::size_t bytes) -> std::optional<std::uint32_t> {
        if (at + bytes > b.size()) return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | b[at++];
        return value;
    };
    if (blockCode == 1) header.blockSamples = 192;
    else if (blockCode <= 5) header.blockSamples = 576u << (blockCode - 2);
    else if (blockCode >= 8) header.blockSamples = 256u << (blockCode - 8);
    else if (const auto stated = field(blockCode == 6 ? 1 : 2)) header.blockSamples = *stated + 1;
    else return std::nullopt;
    if (header.blockSamples > facts.maximumBlockSamples) return std::nullopt;
    if (rateCode >= 12) {
        const auto stated = field(rateCode == 12 ? 1 : 2);
        if (!stated) return std::nullopt;
        const std::uint32_t rate = rateCode == 12 ? *stated * 1000 : rateCode == 13 ? *stated : *stated * 10;
        if (rate != facts.sampleRate) return std::nullopt;
    }
    if (at >= b.size() || headerChecksum(b.first(at)) != b[at]) return std::nullopt;
    header.bytes = at + 1;
    return header;
}

// The frame header at pos, read through the cursor.
std::optional<FrameHeader> frameHeaderAt(CandidateCursor& cursor, std::uint64_t pos, const StreamFacts& facts,
                                         bool variable, std::uint64_t number) {
    std::uint8_t bytes[longestHeaderBytes];
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(longestHeaderBytes, cursor.limit() - pos));
    if (!cursor.copy(pos, count, bytes)) return std::nullopt;
    return frameHeader(ByteView(bytes, count), facts, variable, number);
}

// Bits of bytes held in memory, most significant first; a read past the end marks the reader failed.
class BitReader {
public:
    BitReader(ByteView bytes, std::uint64_t bit) : m_bytes(bytes), m_bit(bit) {}

    bool failed() const { return m_failed; }
    std::uint64_t bytePosition() const { return (m_bit + 7) / 8; }

    // count is at most 32.
    std::uint32_t read(unsigned count) {
        if (!skip(count)) return 0;
        std::uint32_t value = 0;
        for (std::uint64_t bit = m_bit - count; bit < m_bit; ++bit)
            value = (value << 1) | ((m_bytes[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1u);
        return value;
    }

    bool skip(std::uint64_t count) {
        if (m_failed || count > m_bytes.size() * std::uint64_t{8} - m_bit) return fail();
        m_bit += count;
        return true;
    }

    // Zero bits up to a one, the one read too.
    bool unary() {
        for (;;) {
            if (m_failed || m_bit >= m_bytes.size() * std::uint64_t{8}) return fail();
            const std::uint8_t rest = static_cast<std::uint8_t>(m_bytes[static_cast<std::size_t>(m_bit / 8)] << (m_bit % 8));
            if (rest == 0) {
                m_bit += 8 - m_bit % 8;
                continue;
            }
            m_bit += static_cast<std::uint64_t>(std::countl_zero(rest)) + 1;
            return true;
        }
    }

private:
    bool fail() {
        m_failed = true;
        return false;
    }

    ByteView m_bytes;
    std::uint64_t m_bit;
    bool m_failed = false;
};

bool skipResidual(BitReader& bits, std::uint32_t blockSamples, std::uint32_t order) {
    const std::uint32_t method = bits.read(2);
    if (method > 1) return false;
    const unsigned parameterBits = method == 0 ? 4 : 5;
    const std::uint32_t escape = method == 0 ? 15 : 31;
    const std::uint32_t partitionOrder = bits.read(4);
    const std::uint32_t perPartition = blockSamples >> partitionOrder;
    if ((perPartition << partitionOrder) != blockSamples || perPartition < order) return false;
    for (std::uint32_t partition = 0; partition < (1u << partitionOrder); ++partition) {
        const std::uint32_t samples = partition == 0 ? perPartition - order : perPartition;
        const std::uint32_t parameter = bits.read(parameterBits);
        if (parameter == escape) {
            if (!bits.skip(std::uint64_t{samples} * bits.read(5))) return false;
            continue;
        }
        for (std::uint32_t i = 0; i < samples; ++i)
            if (!bits.unary() || !bits.skip(parameter)) return false;
    }
    return !bits.failed();
}

bool skipSubframe(BitReader& bits, std::uint32_t blockSamples, std::uint32_t bitsPerSample) {
    if (bits.read(1) != 0) return false;
    const std::uint32_t type = bits.read(6);
    if (bits.read(1) != 0) {
        // The count's zero bits, one by one: a sample keeps at least one bit.
        std::uint32_t wasted = 1;
        while (bits.read(1) == 0) {
            if (bits.failed() || ++wasted >= bitsPerSample) return false;
        }
        if (wasted >= bitsPerSample) return false;
        bitsPerSample -= wasted;
    }
    if (type == 0) return bits.skip(bitsPerSample);
    if (type == 1) return bits.skip(std::uint64_t{blockSamples} * bitsPerSample);
    std::uint32_t order = 0;
    if (type >= 8 && type <= 12) {
        order = type - 8;
        if (order > blockSamples || !bits.skip(std::uint64_t{order} * bitsPerSample)) return false;
    } else if (type >= 32) {
        order = type - 31;
        if (order > blockSamples || !bits.skip(std::uint64_t{order} * bitsPerSample)) return false;
        const std::uint32_t precision = bits.read(4);
        if (precision == 15 || !bits.skip(5) || !bits.skip(std::uint64_t{order} * (precision + 1))) return false;
    } else {
        return false;
    }
    return skipResidual(bits, blockSamples, order);
}

// The end of the frame at pos, found by going through its subframes, when its CRC-16 holds.
std::optional<std::uint64_t> decodedFrameEnd(CandidateCursor& cursor, std::uint64_t pos, const FrameHeader& header,
                                             const StreamFacts& facts) {
    const std::uint64_t bound = std::uint64_t{header.blockSamples} * facts.channels * frameBytesPerSample + frameOverheadBytes;
    const auto count = static_cast<std::size_t>(std::min(bound, cursor.limit() - pos));
    Bytes frame(count);
    if (!cursor.copy(pos, count, frame.data())) return std::nullopt;
    BitReader bits(frame, std::uint64_t{header.bytes} * 8);
    for (std::uint32_t channel = 0; channel < facts.channels; ++channel) {
        const bool side = (header.channelCode == 8 && channel == 1) || (header.channelCode == 9 && channel == 0) ||
                          (header.channelCode == 10 && channel == 1);
        if (!skipSubframe(bits, header.blockSamples, header.bitsPerSample + (side ? 1 : 0))) return std::nullopt;
    }
    const std::uint64_t end = bits.bytePosition() + 2;
    if (end > frame.size() || frameChecksum(ByteView(frame).first(static_cast<std::size_t>(end))) != 0) return std::nullopt;
    return pos + end;
}

// The start of the frame after the one at pos: the first sync code, past the shortest frame, before
// which the CRC-16 of the frame holds and where a header with the next number begins. Nothing when
// none lies within the frame's longest length.
std::optional<std::uint64_t> nextFrameStart(CandidateCursor& cursor, std::uint64_t pos, const FrameHeader& header,
                                            const StreamFacts& facts, std::uint64_t nextNumber) {
    const std::uint64_t bound = std::uint64_t{header.blockSamples} * facts.channels * frameBytesPerSample + frameOverheadBytes;
    const std::uint64_t end = pos + std::min(bound, cursor.limit() - pos);
    const std::uint64_t earliest = pos + header.bytes + shortestFrameBodyBytes;
    std::uint16_t crc = 0;
    std::uint64_t at = pos;
    while (at < end) {
        const ByteView view = cursor.from(at);
        if (view.empty()) return std::nullopt;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(view.size(), end - at));
        std::size_t i = 0;
        for (; i < count; ++i) {
            if (crc == 0 && view[i] == 0xFF && at + i >= earliest) {
                if (frameHeaderAt(cursor, at + i, facts, header.variable, nextNumber)) return at + i;
                break; // the header's read may have moved the cursor's bytes: fetch them again
            }
            crc = addToFrameChecksum(crc, view[i]);
        }
        if (i < count) {
            crc = addToFrameChecksum(crc, 0xFF);
            ++i;
        }
        at += i;
    }
    return std::nullopt;
}

} // namespace

std::uint8_t headerChecksum(ByteView bytes) {
    std::uint8_t crc = 0;
    for (const std::uint8_t byte : bytes) crc = crc8Table[crc ^ byte];
    return crc;
}

std::uint16_t frameChecksum(ByteView bytes) {
    std::uint16_t crc = 0;
    for (const std::uint8_t byte : bytes) crc = addToFrameChecksum(crc, byte);
    return crc;
}

std::optional<std::uint64_t> walk(CandidateCursor& cursor) {
    std::uint8_t streamInfo[FLACStreamInfo::headerBytes];
    if (!cursor.copy(0, sizeof streamInfo, streamInfo) || !FLACStreamInfo::looksValid(ByteView(streamInfo))) return std::nullopt;
    const StreamFacts facts = streamFacts(ByteView(streamInfo));

    std::uint64_t pos = markerBytes;
    for (std::size_t block = 0;; ++block) {
        std::uint8_t blockHeader[blockHeaderBytes];
        if (block == maxMetadataBlocks || !cursor.copy(pos, blockHeaderBytes, blockHeader)) return std::nullopt;
        if ((blockHeader[0] & 0x7F) == forbiddenBlockType) return std::nullopt;
        const std::uint64_t length = (std::uint64_t{blockHeader[1]} << 16) | (std::uint64_t{blockHeader[2]} << 8) | blockHeader[3];
        if (!fitsWithin(pos, blockHeaderBytes + length, cursor.limit())) return std::nullopt;
        pos += blockHeaderBytes + length;
        if (blockHeader[0] & 0x80) break;
    }

    // The first frame's blocking strategy holds for the stream.
    const auto first = cursor.byteAt(pos + 1);
    if (!first) return std::nullopt;
    const bool variable = (*first & 1) != 0;
    std::optional<std::uint64_t> end;
    std::uint64_t samplesBefore = 0;
    std::uint64_t frames = 0;
    // Every frame takes bytes, so the walk ends within the cursor's limit.
    for (;;) {
        const auto header = frameHeaderAt(cursor, pos, facts, variable, variable ? samplesBefore : frames);
        if (!header) break;
        const std::uint64_t samplesAfter = samplesBefore + header->blockSamples;
        const bool last = facts.totalSamples != 0 && samplesAfter >= facts.totalSamples;
        const auto next = last ? std::nullopt
                               : nextFrameStart(cursor, pos, *header, facts, variable ? samplesAfter : frames + 1);
        if (!next) {
            // The last frame, or one that no frame follows: its own structure tells where it ends.
            if (const auto decoded = decodedFrameEnd(cursor, pos, *header, facts)) end = decoded;
            break;
        }
        end = pos = *next;
        samplesBefore = samplesAfter;
        ++frames;
    }
    return end;
}

} // namespace vantrel::FLACFrameWalk
