#pragma once
// The named symbols the views show ("photo", "sdcard.fill"), drawn from the SVGs in the program's
// resources in any colour. A widget that shows one keeps its name in the property "symbolName", so
// tests read which symbol is shown without looking at pixels.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

class QLabel;
class QAbstractButton;

namespace vantrel::Symbols {

inline constexpr char propertyName[] = "symbolName";

// The symbol at size × size device-independent pixels; an unknown name gives an empty pixmap.
QPixmap pixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio = 1.0);
QIcon icon(const QString& name, int size, const QColor& color);
bool exists(const QString& name);
// Shows the symbol on the label (or button) and records its name.
void apply(QLabel* label, const QString& name, int size, const QColor& color);
void apply(QAbstractButton* button, const QString& name, int size, const QColor& color);

} // namespace vantrel::Symbols
