#include "recovery/carving/ByteSearch.h"

#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string_view>

namespace vantrel {
namespace {

// The simple search: every start in turn.
std::size_t reference(ByteView hay, ByteView needle, std::size_t from) {
    if (from > hay.size()) return hay.size();
    const auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(from), hay.end(), needle.begin(), needle.end());
    if (it == hay.end() && !needle.empty()) return hay.size();
    return static_cast<std::size_t>(it - hay.begin());
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Every path agrees with the simple search for this start.
void expectAgrees(ByteView hay, ByteView needle, std::size_t from) {
    const std::size_t expected = reference(hay, needle, from);
    for (const int bits : {0, 256}) ASSERT_EQ(ByteSearch::findWithin(hay, needle, from, bits), expected)
        << "width " << bits << ", hay " << hay.size() << ", needle " << needle.size() << ", from " << from;
    ASSERT_EQ(ByteSearch::find(hay, needle, from), expected);
}

// Every occurrence, one search after the other, as the length rules walk them.
std::vector<std::size_t> allOccurrences(ByteView hay, ByteView needle, int bits) {
    std::vector<std::size_t> found;
    for (std::size_t at = ByteSearch::findWithin(hay, needle, 0, bits); at < hay.size();
         at = ByteSearch::findWithin(hay, needle, at + 1, bits))
        found.push_back(at);
    return found;
}

std::vector<std::size_t> allReference(ByteView hay, ByteView needle) {
    std::vector<std::size_t> found;
    for (std::size_t at = reference(hay, needle, 0); at < hay.size(); at = reference(hay, needle, at + 1)) found.push_back(at);
    return found;
}

TEST(ByteSearch, FindsAMarkerAtEveryPlaceAroundTheVectorBlocks) {
    const Bytes eof = bytesOf("%%EOF");
    const Bytes end{0xFF, 0xD9};
    for (const Bytes* needle : {&eof, &end}) {
        for (std::size_t size = 0; size <= 200; ++size) {
            for (std::size_t at = 0; at + needle->size() <= size; ++at) {
                Bytes hay(size, 0x25);  // '%': the first byte of "%%EOF" everywhere around it
                std::copy(needle->begin(), needle->end(), hay.begin() + static_cast<std::ptrdiff_t>(at));
                for (const std::size_t from : {std::size_t{0}, at, at + 1, size > 0 ? size - 1 : 0, size, size + 1})
                    expectAgrees(hay, *needle, from);
            }
            // A marker cut by the buffer's end is no occurrence.
            if (size >= 1) {
                Bytes cut(size, 0x00);
                cut.back() = (*needle)[0];
                expectAgrees(cut, *needle, 0);
            }
        }
    }
}

// The vector path moves to 32-byte boundaries of memory after its first block, so where the buffer starts
// in memory decides where its blocks fall: a marker is found at every place whatever that start.
TEST(ByteSearch, FindsAMarkerAtEveryPlaceWhereverTheBufferStartsInMemory) {
    const Bytes eof = bytesOf("%%EOF");
    const Bytes end{0xFF, 0xD9};
    for (const Bytes* needle : {&eof, &end}) {
        for (std::size_t shift = 0; shift < 64; ++shift) {
            for (const std::size_t size : {std::size_t{33}, std::size_t{64} + needle->size(), std::size_t{130}}) {
                Bytes memory(shift + size, 0xFF);  // FF everywhere: the first byte of FF D9 at every start
                const ByteView hay = ByteView(memory).subspan(shift, size);
                for (std::size_t at = 0; at + needle->size() <= size; ++at) {
                    std::fill(memory.begin(), memory.end(), (*needle)[0]);
                    std::copy(needle->begin(), needle->end(), memory.begin() + static_cast<std::ptrdiff_t>(shift + at));
                    for (std::size_t from = 0; from <= at + 1 && from <= size; ++from) expectAgrees(hay, *needle, from);
                }
            }
        }
    }
}

TEST(ByteSearch, HandlesNeedlesOfEveryShapeAndLength) {
    // Repeated and self-overlapping needles, a needle as long as the buffer or longer, empty ones.
    const Bytes hay = bytesOf("%%%EOF%%EO%%EOF xref obj 0 obj %%EOF\r\n");
    for (const std::string_view text : {"%%EOF", "%%", "%", "F", "EOF\r\n", "obj", " ", "%%EOF%%", "xref obj 0 obj",
                                        "%%%EOF%%EO%%EOF xref obj 0 obj %%EOF\r\n",
                                        "%%%EOF%%EO%%EOF xref obj 0 obj %%EOF\r\n!", "", "Q"})
        for (std::size_t from = 0; from <= hay.size() + 1; ++from) expectAgrees(hay, bytesOf(text), from);
    // A needle longer than a vector block whose first and last bytes match far more often than the whole.
    Bytes hay2(300, 0xAB);
    hay2[150] = 0xCD;
    hay2[160] = 0xCD;
    hay2[200] = 0xCD;
    Bytes needle(70, 0xAB);
    needle.back() = 0xCD;
    for (std::size_t from = 0; from < hay2.size(); from += 7) expectAgrees(hay2, needle, from);
}

TEST(ByteSearch, AgreesWithTheSimpleSearchOnRandomBytesOfSmallAlphabets) {
    std::mt19937_64 random(2026);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = random() % 400;
        const unsigned alphabet = 1 + static_cast<unsigned>(random() % 4);  // few letters: many partial matches
        Bytes hay(size);
        for (auto& byte : hay) byte = static_cast<std::uint8_t>(0xFD + random() % alphabet);
        Bytes needle(1 + random() % 9);
        for (auto& byte : needle) byte = static_cast<std::uint8_t>(0xFD + random() % alphabet);
        expectAgrees(hay, needle, random() % (size + 2));
        ASSERT_EQ(allOccurrences(hay, needle, 256), allReference(hay, needle)) << "round " << round;
    }
}

TEST(ByteSearch, FindsTheMarkersOfRealFilesAsTheSimpleSearchDoes) {
    std::vector<Bytes> files;
    for (const char* pdf : {"/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf",
                            "/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf",
                            "/usr/share/doc/libtasn1-doc/libtasn1.pdf"})
        if (std::filesystem::exists(pdf)) files.push_back(test::readFile(pdf));
    const std::filesystem::path photos = "/usr/share/doc/imagemagick-6-common/html/images";
    if (std::filesystem::exists(photos))
        for (const auto& entry : std::filesystem::directory_iterator(photos))
            if (entry.path().extension() == ".jpg") files.push_back(test::readFile(entry.path()));
    files.push_back(test::SampleContent::jpeg(800, 600, 200'000, 7));
    files.push_back(test::SampleContent::pdf(100'000, 7));
    if (files.size() < 4) GTEST_SKIP() << "no shipped PDF or photo in /usr/share/doc";
    const Bytes eof = bytesOf("%%EOF"), endOfImage{0xFF, 0xD9}, stuffed{0xFF, 0x00}, obj = bytesOf(" obj"),
                startOfImage{0xFF, 0xD8, 0xFF};
    std::size_t occurrences = 0;
    for (const Bytes& file : files) {
        for (const Bytes* needle : {&eof, &endOfImage, &stuffed, &obj, &startOfImage}) {
            const auto expected = allReference(file, *needle);
            occurrences += expected.size();
            EXPECT_EQ(allOccurrences(file, *needle, 256), expected);
            EXPECT_EQ(allOccurrences(file, *needle, 0), expected);
            // The same search cut at every occurrence's middle: the cut one is not found.
            for (std::size_t k = 0; k < expected.size() && k < 20; ++k) {
                const ByteView cut = ByteView(file).first(expected[k] + 1);
                expectAgrees(cut, *needle, expected[k] > 40 ? expected[k] - 40 : 0);
            }
        }
    }
    EXPECT_GT(occurrences, 1000u);
}

} // namespace
} // namespace vantrel
