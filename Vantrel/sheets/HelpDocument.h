#pragma once
// The user guide: finding its text for the user's languages among the application's resources, and
// splitting it into a flat list of blocks. The guide is written in a small subset of Markdown that
// only knows lines: headings, paragraphs, list items, tables and dividers. Nothing nests, indentation
// never matters and there are no code blocks; emphasis, code spans and links inside a block are left
// to the inline rendering (HelpRendering.h).

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace vantrel::HelpDocument {

enum class BlockKind { heading, paragraph, listItem, table, divider };

struct Block {
    BlockKind kind = BlockKind::paragraph;
    int level = 0;       // heading: 1 to 6
    bool ordered = false;  // listItem
    int index = 0;       // listItem: 0 when unordered, the running number from 1 when ordered
    QString text;        // heading, paragraph, listItem
    std::vector<std::vector<QString>> rows;  // table: each row holds at least one non-empty cell

    static Block heading(int level, QString text);
    static Block paragraph(QString text);
    static Block listItem(bool ordered, int index, QString text);
    static Block table(std::vector<std::vector<QString>> rows);
    static Block divider();

    // Same kind and equal payload; the fields a kind does not use are not compared.
    friend bool operator==(const Block& a, const Block& b);
};

// The guide shown when no resource can be read.
QString builtInText();

// The resource ":/help/<name>.<ext>" read as UTF-8; nothing when it is missing or is not UTF-8.
std::optional<QString> readHelpResource(const QString& name, const QString& ext);

// The help language of one entry of the user's language list: the part before the first "-" or "_",
// lower-cased ("pt-BR" → "pt", "zh_Hant_TW" → "zh", "fil" → "fil").
QString languageCode(const QString& languageIdentifier);

using ResourceReader = std::function<std::optional<QString>(const QString& name, const QString& ext)>;

// The guide for the languages in order of preference: "Help.md" for English, otherwise "Help.<code>.md"
// ("Help.en.md" too when "Help.md" is missing), then "Help.md" whatever the languages, then builtInText().
QString loadMarkdown(const QStringList& languages, const ResourceReader& read);
// The same for the system's languages and the application's resources.
QString loadMarkdown();

// The blocks of a text, in document order. Accepts every input.
std::vector<Block> parse(const QString& text);

} // namespace vantrel::HelpDocument
