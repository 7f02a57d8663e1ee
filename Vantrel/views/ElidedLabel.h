#pragma once
// A plain-text label of at most a given number of lines: the text wraps at word boundaries into those
// lines, and what does not fit ends the last line in "…", never cut in the middle of a letter. The
// whole text is its tooltip.

#include <QLabel>

namespace vantrel {

class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text, int maxLines = 1);
    const QString& fullText() const { return m_fullText; }
    int maxLines() const { return m_maxLines; }

    // The lines shown for text at width: at most maxLines, the last one ending in "…" when text
    // does not fit.
    static QStringList fit(const QString& text, const QFont& font, int width, int maxLines);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void relayout();

    QString m_fullText;
    int m_maxLines = 1;
};

} // namespace vantrel
