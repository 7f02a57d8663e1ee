#pragma once
// The benchmarks' device image: N MiB of realistic content, written to a file. Photos (JPEG with an
// embedded thumbnail, PNG), documents (PDF, DOCX), videos (MP4), random and zero regions, files on
// cluster boundaries, about half of them marked live.

#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/bytesource/FieldReaders.h"

#include <algorithm>
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

// An image packed with small files, for the speed of taking hits in: JPEGs of 800 x 600 (the
// smallest the default filters keep) and PDFs of about 10 KB, in turn, on cluster boundaries.
inline Made makeDenseImage(const std::string& path, std::uint64_t size) {
    ImageWriter image(path, 20261210);
    Made made;
    while (image.position() < size) {
        const Bytes file = made.files % 2 == 0 ? jpeg(image, 40'000, 800, 600, false) : pdf(image, 10'000);
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
