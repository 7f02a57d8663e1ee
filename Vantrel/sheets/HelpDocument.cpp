#include "Vantrel/sheets/HelpDocument.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

namespace vantrel::HelpDocument {

namespace {

// Horizontal white space: the Unicode space separators and the tab. Line breaks are not among them,
// so a lone carriage return stays in its line.
bool isHorizontalSpace(QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; }

bool isBlankOrTab(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString trimmedHorizontal(const QString& line) {
    qsizetype start = 0;
    qsizetype end = line.size();
    while (start < end && isHorizontalSpace(line[start])) ++start;
    while (end > start && isHorizontalSpace(line[end - 1])) --end;
    return line.mid(start, end - start);
}

// "## Title" → level 2 and "Title". The run of "#" is 1 to 6 long and followed by a blank or a tab.
std::optional<std::pair<int, QString>> headingLevel(const QString& line) {
    qsizetype run = 0;
    while (run < line.size() && line[run] == QLatin1Char('#')) ++run;
    if (run == 0 || run > 6 || run == line.size() || !isBlankOrTab(line[run])) return std::nullopt;
    QString text = trimmedHorizontal(line.mid(run));
    if (text.isEmpty()) return std::nullopt;
    return std::pair{static_cast<int>(run), std::move(text)};
}

// "12. Text" → "Text". Every character before the first "." has the Unicode numeric property (not
// only the ASCII digits); a blank or a tab follows the dot.
std::optional<QString> orderedItemText(const QString& line) {
    const qsizetype dot = line.indexOf(QLatin1Char('.'));
    if (dot <= 0) return std::nullopt;
    for (const char32_t c : line.left(dot).toUcs4())
        if (!QChar::isNumber(c)) return std::nullopt;
    const QString rest = line.mid(dot + 1);
    if (rest.isEmpty() || !isBlankOrTab(rest[0])) return std::nullopt;
    qsizetype start = 0;
    while (start < rest.size() && isBlankOrTab(rest[start])) ++start;
    return rest.mid(start);
}

bool isSeparatorCell(const QString& cell) {
    for (const QChar c : cell.trimmed())
        if (c != QLatin1Char('-') && c != QLatin1Char(':') && c != QLatin1Char('|')) return false;
    return true;
}

class Parser {
public:
    void line(const QString& raw) {
        const QString l = trimmedHorizontal(raw);
        if (l.isEmpty()) {
            flushParagraph();
            flushTable();
            m_counter = 0;
            return;
        }
        if (l.startsWith(QLatin1Char('|'))) {
            flushParagraph();
            std::vector<QString> cells;
            for (const QString& piece : l.split(QLatin1Char('|'))) {
                QString cell = trimmedHorizontal(piece);
                if (!cell.isEmpty()) cells.push_back(std::move(cell));
            }
            if (!cells.empty()) m_rows.push_back(std::move(cells));
            return;
        }
        flushTable();
        if (l == QLatin1String("---") || l == QLatin1String("***") || l == QLatin1String("___")) {
            flushParagraph();
            m_blocks.push_back(Block::divider());
            m_counter = 0;
        } else if (auto heading = headingLevel(l)) {
            flushParagraph();
            m_blocks.push_back(Block::heading(heading->first, std::move(heading->second)));
            m_counter = 0;
        } else if (l.startsWith(QLatin1String("- ")) || l.startsWith(QLatin1String("* ")) ||
                   l.startsWith(QLatin1String("+ "))) {
            flushParagraph();
            m_blocks.push_back(Block::listItem(false, 0, l.mid(2)));
            m_counter = 0;
        } else if (auto item = orderedItemText(l)) {
            flushParagraph();
            ++m_counter;
            m_blocks.push_back(Block::listItem(true, m_counter, std::move(*item)));
        } else {
            m_paragraph.push_back(l);
        }
    }

    std::vector<Block> finish() {
        flushParagraph();
        flushTable();
        return std::move(m_blocks);
    }

private:
    void flushParagraph() {
        QStringList kept;
        for (const QString& line : m_paragraph) {
            QString trimmed = trimmedHorizontal(line);
            if (!trimmed.isEmpty()) kept.push_back(std::move(trimmed));
        }
        m_paragraph.clear();
        QString joined = kept.join(QLatin1Char(' '));
        if (!joined.isEmpty()) m_blocks.push_back(Block::paragraph(std::move(joined)));
    }

    // A row all of whose cells hold only "-", ":" and "|" is a separator, wherever it stands.
    void flushTable() {
        std::vector<std::vector<QString>> kept;
        for (auto& row : m_rows)
            if (!std::all_of(row.begin(), row.end(), isSeparatorCell)) kept.push_back(std::move(row));
        m_rows.clear();
        if (!kept.empty()) m_blocks.push_back(Block::table(std::move(kept)));
    }

    std::vector<Block> m_blocks;
    QStringList m_paragraph;
    std::vector<std::vector<QString>> m_rows;
    int m_counter = 0;
};

} // namespace

Block Block::heading(int level, QString text) {
    Block block;
    block.kind = BlockKind::heading;
    block.level = level;
    block.text = std::move(text);
    return block;
}

Block Block::paragraph(QString text) {
    Block block;
    block.kind = BlockKind::paragraph;
    block.text = std::move(text);
    return block;
}

Block Block::listItem(bool ordered, int index, QString text) {
    Block block;
    block.kind = BlockKind::listItem;
    block.ordered = ordered;
    block.index = index;
    block.text = std::move(text);
    return block;
}

Block Block::table(std::vector<std::vector<QString>> rows) {
    Block block;
    block.kind = BlockKind::table;
    block.rows = std::move(rows);
    return block;
}

Block Block::divider() {
    Block block;
    block.kind = BlockKind::divider;
    return block;
}

bool operator==(const Block& a, const Block& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case BlockKind::heading: return a.level == b.level && a.text == b.text;
    case BlockKind::paragraph: return a.text == b.text;
    case BlockKind::listItem: return a.ordered == b.ordered && a.index == b.index && a.text == b.text;
    case BlockKind::table: return a.rows == b.rows;
    case BlockKind::divider: return true;
    }
    return false;
}

QString builtInText() { return QStringLiteral("# Vantrel\n\nHelp file missing from the app bundle."); }

std::optional<QString> readHelpResource(const QString& name, const QString& ext) {
    QFile file(QStringLiteral(":/help/%1.%2").arg(name, ext));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

QString languageCode(const QString& languageIdentifier) {
    const qsizetype cut = languageIdentifier.indexOf(QRegularExpression(QStringLiteral("[-_]")));
    return (cut < 0 ? languageIdentifier : languageIdentifier.left(cut)).toLower();
}

QString loadMarkdown(const QStringList& languages, const ResourceReader& read) {
    const QString help = QStringLiteral("Help");
    const QString md = QStringLiteral("md");
    for (const QString& language : languages) {
        const QString code = languageCode(language);
        if (code.isEmpty()) continue;
        if (code == QLatin1String("en"))
            if (auto text = read(help, md)) return *text;
        if (auto text = read(help + QLatin1Char('.') + code, md)) return *text;
    }
    if (auto text = read(help, md)) return *text;
    return builtInText();
}

QString loadMarkdown() { return loadMarkdown(QLocale::system().uiLanguages(), readHelpResource); }

std::vector<Block> parse(const QString& text) {
    QString normalised = text;
    normalised.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Parser parser;
    for (const QString& line : normalised.split(QLatin1Char('\n'))) parser.line(line);
    return parser.finish();
}

} // namespace vantrel::HelpDocument
