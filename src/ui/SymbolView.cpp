#include "ui/SymbolView.h"

#include <QPainter>

#include <utility>

#include "ui/SymbolImage.h"

namespace vesh {

namespace {

constexpr double disabledOpacity = 0.45;

void drawSymbol(QWidget& widget, const QString& name, int size, const QColor& color, double opacity) {
    QPainter painter(&widget);
    painter.setOpacity(widget.isEnabled() ? opacity : opacity * disabledOpacity);
    const QPixmap pixmap = symbolPixmap(name, size, color, widget.devicePixelRatioF());
    const QPoint origin((widget.width() - size) / 2, (widget.height() - size) / 2);
    painter.drawPixmap(origin, pixmap);
}

}  // namespace

SymbolView::SymbolView(QString systemName, int symbolSize, LabelLevel level, double opacity, QWidget* parent)
    : QWidget(parent), systemName_(std::move(systemName)), symbolSize_(symbolSize), level_(level), opacity_(opacity) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SymbolView::sizeHint() const { return {symbolSize_, symbolSize_}; }

void SymbolView::paintEvent(QPaintEvent*) {
    drawSymbol(*this, systemName_, symbolSize_, labelColor(palette(), level_), opacity_);
}

SymbolButton::SymbolButton(QString systemName, int symbolSize, QWidget* parent)
    : QAbstractButton(parent), systemName_(std::move(systemName)), symbolSize_(symbolSize) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);
}

QSize SymbolButton::sizeHint() const { return {symbolSize_ + 2, symbolSize_ + 2}; }

void SymbolButton::paintEvent(QPaintEvent*) {
    const LabelLevel level = isDown() ? LabelLevel::primary : LabelLevel::secondary;
    drawSymbol(*this, systemName_, symbolSize_, labelColor(palette(), level), 1.0);
    // A ring in the accent colour shows where the keyboard focus is.
    if (hasFocus()) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(withOpacity(palette().color(QPalette::Highlight), 0.8), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75));
    }
}

}  // namespace vesh
