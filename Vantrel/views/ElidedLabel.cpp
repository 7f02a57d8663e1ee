#include "Vantrel/views/ElidedLabel.h"

#include <QTextLayout>

namespace vantrel {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text, int maxLines) {
    const int lines = std::max(maxLines, 1);
    if (text == m_fullText && lines == m_maxLines) return;
    m_fullText = text;
    m_maxLines = lines;
    setToolTip(text.toHtmlEscaped());
    updateGeometry();
    relayout();
}

QStringList ElidedLabel::fit(const QString& text, const QFont& font, int width, int maxLines) {
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QFontMetrics metrics(font);
    if (width <= 0 || flat.isEmpty()) return {flat};
    QTextLayout layout(flat, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    while (lines.size() < maxLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() + 1 == maxLines) {
            // The last line takes the rest, elided at its end.
            lines << metrics.elidedText(flat.mid(line.textStart()).trimmed(), Qt::ElideRight, width);
            break;
        }
        lines << flat.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    if (lines.isEmpty()) lines << QString();
    return lines;
}

void ElidedLabel::relayout() {
    const QStringList lines = fit(m_fullText, font(), contentsRect().width(), m_maxLines);
    const bool taller = lines.size() != text().count(QLatin1Char('\n')) + 1;
    QLabel::setText(lines.join(QLatin1Char('\n')));
    // A second line needs the room of one.
    if (taller) updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QChar(0x2026)) * 3, QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const int lines = std::min(m_maxLines, std::max<int>(1, static_cast<int>(text().count(QLatin1Char('\n'))) + 1));
    const QMargins margins = contentsMargins();
    return {metrics.horizontalAdvance(m_fullText) + margins.left() + margins.right(),
            metrics.lineSpacing() * lines + margins.top() + margins.bottom()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    relayout();
}

} // namespace vantrel
