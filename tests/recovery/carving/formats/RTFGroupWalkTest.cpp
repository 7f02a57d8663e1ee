// The RTF group walk on a document that enscript writes at test time (skipped without it) and on
// documents whose escapes and binary data hold braces.
#include "recovery/carving/formats/RTFGroupWalk.h"

#include "tests/fixtures/SoundFiles.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {


const test::WalkOver<RTFGroupWalk::walk> rtfWalkAt{64, 1000};

Bytes text(std::string_view value) { return Bytes(value.begin(), value.end()); }

TEST(RTFGroupWalk, ADocumentWrittenByEnscriptEndsAtItsClosingBraceAndLineEnd) {
    if (!test::haveProgram("enscript")) GTEST_SKIP() << "enscript is not installed";
    const test::TempDir dir;
    std::string body;
    for (int line = 0; line < 3000; ++line)
        body += "line " + std::to_string(line) + ": {open} \\back\\slash {{ and }} closing}\n";
    test::writeFile(dir / "in.txt", text(body));
    test::runOrFail({"enscript", "-q", "-w", "rtf", "-o", (dir / "out.rtf").string(), (dir / "in.txt").string()});
    const Bytes rtf = test::readFile(dir / "out.rtf");
    ASSERT_GT(rtf.size(), 100000u);
    const Bytes junk = test::randomBytes(3000, 9);
    rtfWalkAt.expectOwnLengthWhateverFollows(rtf, junk);
    EXPECT_EQ(rtfWalkAt(rtf, 0, rtf.size() - 2), std::nullopt);
}

TEST(RTFGroupWalk, EscapesAndBinaryDataDoNotCount) {
    const Bytes binary{'}', '}', 0, '{', '\\', 0xFF, '}'};
    struct Case {
        const char* what;
        Bytes document;
        std::optional<std::uint64_t> length;
    };
    Bytes withBinary = text("{\\rtf1{\\pict\\bin7 ");
    withBinary.insert(withBinary.end(), binary.begin(), binary.end());
    const Bytes binaryTail = text("}\\par}\r\n");
    withBinary.insert(withBinary.end(), binaryTail.begin(), binaryTail.end());
    const Case cases[] = {
        {"escaped braces and backslashes", text("{\\rtf1 a\\{b\\}c\\\\}d}"), 17},
        {"a control word's parameter and space", text("{\\rtf1\\ansi\\deff0 {\\fonttbl{\\f0 A;}}x}\n}"), 39},
        {"binary data with braces and NUL", withBinary, withBinary.size()},
        {"a line end of CR LF", text("{\\rtf1 x}\r\n{"), 11},
        {"hex escapes", text("{\\rtf1 \\'7b\\'7d}"), 16},
        {"a group left open", text("{\\rtf1 {\\b bold}"), std::nullopt},
        {"a NUL in the text", Bytes{'{', '\\', 'r', 't', 'f', '1', ' ', 0, '}'}, std::nullopt},
        {"binary data past the end", text("{\\rtf1\\bin99 }}"), std::nullopt},
        {"a parameter too long", text("{\\rtf1\\bin12345678901 }"), std::nullopt},
        {"no RTF", text("{\\rtx1 }"), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(rtfWalkAt(c.document, 0), c.length) << c.what;
}

} // namespace
} // namespace vantrel
