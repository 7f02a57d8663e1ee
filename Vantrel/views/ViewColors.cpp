#include "Vantrel/views/ViewColors.h"

namespace vantrel::ViewColors {

QColor color(ColorRole role, const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    switch (role) {
    case ColorRole::primary: return text;
    case ColorRole::secondary: {
        QColor c = text;
        c.setAlphaF(0.65f);
        return c;
    }
    case ColorRole::tertiary: {
        QColor c = text;
        c.setAlphaF(0.42f);
        return c;
    }
    case ColorRole::accent: return palette.color(QPalette::Highlight);
    case ColorRole::orange: return QColor(0xE8, 0x7A, 0x00);
    case ColorRole::green: return QColor(0x1E, 0x9E, 0x3E);
    case ColorRole::red: return QColor(0xD7, 0x26, 0x1E);
    }
    return text;
}

QColor color(ColorRole role, const QPalette& palette, double opacity) {
    QColor c = color(role, palette);
    c.setAlphaF(static_cast<float>(c.alphaF() * opacity));
    return c;
}

QString styleSheet(ColorRole role, const QPalette& palette) {
    return QStringLiteral("color: %1;").arg(color(role, palette).name(QColor::HexArgb));
}

} // namespace vantrel::ViewColors
