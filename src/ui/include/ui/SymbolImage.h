#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace vesh {

// The application's symbol images (":/icons/<name>.svg", drawn in black on a
// 24-unit grid) rendered at a size in device-independent pixels and tinted
// with a colour, alpha included. Rendered images are cached.
QPixmap symbolPixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio);

// The application icon, at every size.
QIcon applicationIcon();

}  // namespace vesh
