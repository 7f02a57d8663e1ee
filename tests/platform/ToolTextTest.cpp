// A system tool's words as a message shows them: readable, on one line, bounded.

#include "platform/text/ToolText.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(ToolText, LinesBecomeOneSentenceWithoutControlCharacters) {
    // What systemctl writes when the unit is missing, with its line ends.
    EXPECT_EQ(ToolText::readable("Failed to enable unit: Unit file io.tessik.vantrel.helper.socket does not exist.\n", 600),
              "Failed to enable unit: Unit file io.tessik.vantrel.helper.socket does not exist.");
    // pkexec's refusal: a line without a full stop, an empty line, another line.
    EXPECT_EQ(ToolText::readable("Error executing command as another user: Not authorized\n\nThis incident has been reported.\n", 600),
              "Error executing command as another user: Not authorized. This incident has been reported.");
    // Colours and cursor moves go; a bell, a tab, a carriage return and C1 controls do not reach the text.
    EXPECT_EQ(ToolText::readable("\x1b[0;1;31mJob failed\x1b[0m\a\tsee\r\n  log\x1b" "c\xc2\x85" "end  ", 600),
              "Job failed  see. log end");
    EXPECT_EQ(ToolText::readable("\x7f\x01 \n\r\n", 600), "");
    // Letters beyond ASCII stay.
    EXPECT_EQ(ToolText::readable("Unit \xe2\x80\x9cx\xe2\x80\x9d is masked.", 600), "Unit \xe2\x80\x9cx\xe2\x80\x9d is masked.");
}

TEST(ToolText, ALongTextIsCutAtACharacterWithAnEllipsis) {
    const std::string many(1000, 'a');
    const auto cut = ToolText::readable(many, 100);
    EXPECT_LE(cut.size(), 100u);
    EXPECT_EQ(cut, std::string(97, 'a') + "\u2026");
    // A cut inside a two-byte letter moves before it.
    std::string umlauts;
    for (int i = 0; i < 100; ++i) umlauts += "\xc3\xa4";
    const auto cutLetters = ToolText::readable(umlauts, 50);
    EXPECT_LE(cutLetters.size(), 50u);
    EXPECT_EQ(cutLetters, umlauts.substr(0, 46) + "\u2026");
    EXPECT_EQ(ToolText::readable(many, 2), "");
}

} // namespace
} // namespace vantrel
