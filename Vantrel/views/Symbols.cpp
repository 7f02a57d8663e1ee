#include "Vantrel/views/Symbols.h"

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

// Resources of a static library are registered by hand; Q_INIT_RESOURCE must be called outside
// any namespace.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace vantrel::Symbols {
namespace {

QString pathOf(const QString& name) {
    static const bool registered = (initSymbolResources(), true);
    (void)registered;
    return QStringLiteral(":/symbols/%1.svg").arg(name);
}

} // namespace

bool exists(const QString& name) { return QFile::exists(pathOf(name)); }

QPixmap pixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio) {
    // Rows draw the same few symbols at every paint: each is rendered once per size and colour.
    const QString key = QStringLiteral("vantrel-symbol:%1:%2:%3:%4").arg(name).arg(size).arg(color.rgba()).arg(devicePixelRatio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached)) return cached;
    QSvgRenderer renderer(pathOf(name));
    if (!renderer.isValid() || size <= 0) return {};
    const int pixels = qRound(size * devicePixelRatio);
    QImage image(pixels, pixels, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }
    // The files draw in black, with white details inside filled shapes: black takes the colour, white
    // becomes a hole, so a symbol reads the same on any background.
    for (int y = 0; y < pixels; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < pixels; ++x) {
            const int coverage = qAlpha(line[x]) * (255 - qGray(line[x])) / 255;
            line[x] = qRgba(color.red(), color.green(), color.blue(), coverage * color.alpha() / 255);
        }
    }
    QPixmap result = QPixmap::fromImage(image);
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
    return result;
}

QIcon icon(const QString& name, int size, const QColor& color) {
    QIcon result;
    result.addPixmap(pixmap(name, size, color, 1.0));
    result.addPixmap(pixmap(name, size, color, 2.0));
    return result;
}

void apply(QLabel* label, const QString& name, int size, const QColor& color) {
    label->setPixmap(pixmap(name, size, color, label->devicePixelRatioF()));
    label->setProperty(propertyName, name);
}

void apply(QAbstractButton* button, const QString& name, int size, const QColor& color) {
    button->setIcon(icon(name, size, color));
    button->setIconSize(QSize(size, size));
    button->setProperty(propertyName, name);
}

} // namespace vantrel::Symbols
