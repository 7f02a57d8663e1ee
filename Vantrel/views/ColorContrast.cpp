#include "Vantrel/views/ColorContrast.h"

#include <algorithm>
#include <cmath>

namespace vantrel::ColorContrast {

namespace {

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

QColor mixed(const QColor& from, const QColor& to, double amount) {
    const auto channel = [amount](double a, double b) { return a + (b - a) * amount; };
    return QColor::fromRgbF(static_cast<float>(channel(from.redF(), to.redF())),
                            static_cast<float>(channel(from.greenF(), to.greenF())),
                            static_cast<float>(channel(from.blueF(), to.blueF())));
}

} // namespace

double relativeLuminance(const QColor& color) {
    const QColor rgb = color.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

double contrastRatio(const QColor& first, const QColor& second) {
    const double a = relativeLuminance(first);
    const double b = relativeLuminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor over(const QColor& top, const QColor& bottom) {
    QColor opaqueTop = top.toRgb();
    const double alpha = opaqueTop.alphaF();
    opaqueTop.setAlphaF(1.0f);
    return mixed(bottom.toRgb(), opaqueTop, alpha);
}

QColor readableOn(const QColor& color, const QColor& background, double minimum) {
    const QColor start = over(color, background);
    if (contrastRatio(start, background) >= minimum) return start;
    // Toward white on a dark background, toward black on a light one: the way with more room.
    const QColor white(Qt::white);
    const QColor black(Qt::black);
    const QColor target = contrastRatio(white, background) >= contrastRatio(black, background) ? white : black;
    // The least mixing that keeps the hue recognisable and the contrast sufficient.
    double low = 0.0;
    double high = 1.0;
    for (int step = 0; step < 24; ++step) {
        const double middle = (low + high) / 2;
        if (contrastRatio(mixed(start, target, middle), background) >= minimum) high = middle;
        else low = middle;
    }
    return mixed(start, target, high);
}

BadgeColors badgeColors(ColorRole role, const QPalette& palette, double fillOpacity) {
    BadgeColors colors;
    colors.fill = ViewColors::color(role, palette, fillOpacity);
    colors.background = over(colors.fill, palette.color(QPalette::Base));
    colors.text = readableOn(ViewColors::color(role, palette), colors.background);
    return colors;
}

} // namespace vantrel::ColorContrast
