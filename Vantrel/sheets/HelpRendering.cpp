#include "Vantrel/sheets/HelpRendering.h"

#include <QCoreApplication>

namespace vantrel::HelpRendering {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("HelpSheet", text); }

bool isWordCharacter(QChar c) { return c.isLetterOrNumber(); }

class InlineWriter {
public:
    explicit InlineWriter(const QString& text) : m_text(text) {}

    QString run(qsizetype from, qsizetype to) const {
        QString out;
        qsizetype i = from;
        while (i < to) {
            const QChar c = m_text[i];
            if (c == QLatin1Char('\\') && i + 1 < to && m_text[i + 1].isPunct()) {
                out += QString(m_text[i + 1]).toHtmlEscaped();
                i += 2;
                continue;
            }
            if (c == QLatin1Char('`')) {
                const qsizetype close = m_text.indexOf(QLatin1Char('`'), i + 1);
                if (close > i + 1 && close < to) {
                    out += QStringLiteral("<code>") + m_text.mid(i + 1, close - i - 1).toHtmlEscaped() +
                           QStringLiteral("</code>");
                    i = close + 1;
                    continue;
                }
            }
            if (auto span = paired(i, to, QStringLiteral("**"), QStringLiteral("b"), out)) { i = *span; continue; }
            if (auto span = paired(i, to, QStringLiteral("__"), QStringLiteral("b"), out)) { i = *span; continue; }
            if (auto span = paired(i, to, QStringLiteral("~~"), QStringLiteral("s"), out)) { i = *span; continue; }
            if (auto span = paired(i, to, QStringLiteral("*"), QStringLiteral("i"), out)) { i = *span; continue; }
            if (auto span = paired(i, to, QStringLiteral("_"), QStringLiteral("i"), out)) { i = *span; continue; }
            if (c == QLatin1Char('[')) {
                const qsizetype middle = m_text.indexOf(QLatin1String("]("), i + 1);
                const qsizetype close = middle < 0 ? -1 : m_text.indexOf(QLatin1Char(')'), middle + 2);
                if (middle > i + 1 && close > middle + 2 && close < to) {
                    const QString address = m_text.mid(middle + 2, close - middle - 2);
                    out += QStringLiteral("<a href=\"%1\">%2</a>").arg(address.toHtmlEscaped(), run(i + 1, middle));
                    i = close + 1;
                    continue;
                }
            }
            out += QString(c).toHtmlEscaped();
            ++i;
        }
        return out;
    }

private:
    // A mark at i with its partner before `to`, holding something: writes the span and gives where
    // the text goes on. "_" marks only at word edges, so snake_case names stay as they are.
    std::optional<qsizetype> paired(qsizetype i, qsizetype to, const QString& mark, const QString& tag, QString& out) const {
        if (!QStringView(m_text).sliced(i).startsWith(mark)) return std::nullopt;
        const bool underscore = mark.startsWith(QLatin1Char('_'));
        if (underscore && i > 0 && isWordCharacter(m_text[i - 1])) return std::nullopt;
        const qsizetype open = i + mark.size();
        qsizetype close = m_text.indexOf(mark, open);
        // A single mark is not the first half of a double one.
        while (mark.size() == 1 && close >= 0 && close + 1 < to && m_text[close + 1] == mark[0])
            close = m_text.indexOf(mark, close + 2);
        if (close <= open || close + mark.size() > to) return std::nullopt;
        if (m_text[open].isSpace() || m_text[close - 1].isSpace()) return std::nullopt;
        if (underscore && close + mark.size() < m_text.size() && isWordCharacter(m_text[close + mark.size()]))
            return std::nullopt;
        out += QStringLiteral("<%1>").arg(tag) + run(open, close) + QStringLiteral("</%1>").arg(tag);
        return close + mark.size();
    }

    const QString& m_text;
};

QString headingHtml(const HelpDocument::Block& block) {
    // Level 1 as a sheet title, level 2 a little smaller, the rest as bold body text.
    const char* size = block.level == 1 ? "x-large" : block.level == 2 ? "large" : "medium";
    const int weight = block.level == 2 ? 600 : 700;
    const int above = block.level <= 2 ? 12 : 6;
    return QStringLiteral("<p style=\"font-size:%1; font-weight:%2; margin-top:%3px; margin-bottom:%4px;\">%5</p>")
        .arg(QLatin1String(size))
        .arg(weight)
        .arg(above)
        .arg(2 + 10)
        .arg(inlineHtml(block.text));
}

QString listItemHtml(const HelpDocument::Block& block, const QString& secondaryColour) {
    return QStringLiteral("<table cellspacing=\"0\" cellpadding=\"0\" style=\"margin-bottom:10px;\"><tr>"
                          "<td width=\"22\" align=\"right\" style=\"color:%1;\">%2</td><td width=\"8\"></td>"
                          "<td>%3</td></tr></table>")
        .arg(secondaryColour.toHtmlEscaped(), listMarker(block).toHtmlEscaped(), inlineHtml(block.text));
}

QString tableHtml(const HelpDocument::Block& block) {
    std::size_t columns = 0;
    for (const auto& row : block.rows) columns = std::max(columns, row.size());
    QString html = QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"5\" bgcolor=\"#0b000000\" "
                                  "style=\"margin-top:4px; margin-bottom:14px;\">");
    for (std::size_t r = 0; r < block.rows.size(); ++r) {
        const auto& row = block.rows[r];
        html += QStringLiteral("<tr>");
        for (std::size_t c = 0; c < columns; ++c) {
            const QString cell = c < row.size() ? inlineHtml(row[c]) : QString();
            // The cells of a row share its width.
            const QString weight = r == 0 ? QStringLiteral(" font-weight:600;") : QString();
            html += QStringLiteral("<td valign=\"top\" width=\"%1%\" style=\"font-size:small;%2\">%3</td>")
                        .arg(100 / static_cast<int>(columns))
                        .arg(weight, cell);
        }
        html += QStringLiteral("</tr>");
        if (r == 0 && block.rows.size() > 1)
            html += QStringLiteral("<tr><td colspan=\"%1\" style=\"padding:0;\"><hr/></td></tr>").arg(columns);
    }
    return html + QStringLiteral("</table>");
}

} // namespace

QString inlineHtml(const QString& text) { return InlineWriter(text).run(0, text.size()); }

QString listMarker(const HelpDocument::Block& item) {
    if (item.ordered) return tr("%1.").arg(item.index);
    return tr("\u2022");
}

QString documentHtml(const std::vector<HelpDocument::Block>& blocks, const QString& secondaryColour) {
    QString html = QStringLiteral("<html><body>");
    for (const auto& block : blocks) {
        switch (block.kind) {
        case HelpDocument::BlockKind::heading: html += headingHtml(block); break;
        case HelpDocument::BlockKind::paragraph:
            html += QStringLiteral("<p style=\"margin-top:0px; margin-bottom:10px;\">%1</p>").arg(inlineHtml(block.text));
            break;
        case HelpDocument::BlockKind::listItem: html += listItemHtml(block, secondaryColour); break;
        case HelpDocument::BlockKind::table: html += tableHtml(block); break;
        case HelpDocument::BlockKind::divider: html += QStringLiteral("<hr style=\"margin-top:10px; margin-bottom:20px;\"/>"); break;
        }
    }
    return html + QStringLiteral("</body></html>");
}

} // namespace vantrel::HelpRendering
