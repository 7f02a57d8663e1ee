#pragma once
// The look the sheets share: their title, secondary and warning texts, status markers and the icons
// named by symbol. A widget that shows a symbol keeps its name in the property "symbolName", so that
// tests read the mapping without pixels.

#include <QColor>
#include <QIcon>
#include <QString>

class QLabel;
class QWidget;

namespace vantrel::SheetStyle {

inline constexpr char symbolProperty[] = "symbolName";

// An icon for a symbol name ("checkmark.circle.fill", "exclamationmark.triangle.fill", ...), from the
// desktop's icon theme with the style's own icons as fallback.
QIcon symbolIcon(const QString& symbol);

QColor warningColour();
QColor successColour();
QColor secondaryColour(const QWidget& widget);

// Plain text labels: nothing the sheets show is read as markup.
QLabel* titleLabel(const QString& text, QWidget* parent);
QLabel* wrappingLabel(const QString& text, QWidget* parent);
void setForeground(QWidget& widget, const QColor& colour);
// Scales the widget's font by the factor, optionally bold or at a weight.
void setFontScale(QWidget& widget, double factor, int weight = -1);

} // namespace vantrel::SheetStyle
