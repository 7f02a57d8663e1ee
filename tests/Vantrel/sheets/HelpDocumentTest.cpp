// The guide's block parser on its rules, the choice of the guide's file for the user's languages, and
// the inline marks of a block's text.

#include "Vantrel/sheets/HelpDocument.h"
#include "Vantrel/sheets/HelpRendering.h"

#include <gtest/gtest.h>

#include <map>

namespace vantrel {

namespace HelpDocument {
// Failures name the block's fields.
void PrintTo(const Block& block, std::ostream* out) {
    *out << "{kind " << static_cast<int>(block.kind) << " level " << block.level << " ordered " << block.ordered
         << " index " << block.index << " text \"" << block.text.toStdString() << "\" rows " << block.rows.size() << "}";
}

} // namespace HelpDocument

namespace {

using HelpDocument::Block;
using HelpDocument::parse;
using Blocks = std::vector<Block>;
using Rows = std::vector<std::vector<QString>>;

QString q(const char* text) { return QString::fromUtf8(text); }

Block item(int index, const char* text) { return Block::listItem(true, index, q(text)); }
Block bullet(const char* text) { return Block::listItem(false, 0, q(text)); }
Block para(const char* text) { return Block::paragraph(q(text)); }

TEST(HelpDocumentParse, OrderedItemsAreNumberedFromOneUntilSomethingEndsTheList) {
    EXPECT_EQ(parse(q("1. a\n2. b\n\n3. c")), (Blocks{item(1, "a"), item(2, "b"), item(1, "c")}));
    EXPECT_EQ(parse(q("7. a\n3. b")), (Blocks{item(1, "a"), item(2, "b")}));
    // A paragraph line between items does not restart the numbering; an unordered item does.
    EXPECT_EQ(parse(q("1. a\ntext\n2. b")), (Blocks{item(1, "a"), para("text"), item(2, "b")}));
    EXPECT_EQ(parse(q("1. a\n- b\n2. c")), (Blocks{item(1, "a"), bullet("b"), item(1, "c")}));
    EXPECT_EQ(parse(q("1. a\n# H\n2. c\n---\n3. d")),
              (Blocks{item(1, "a"), Block::heading(1, q("H")), item(1, "c"), Block::divider(), item(1, "d")}));
    // A table row between items keeps the count.
    EXPECT_EQ(parse(q("1. a\n| x |\n2. b")), (Blocks{item(1, "a"), Block::table(Rows{{q("x")}}), item(2, "b")}));
}

TEST(HelpDocumentParse, OnlyADigitRunFollowedByADotAndABlankIsAnOrderedItem) {
    EXPECT_EQ(parse(q("1) first")), (Blocks{para("1) first")}));
    EXPECT_EQ(parse(q("3.14 is pi")), (Blocks{para("3.14 is pi")}));
    EXPECT_EQ(parse(q("2024. Word")), (Blocks{item(1, "Word")}));
    EXPECT_EQ(parse(q("12.\t\t  spaced")), (Blocks{item(1, "spaced")}));
    EXPECT_EQ(parse(q(". text")), (Blocks{para(". text")}));
    EXPECT_EQ(parse(q("1a. text")), (Blocks{para("1a. text")}));
    // Any numeric character counts: Arabic-Indic digits, a Roman numeral, a digit outside the BMP.
    EXPECT_EQ(parse(q("\u0663. ثلاثة")), (Blocks{item(1, "ثلاثة")}));
    EXPECT_EQ(parse(q("\u2163. four")), (Blocks{item(1, "four")}));
    EXPECT_EQ(parse(q("\U0001D7D9. one")), (Blocks{item(1, "one")}));
}

TEST(HelpDocumentParse, HeadingsNeedOneToSixMarksABlankAndText) {
    EXPECT_EQ(parse(q("#NoBlank")), (Blocks{para("#NoBlank")}));
    EXPECT_EQ(parse(q("####### seven")), (Blocks{para("####### seven")}));
    EXPECT_EQ(parse(q("###")), (Blocks{para("###")}));
    EXPECT_EQ(parse(q("   ## Title  ")), (Blocks{Block::heading(2, q("Title"))}));
    EXPECT_EQ(parse(q("######\tSix")), (Blocks{Block::heading(6, q("Six"))}));
    EXPECT_EQ(parse(q("# \u3000")), (Blocks{para("#")}));  // only space after the marks: the line trims to "#"
    EXPECT_EQ(parse(q("#\u3000x")), (Blocks{para("#\u3000x")}));  // a wide space is not a blank
}

TEST(HelpDocumentParse, DividersAndUnorderedItems) {
    EXPECT_EQ(parse(q("-word")), (Blocks{para("-word")}));
    EXPECT_EQ(parse(q("-   three")), (Blocks{bullet("  three")}));
    EXPECT_EQ(parse(q("- - -")), (Blocks{bullet("- -")}));
    EXPECT_EQ(parse(q("---")), (Blocks{Block::divider()}));
    EXPECT_EQ(parse(q("***\n___")), (Blocks{Block::divider(), Block::divider()}));
    EXPECT_EQ(parse(q("----")), (Blocks{para("----")}));
    EXPECT_EQ(parse(q("* star\n+ plus")), (Blocks{bullet("star"), bullet("plus")}));
}

TEST(HelpDocumentParse, TablesDropEmptyCellsAndSeparatorRows) {
    EXPECT_EQ(parse(q("| A | B |\n|:--|--:|\n| 1 | 2 |")), (Blocks{Block::table(Rows{{q("A"), q("B")}, {q("1"), q("2")}})}));
    EXPECT_EQ(parse(q("| a | | c |")), (Blocks{Block::table(Rows{{q("a"), q("c")}})}));
    EXPECT_EQ(parse(q("text\n| | |\nmore")), (Blocks{para("text"), para("more")}));
    EXPECT_EQ(parse(q("| A |\n| - | - |\n| B |")), (Blocks{Block::table(Rows{{q("A")}, {q("B")}})}));
    EXPECT_EQ(parse(q("|---|\n|:-:|")), Blocks{});
    // Rows may differ in length; a cell keeps its inner blanks.
    EXPECT_EQ(parse(q("| a b | c |\n| d |")), (Blocks{Block::table(Rows{{q("a b"), q("c")}, {q("d")}})}));
}

TEST(HelpDocumentParse, TablesAndParagraphsEndEachOther) {
    EXPECT_EQ(parse(q("para\n| x |\nafter")),
              (Blocks{para("para"), Block::table(Rows{{q("x")}}), para("after")}));
    EXPECT_EQ(parse(q("one\n  two  \n\nthree")), (Blocks{para("one two"), para("three")}));
}

TEST(HelpDocumentParse, LineEndsAndEmptyDocuments) {
    const QString text = q("# T\n\n1. a\n| x | y |\nplain\nline\n");
    QString crlf = text;
    crlf.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    EXPECT_EQ(parse(crlf), parse(text));
    // A lone carriage return is no line break and stays in the text.
    EXPECT_EQ(parse(q("a\rb")), (Blocks{para("a\rb")}));
    EXPECT_EQ(parse(QString()), Blocks{});
    EXPECT_EQ(parse(q("\n \n\t\n")), Blocks{});
}

TEST(HelpDocumentParse, TheShippedGuideReadsAsBlocks) {
    const auto text = HelpDocument::readHelpResource(q("Help"), q("md"));
    ASSERT_TRUE(text);
    const auto blocks = parse(*text);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.front(), Block::heading(1, q("Vantrel")));
    bool statusTable = false;
    for (const auto& block : blocks)
        if (block.kind == HelpDocument::BlockKind::table && block.rows.size() == 6 && block.rows[1][0] == q("OK"))
            statusTable = true;
    EXPECT_TRUE(statusTable);
    EXPECT_TRUE(text->contains(q("systemctl enable --now io.tessik.vantrel.helper.socket")));
}

TEST(HelpDocumentLanguage, TheLanguageIsThePartBeforeTheFirstSeparator) {
    EXPECT_EQ(HelpDocument::languageCode(q("pt-BR")), q("pt"));
    EXPECT_EQ(HelpDocument::languageCode(q("zh_Hant_TW")), q("zh"));
    EXPECT_EQ(HelpDocument::languageCode(q("DE")), q("de"));
    // Three-letter codes stay whole rather than being cut to two letters.
    EXPECT_EQ(HelpDocument::languageCode(q("fil-PH")), q("fil"));
    EXPECT_EQ(HelpDocument::languageCode(q("yue")), q("yue"));
}

struct FakeResources {
    std::map<QString, QString> files;
    std::vector<QString> asked;

    HelpDocument::ResourceReader reader() {
        return [this](const QString& name, const QString& ext) -> std::optional<QString> {
            const QString file = name + QLatin1Char('.') + ext;
            asked.push_back(file);
            auto found = files.find(file);
            if (found == files.end()) return std::nullopt;
            return found->second;
        };
    }
};

TEST(HelpDocumentLanguage, TheFirstLanguageWithAGuideWins) {
    FakeResources resources;
    resources.files = {{q("Help.md"), q("english")}, {q("Help.de.md"), q("deutsch")}};
    EXPECT_EQ(HelpDocument::loadMarkdown({q("fr-FR"), q("de-AT"), q("en")}, resources.reader()), q("deutsch"));
    EXPECT_EQ(resources.asked, (std::vector<QString>{q("Help.fr.md"), q("Help.de.md")}));

    resources.asked.clear();
    EXPECT_EQ(HelpDocument::loadMarkdown({q("en-GB"), q("de")}, resources.reader()), q("english"));
    EXPECT_EQ(resources.asked, (std::vector<QString>{q("Help.md")}));
}

TEST(HelpDocumentLanguage, EnglishFallsBackToItsOwnFileThenTheDefaultThenTheBuiltInText) {
    FakeResources resources;
    resources.files = {{q("Help.en.md"), q("en file")}};
    EXPECT_EQ(HelpDocument::loadMarkdown({q("en-US")}, resources.reader()), q("en file"));

    resources.files = {{q("Help.md"), q("default")}};
    EXPECT_EQ(HelpDocument::loadMarkdown({q("ja-JP")}, resources.reader()), q("default"));
    EXPECT_EQ(HelpDocument::loadMarkdown({}, resources.reader()), q("default"));

    resources.files.clear();
    const QString builtIn = HelpDocument::loadMarkdown({q("en")}, resources.reader());
    EXPECT_EQ(builtIn, q("# Vantrel\n\nHelp file missing from the app bundle."));
    EXPECT_EQ(parse(builtIn), (Blocks{Block::heading(1, q("Vantrel")), para("Help file missing from the app bundle.")}));
}

TEST(HelpDocumentLanguage, AMissingResourceGivesNothing) {
    EXPECT_FALSE(HelpDocument::readHelpResource(q("Help.xx"), q("md")));
    EXPECT_FALSE(HelpDocument::readHelpResource(q("Help"), q("txt")));
}

TEST(HelpRendering, InlineMarksBecomeRichTextAndEverythingElseIsEscaped) {
    using HelpRendering::inlineHtml;
    EXPECT_EQ(inlineHtml(q("**bold** and *it* and `a<b>`")), q("<b>bold</b> and <i>it</i> and <code>a&lt;b&gt;</code>"));
    EXPECT_EQ(inlineHtml(q("~~gone~~ __strong__ _em_")), q("<s>gone</s> <b>strong</b> <i>em</i>"));
    EXPECT_EQ(inlineHtml(q("[site](https://example.org/?a=1&b=\"2\")")),
              q("<a href=\"https://example.org/?a=1&amp;b=&quot;2&quot;\">site</a>"));
    EXPECT_EQ(inlineHtml(q("<script>alert(1)</script>")), q("&lt;script&gt;alert(1)&lt;/script&gt;"));
}

TEST(HelpRendering, MarksWithoutPartnersStayAsText) {
    using HelpRendering::inlineHtml;
    EXPECT_EQ(inlineHtml(q("**open")), q("**open"));
    EXPECT_EQ(inlineHtml(q("a * b * c")), q("a * b * c"));
    EXPECT_EQ(inlineHtml(q("snake_case_name")), q("snake_case_name"));
    EXPECT_EQ(inlineHtml(q("`unclosed")), q("`unclosed"));
    EXPECT_EQ(inlineHtml(q("[no link]")), q("[no link]"));
    EXPECT_EQ(inlineHtml(q("\\*literal\\*")), q("*literal*"));
}

TEST(HelpRendering, ListMarkersShowTheRunningNumberOrABullet) {
    EXPECT_EQ(HelpRendering::listMarker(item(3, "x")), q("3."));
    EXPECT_EQ(HelpRendering::listMarker(bullet("x")), q("\u2022"));
}

} // namespace
} // namespace vantrel
