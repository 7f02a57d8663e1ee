#pragma once
// The benchmarks' device image: N MiB of realistic content, written to a file. Photos (JPEG with an
// embedded thumbnail, PNG), documents (PDF, DOCX), videos (MP4), random and zero regions, files on
// cluster boundaries, about half of them marked live.

#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveryFilters.h"
#include "recovery/bytesource/FieldReaders.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vantrel::bench {

inline constexpr std::uint64_t mebibyte = 1024 * 1024;
inline constexpr std::uint64_t clusterBytes = 4096;  // files start on cluster boundaries, as on a FAT or exFAT volume

class ImageWriter {
public:
    ImageWriter(const std::string& path, std::uint64_t seed) : m_out(path, std::ios::binary), m_random(seed) {}

    std::uint64_t position() const { return m_position; }
    std::mt19937_64& random() { return m_random; }

    void put(const Bytes& bytes) {
        m_out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        m_position += bytes.size();
    }
    void zeros(std::uint64_t count) {
        static const Bytes block(mebibyte, 0);
        while (count > 0) {
            const std::uint64_t piece = std::min<std::uint64_t>(count, block.size());
            m_out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(piece));
            m_position += piece;
            count -= piece;
        }
    }
    void align() { zeros((clusterBytes - m_position % clusterBytes) % clusterBytes); }

    Bytes randomBytes(std::uint64_t count) {
        Bytes bytes(count);
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            const std::uint64_t value = m_random();
            std::memcpy(bytes.data() + i, &value, 8);
        }
        for (; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(m_random());
        return bytes;
    }

private:
    std::ofstream m_out;
    std::mt19937_64 m_random;
    std::uint64_t m_position = 0;
};

inline void append(Bytes& out, std::initializer_list<int> bytes) {
    for (int byte : bytes) out.push_back(static_cast<std::uint8_t>(byte));
}
inline void append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
inline void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
inline void be16(Bytes& out, std::uint64_t value) { append(out, {int(value >> 8 & 0xFF), int(value & 0xFF)}); }
inline void be32(Bytes& out, std::uint64_t value) { be16(out, value >> 16); be16(out, value & 0xFFFF); }
inline void le16(Bytes& out, std::uint64_t value) { append(out, {int(value & 0xFF), int(value >> 8 & 0xFF)}); }
inline void le32(Bytes& out, std::uint64_t value) { le16(out, value & 0xFFFF); le16(out, value >> 16); }

// Entropy-coded data: random bytes with every FF stuffed by a 00, as in a real scan.
inline Bytes entropyData(ImageWriter& image, std::uint64_t count) {
    const Bytes raw = image.randomBytes(count);
    Bytes out;
    out.reserve(count + count / 128);
    for (std::uint8_t byte : raw) {
        out.push_back(byte);
        if (byte == 0xFF) out.push_back(0x00);
    }
    return out;
}

// A baseline JPEG (ITU-T T.81): SOI, APP1 holding a thumbnail JPEG, DQT, SOF0, DHT, SOS, scan data, EOI.
inline Bytes jpeg(ImageWriter& image, std::uint64_t scanBytes, int width, int height, bool withThumbnail) {
    Bytes out;
    append(out, {0xFF, 0xD8, 0xFF, 0xE0});
    be16(out, 16);
    append(out, std::string_view("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
    if (withThumbnail) {
        const Bytes thumbnail = jpeg(image, 6000, 160, 120, false);
        append(out, {0xFF, 0xE1});
        be16(out, 2 + 6 + thumbnail.size());
        append(out, std::string_view("Exif\0\0", 6));
        append(out, thumbnail);
    }
    append(out, {0xFF, 0xDB});
    be16(out, 67);
    out.push_back(0);
    append(out, image.randomBytes(64));
    append(out, {0xFF, 0xC0});
    be16(out, 17);
    out.push_back(8);
    be16(out, static_cast<std::uint64_t>(height));
    be16(out, static_cast<std::uint64_t>(width));
    append(out, {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    append(out, {0xFF, 0xC4});
    be16(out, 31);
    out.push_back(0);
    append(out, Bytes(16, 1));
    append(out, Bytes(12, 2));
    append(out, {0xFF, 0xDA});
    be16(out, 12);
    append(out, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
    append(out, entropyData(image, scanBytes));
    append(out, {0xFF, 0xD9});
    return out;
}

// PNG: signature, IHDR, IDAT chunks, IEND (CRCs other than IEND's are not checked by the carver).
inline Bytes png(ImageWriter& image, std::uint64_t dataBytes, int width, int height) {
    Bytes out{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    be32(out, 13);
    append(out, "IHDR");
    be32(out, static_cast<std::uint64_t>(width));
    be32(out, static_cast<std::uint64_t>(height));
    append(out, {8, 2, 0, 0, 0});
    append(out, image.randomBytes(4));
    for (std::uint64_t left = dataBytes; left > 0;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(left, 65536);
        be32(out, chunk);
        append(out, "IDAT");
        append(out, image.randomBytes(chunk + 4));
        left -= chunk;
    }
    be32(out, 0);
    append(out, {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82});
    return out;
}

inline Bytes pdf(ImageWriter& image, std::uint64_t streamBytes) {
    Bytes out;
    append(out, "%PDF-1.5\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    append(out, "3 0 obj\n<< /Length 0 /Filter /FlateDecode >>\nstream\n");
    append(out, image.randomBytes(streamBytes));
    append(out, "\nendstream\nendobj\nxref\n0 4\ntrailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n0\n%%EOF\n");
    return out;
}

// A DOCX: one stored member "word/document.xml", its central directory entry and the end record
// (APPNOTE.TXT 4.3.7, 4.3.12, 4.3.16).
inline Bytes docx(ImageWriter& image, std::uint64_t dataBytes) {
    const std::string_view name = "word/document.xml";
    const Bytes data = image.randomBytes(dataBytes);
    Bytes out;
    append(out, {'P', 'K', 3, 4});
    le16(out, 20); le16(out, 0); le16(out, 0); le16(out, 0); le16(out, 0);
    le32(out, 0); le32(out, data.size()); le32(out, data.size());
    le16(out, name.size()); le16(out, 0);
    append(out, name);
    append(out, data);
    const std::uint64_t directoryOffset = out.size();
    append(out, {'P', 'K', 1, 2});
    le16(out, 20); le16(out, 20); le16(out, 0); le16(out, 0); le16(out, 0); le16(out, 0);
    le32(out, 0); le32(out, data.size()); le32(out, data.size());
    le16(out, name.size()); le16(out, 0); le16(out, 0); le16(out, 0); le16(out, 0);
    le32(out, 0); le32(out, 0);
    append(out, name);
    const std::uint64_t directorySize = out.size() - directoryOffset;
    append(out, {'P', 'K', 5, 6});
    le16(out, 0); le16(out, 0); le16(out, 1); le16(out, 1);
    le32(out, directorySize); le32(out, directoryOffset); le16(out, 0);
    return out;
}

// An MP4 (ISO/IEC 14496-12): ftyp, mdat, moov.
inline Bytes mp4(ImageWriter& image, std::uint64_t mediaBytes) {
    Bytes out;
    be32(out, 24);
    append(out, "ftypisom");
    be32(out, 0x200);
    append(out, "isomiso2");
    be32(out, 8 + mediaBytes);
    append(out, "mdat");
    append(out, image.randomBytes(mediaBytes));
    be32(out, 8 + 2000);
    append(out, "moov");
    append(out, image.randomBytes(2000));
    return out;
}

struct Made {
    AllocatedRegionMap live;
    std::uint64_t files = 0;
};

inline Made makeImage(const std::string& path, std::uint64_t size) {
    ImageWriter image(path, 20261209);
    Made made;
    auto& random = image.random();
    auto between = [&](std::uint64_t low, std::uint64_t high) { return low + random() % (high - low + 1); };
    while (image.position() < size) {
        const std::uint64_t room = size - image.position();
        Bytes file;
        switch (random() % 16) {
        case 0: case 1: case 2: case 3: case 4:
            file = jpeg(image, between(1, 7) * mebibyte, 4000, 3000, true);
            break;
        case 5: file = png(image, between(100'000, 2'000'000), 1920, 1080); break;
        case 6: file = pdf(image, between(50'000, 1'000'000)); break;
        case 7: file = docx(image, between(20'000, 200'000)); break;
        case 8: case 9: file = mp4(image, between(5, 40) * mebibyte); break;
        case 10: case 11: case 12:
            image.put(image.randomBytes(std::min(room, between(1, 16) * mebibyte)));
            image.align();
            continue;
        default:
            image.zeros(std::min(room, between(1, 32) * mebibyte));
            image.align();
            continue;
        }
        if (file.size() > room) {
            image.zeros(room);
            break;
        }
        if (random() % 2 == 0) made.live.add(image.position(), file.size());
        image.put(file);
        image.align();
        ++made.files;
    }
    return made;
}

// ---- Small files as a phone or a scanner leaves them, each one that a decoder of its kind reads whole.

// Bits written most significant first, as a JPEG's entropy-coded segment and a GIF's codes (least
// significant first) need them.
class BitWriter {
public:
    explicit BitWriter(bool jpegStuffing) : m_jpeg(jpegStuffing) {}
    void put(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            m_byte = static_cast<std::uint8_t>(m_byte << 1 | (value >> i & 1));
            if (++m_bits == 8) flushByte();
        }
    }
    void putLeastFirst(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            m_byte = static_cast<std::uint8_t>(m_byte | (value >> i & 1) << m_bits);
            if (++m_bits == 8) flushByte();
        }
    }
    Bytes finish() {
        // A JPEG's last byte is padded with 1-bits; a GIF's with 0-bits.
        if (m_bits > 0) {
            if (m_jpeg) put((1u << (8 - m_bits)) - 1, 8 - m_bits);
            else flushByte();
        }
        return std::move(m_out);
    }

private:
    void flushByte() {
        m_out.push_back(m_byte);
        if (m_jpeg && m_byte == 0xFF) m_out.push_back(0x00);
        m_byte = 0;
        m_bits = 0;
    }
    Bytes m_out;
    std::uint8_t m_byte = 0;
    int m_bits = 0;
    bool m_jpeg;
};

// A colour baseline JPEG of about `bytes` bytes (ITU-T T.81), Y at twice the chroma's resolution both ways,
// the size of a phone's preview or a message's picture: each 8 x 8 block a DC step and a few AC coefficients
// of 1 to 4 bits, about the bits a block of a photo takes, coded with the luminance DC table of its annex K and
// a small AC table, so that every decoder reads it to its end.
inline Bytes smallJpeg(ImageWriter& image, std::uint64_t bytes) {
    auto& random = image.random();
    // Per block: the AC coefficients before its end, on average, and the bits that takes.
    const int meanCoefficients = 3 + static_cast<int>(random() % 8);
    const double bitsPerBlock = 8.0 + 5.5 * meanCoefficients;
    constexpr int blocksPerMcu = 6;
    const double mcus = std::max(4.0, static_cast<double>(bytes > 700 ? bytes - 700 : 0) * 8 / (bitsPerBlock * blocksPerMcu));
    const int mcusWide = std::max(2, static_cast<int>(std::sqrt(mcus * 4 / 3)));
    const int mcusHigh = std::max(2, static_cast<int>(mcus / mcusWide));
    Bytes out;
    append(out, {0xFF, 0xD8, 0xFF, 0xE0});
    be16(out, 16);
    append(out, std::string_view("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
    append(out, {0xFF, 0xDB});
    be16(out, 67);
    out.push_back(0);
    for (int i = 0; i < 64; ++i) out.push_back(static_cast<std::uint8_t>(2 + i));
    append(out, {0xFF, 0xC0});
    be16(out, 17);
    out.push_back(8);
    be16(out, static_cast<std::uint64_t>(mcusHigh * 16));
    be16(out, static_cast<std::uint64_t>(mcusWide * 16));
    append(out, {3, 1, 0x22, 0, 2, 0x11, 0, 3, 0x11, 0});
    // DC: code lengths and categories 0-11 of the luminance table.
    static constexpr int dcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    append(out, {0xFF, 0xC4});
    be16(out, 2 + 1 + 16 + 12);
    out.push_back(0x00);
    for (int count : dcCounts) out.push_back(static_cast<std::uint8_t>(count));
    for (int category = 0; category < 12; ++category) out.push_back(static_cast<std::uint8_t>(category));
    // AC: end of block, and runs of 0 to 3 zeros before a coefficient of 1 to 4 bits, shorter codes first.
    struct AcCode {
        std::uint8_t symbol;
        std::uint32_t code;
        int length;
    };
    static constexpr AcCode acCodes[] = {{0x01, 0b00, 2},      {0x00, 0b01, 2},       {0x02, 0b100, 3},     {0x11, 0b101, 3},
                                         {0x03, 0b1100, 4},    {0x21, 0b1101, 4},     {0x12, 0b1110, 4},    {0x04, 0b11110, 5},
                                         {0x31, 0b111110, 6},  {0x22, 0b1111110, 7}};
    static constexpr int acCounts[16] = {0, 2, 2, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    append(out, {0xFF, 0xC4});
    be16(out, 2 + 1 + 16 + std::size(acCodes));
    out.push_back(0x10);
    for (int count : acCounts) out.push_back(static_cast<std::uint8_t>(count));
    for (const AcCode& code : acCodes) out.push_back(code.symbol);
    append(out, {0xFF, 0xDA});
    be16(out, 12);
    append(out, {3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 63, 0});
    // The luminance DC table's codes for categories 0-11.
    static constexpr std::uint32_t dcCodes[12] = {0b00, 0b010, 0b011, 0b100, 0b101, 0b110, 0b1110, 0b11110,
                                                  0b111110, 0b1111110, 0b11111110, 0b111111110};
    static constexpr int dcLengths[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
    BitWriter bits(true);
    int dc[3] = {};
    for (int mcu = 0; mcu < mcusWide * mcusHigh; ++mcu) {
        for (int block = 0; block < blocksPerMcu; ++block) {
            int& predictor = dc[block < 4 ? 0 : block - 3];
            int step = static_cast<int>(random() % 61) - 30;
            if (std::abs(predictor + step) > 1000) step = -step;
            predictor += step;
            int category = 0;
            while ((std::abs(step) >> category) != 0) ++category;
            bits.put(dcCodes[category], dcLengths[category]);
            if (category > 0) bits.put(static_cast<std::uint32_t>(step > 0 ? step : step + (1 << category) - 1), category);
            const int coefficients = static_cast<int>(random() % static_cast<std::uint64_t>(2 * meanCoefficients + 1));
            int k = 0;  // the last coefficient coded
            for (int c = 0; c < coefficients; ++c) {
                // Any code but the end of block (the second).
                const std::size_t pick = 1 + random() % (std::size(acCodes) - 1);
                const AcCode& code = acCodes[pick == 1 ? 0 : pick];
                const int run = code.symbol >> 4, size = code.symbol & 15;
                if (k + run + 1 > 63) break;
                k += run + 1;
                bits.put(code.code, code.length);
                bits.put(static_cast<std::uint32_t>(random()) & ((1u << size) - 1), size);
            }
            if (k < 63) bits.put(acCodes[1].code, acCodes[1].length);
        }
    }
    append(out, bits.finish());
    append(out, {0xFF, 0xD9});
    return out;
}

inline void pngChunk(Bytes& out, std::string_view type, const Bytes& data) {
    be32(out, data.size());
    const std::size_t start = out.size();
    append(out, type);
    append(out, data);
    be32(out, ::crc32(0, out.data() + start, static_cast<uInt>(out.size() - start)));
}

// An RGB PNG of about `bytes` bytes whose rows are stored uncompressed in deflate's stored blocks (RFC
// 1950, 1951): a scanner's strip of noise, every chunk's CRC right.
inline Bytes smallPng(ImageWriter& image, std::uint64_t bytes) {
    auto& random = image.random();
    const std::uint64_t width = 16 + random() % 49;
    const std::uint64_t rowBytes = 1 + 3 * width;
    const std::uint64_t height = std::max<std::uint64_t>(1, (bytes > 120 ? bytes - 120 : 0) / rowBytes);
    Bytes raw;
    for (std::uint64_t row = 0; row < height; ++row) {
        raw.push_back(0);  // filter: none
        append(raw, image.randomBytes(rowBytes - 1));
    }
    Bytes zlib{0x78, 0x01};
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t piece = std::min<std::size_t>(raw.size() - at, 65535);
        zlib.push_back(at + piece == raw.size() ? 1 : 0);
        le16(zlib, piece);
        le16(zlib, ~piece & 0xFFFF);
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + piece));
        at += piece;
    }
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
    be32(zlib, b << 16 | a);
    Bytes out{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    be32(header, width);
    be32(header, height);
    append(header, {8, 2, 0, 0, 0});
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", zlib);
    pngChunk(out, "IEND", {});
    return out;
}

// A GIF89a of about `bytes` bytes: a 256-colour table and LZW codes of 9 bits, every pixel its own code and
// a clear code before the table would grow a bit, in sub-blocks of 255 bytes.
inline Bytes smallGif(ImageWriter& image, std::uint64_t bytes) {
    auto& random = image.random();
    const std::uint64_t width = 24 + random() % 57;
    const std::uint64_t pixels = (bytes > 820 ? bytes - 820 : 0) * 8 / 9;
    const std::uint64_t height = std::max<std::uint64_t>(1, pixels / width);
    Bytes out;
    append(out, "GIF89a");
    le16(out, width);
    le16(out, height);
    append(out, {0xF7, 0, 0});
    append(out, image.randomBytes(768));
    out.push_back(0x2C);
    le16(out, 0); le16(out, 0); le16(out, width); le16(out, height);
    out.push_back(0);
    out.push_back(8);  // LZW minimum code size
    constexpr std::uint32_t clearCode = 256, endCode = 257;
    BitWriter codes(false);
    const Bytes indices = image.randomBytes(width * height);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (i % 250 == 0) codes.putLeastFirst(clearCode, 9);
        codes.putLeastFirst(indices[i], 9);
    }
    codes.putLeastFirst(endCode, 9);
    const Bytes data = codes.finish();
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t piece = std::min<std::size_t>(data.size() - at, 255);
        out.push_back(static_cast<std::uint8_t>(piece));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(at + piece));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

// A one-page PDF of about `bytes` bytes, a receipt's lines of text, with its cross-reference table's
// offsets right (ISO 32000-1, 7.5).
inline Bytes smallPdf(ImageWriter& image, std::uint64_t bytes) {
    auto& random = image.random();
    std::string content = "BT /F1 9 Tf 40 800 Td 11 TL\n";
    while (content.size() + 700 < bytes) {
        content += '(';
        const std::uint64_t words = 3 + random() % 8;
        for (std::uint64_t word = 0; word < words; ++word) {
            const std::uint64_t letters = 2 + random() % 9;
            for (std::uint64_t letter = 0; letter < letters; ++letter) content += static_cast<char>('a' + random() % 26);
            content += ' ';
        }
        content += std::to_string(random() % 10000) + ") '\n";
    }
    content += "ET";
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string text = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(text.size());
        text += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = text.size();
    text += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const std::size_t offset : offsets) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        text += entry;
    }
    text += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) +
            "\n%%EOF\n";
    Bytes out;
    append(out, text);
    return out;
}

// The dense card's files are smaller than the default filters keep: it is scanned as a user who wants them
// lowers those limits, every default kind kept.
inline RecoveryFilters denseFilters() { return RecoveryFilters{FileKind::defaultAllowedKinds(), 0, std::nullopt, std::nullopt}; }

// A card packed with small files, for the speed of taking hits in: JPEGs, PNGs, GIFs and PDFs of 2 to 8 KB
// mixed, as a phone's messages or a receipt scanner leave them, on cluster boundaries; about a quarter of a
// million of them in 1 GiB. Each is one hit when the filters keep small files (denseFilters).
inline Made makeDenseImage(const std::string& path, std::uint64_t size) {
    ImageWriter image(path, 20261210);
    Made made;
    auto& random = image.random();
    while (image.position() < size) {
        // Most are under a cluster; some take two.
        const std::uint64_t bytes = random() % 4 == 0 ? 4'200 + random() % 4'000 : 2'000 + random() % 2'000;
        Bytes file;
        switch (random() % 20) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: file = smallJpeg(image, bytes); break;
        case 9: case 10: case 11: case 12: file = smallPng(image, bytes); break;
        case 13: case 14: file = smallGif(image, bytes); break;
        default: file = smallPdf(image, bytes); break;
        }
        const std::uint64_t room = size - image.position();
        if (file.size() > room) {
            image.zeros(room);
            break;
        }
        image.put(file);
        image.align();
        ++made.files;
    }
    return made;
}

// A FAT32 card as a camera leaves it: mkfs.fat's volume filled to about nine tenths with photos,
// documents and media copied in by mtools, every other file then deleted (its entry marked, its clusters
// freed, its bytes left in place). Needs mkfs.fat, mcopy and mdel.
inline Made makeFatCard(const std::string& path, std::uint64_t size) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("vantrel-fat-card-files-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "DCIM");
    fs::remove(path);
    auto run = [](const std::string& command) {
        if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
    };
    run("mkfs.fat -F 32 -n CARD -C '" + path + "' " + std::to_string(size / 1024) + " >/dev/null");
    ImageWriter scratch((folder / "unused").string(), 20261211);
    auto& random = scratch.random();
    auto between = [&](std::uint64_t low, std::uint64_t high) { return low + random() % (high - low + 1); };
    Made made;
    std::uint64_t written = 0;
    std::vector<std::string> names;
    while (written < size / 10 * 9) {
        Bytes file;
        std::string extension;
        switch (random() % 10) {
        case 0: case 1: case 2: case 3: case 4:
            file = jpeg(scratch, between(1, 7) * mebibyte, 4000, 3000, true), extension = "JPG";
            break;
        case 5: file = png(scratch, between(100'000, 2'000'000), 1920, 1080), extension = "PNG"; break;
        case 6: file = pdf(scratch, between(50'000, 1'000'000)), extension = "PDF"; break;
        case 7: file = docx(scratch, between(20'000, 200'000)), extension = "DOCX"; break;
        default: file = mp4(scratch, between(5, 40) * mebibyte), extension = "MP4"; break;
        }
        if (written + file.size() > size / 10 * 9) break;
        char name[32];
        std::snprintf(name, sizeof name, "F%05llu.%s", static_cast<unsigned long long>(made.files), extension.c_str());
        std::ofstream(folder / "DCIM" / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        names.emplace_back(name);
        written += file.size();
        ++made.files;
    }
    run("mcopy -i '" + path + "' -s '" + (folder / "DCIM").string() + "' ::/");
    std::string deletions;
    for (std::size_t i = 0; i < names.size(); i += 2) {
        deletions += " ::/DCIM/" + names[i];
        if (deletions.size() > 16'000 || i + 2 >= names.size()) {
            run("mdel -i '" + path + "'" + deletions);
            deletions.clear();
        }
    }
    fs::remove_all(folder);
    return made;
}

} // namespace vantrel::bench
