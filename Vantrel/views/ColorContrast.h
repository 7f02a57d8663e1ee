#pragma once
// Contrast of text against what it is drawn on, as WCAG 2 measures it, and text colours made to keep
// enough of it in light and dark palettes alike (a fixed green that reads well on white falls to
// 2.6:1 on a dark tint of itself).

#include "Vantrel/views/ViewColors.h"

#include <QColor>
#include <QPalette>

namespace vantrel::ColorContrast {

// What WCAG asks of normal and small text.
inline constexpr double minimumTextContrast = 4.5;

// WCAG relative luminance of an opaque colour, 0 (black) to 1 (white).
double relativeLuminance(const QColor& color);
// (L1 + 0.05) / (L2 + 0.05), lighter over darker: 1 to 21.
double contrastRatio(const QColor& first, const QColor& second);
// top painted over an opaque bottom, with top's alpha.
QColor over(const QColor& top, const QColor& bottom);
// color (painted over background) made lighter or darker, whichever the background leaves more
// room for, just until it keeps minimum contrast with it; opaque. Unchanged where it already does.
QColor readableOn(const QColor& color, const QColor& background, double minimum = minimumTextContrast);

// A badge of the colour role: its tint at fillOpacity over the list's base, and its label's colour.
struct BadgeColors {
    QColor fill;        // as painted, with its alpha
    QColor background;  // the fill over the base: what the label is read against
    QColor text;
};
BadgeColors badgeColors(ColorRole role, const QPalette& palette, double fillOpacity);

} // namespace vantrel::ColorContrast
