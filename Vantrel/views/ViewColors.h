#pragma once
// The colour roles the views' rules name; the widgets turn them into colours of the palette.

#include <QColor>
#include <QPalette>

#include <cstdint>

namespace vantrel {

enum class ColorRole : std::uint8_t { primary, secondary, tertiary, accent, orange, green, red };

namespace ViewColors {

QColor color(ColorRole role, const QPalette& palette);
// The role's colour at the given opacity (fills and borders).
QColor color(ColorRole role, const QPalette& palette, double opacity);
// "color: #rrggbb" for a style sheet of one widget.
QString styleSheet(ColorRole role, const QPalette& palette);

} // namespace ViewColors
} // namespace vantrel
