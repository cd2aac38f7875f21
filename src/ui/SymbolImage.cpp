#include "ui/SymbolImage.h"

#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <cmath>

#include "Support/FatalError.h"

static void initialiseUiResources() { Q_INIT_RESOURCE(vesh_ui); }

namespace vesh {

namespace {

QString resourcePath(const QString& name) {
    initialiseUiResources();
    return QStringLiteral(":/icons/%1.svg").arg(name);
}

}  // namespace

QPixmap symbolPixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio) {
    const QString key = QStringLiteral("vesh-symbol:%1:%2:%3:%4")
                            .arg(name)
                            .arg(size)
                            .arg(color.rgba(), 8, 16, QLatin1Char('0'))
                            .arg(devicePixelRatio);
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap)) {
        return pixmap;
    }

    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid()) {
        fatalError("missing symbol image " + name.toStdString());
    }
    const int pixels = static_cast<int>(std::ceil(size * devicePixelRatio));
    pixmap = QPixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
        // Keep the shape's coverage, replace its colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

QIcon applicationIcon() { return QIcon(resourcePath(QStringLiteral("org.veshaudio.Vesh"))); }

}  // namespace vesh
