#include "Vantrel/sheets/SheetStyle.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QStyle>

namespace vantrel::SheetStyle {

QIcon symbolIcon(const QString& symbol) {
    struct Entry {
        const char* symbol;
        const char* theme;
        QStyle::StandardPixmap fallback;
    };
    static constexpr Entry entries[] = {
        {"checkmark.circle", "emblem-ok-symbolic", QStyle::SP_DialogApplyButton},
        {"checkmark.circle.fill", "emblem-ok", QStyle::SP_DialogApplyButton},
        {"exclamationmark.triangle.fill", "dialog-warning", QStyle::SP_MessageBoxWarning},
    };
    for (const auto& entry : entries) {
        if (symbol != QLatin1String(entry.symbol)) continue;
        return QIcon::fromTheme(QLatin1String(entry.theme), QApplication::style()->standardIcon(entry.fallback));
    }
    return {};
}

QColor warningColour() { return QColor(0xE6, 0x7E, 0x00); }
QColor successColour() { return QColor(0x2E, 0x9E, 0x44); }

QColor secondaryColour(const QWidget& widget) { return widget.palette().color(QPalette::PlaceholderText); }

QLabel* titleLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    setFontScale(*label, 1.45, QFont::Bold);
    return label;
}

QLabel* wrappingLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

void setForeground(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget.setPalette(palette);
}

void setFontScale(QWidget& widget, double factor, int weight) {
    QFont font = widget.font();
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * factor);
    else font.setPixelSize(static_cast<int>(font.pixelSize() * factor));
    if (weight >= 0) font.setWeight(static_cast<QFont::Weight>(weight));
    widget.setFont(font);
}

} // namespace vantrel::SheetStyle
