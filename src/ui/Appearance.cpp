#include "ui/Appearance.h"

#include <QStyle>
#include <QStyleFactory>

#include <memory>

namespace vesh {

namespace {

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

}  // namespace

bool isDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor sidebarBackgroundColor(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    return mix(window, Qt::black, isDark(palette) ? 0.16 : 0.035);
}

QColor detailBackgroundColor(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    return isDark(palette) ? window : mix(window, palette.color(QPalette::Base), 0.7);
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

QColor labelColor(const QPalette& palette, LabelLevel level) {
    const QColor text = palette.color(QPalette::WindowText);
    const bool dark = isDark(palette);
    switch (level) {
    case LabelLevel::primary: return text;
    case LabelLevel::secondary: return withOpacity(text, dark ? 0.55 : 0.5);
    case LabelLevel::tertiary: return withOpacity(text, dark ? 0.25 : 0.26);
    case LabelLevel::quaternary: return withOpacity(text, 0.1);
    }
    return text;
}

QPalette lightPalette() {
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette = fusion->standardPalette();
    palette.setColor(QPalette::Window, QColor(0xec, 0xec, 0xec));
    palette.setColor(QPalette::Button, QColor(0xf6, 0xf6, 0xf6));
    // The accent colour for enabled controls; disabled ones keep Fusion's grey.
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, QColor(0x1f, 0x6f, 0xe5));
        palette.setColor(group, QPalette::Link, QColor(0x1f, 0x6f, 0xe5));
    }
    return palette;
}

QPalette darkPalette() {
    const QColor window(0x2c, 0x2c, 0x2e);
    const QColor text(0xe8, 0xe8, 0xea);
    const QColor disabledText(0x7c, 0x7c, 0x80);
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
    palette.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x28));
    palette.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3c));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8a, 0x8e));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3b, 0x3b, 0x3e));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, QColor(0xff, 0x45, 0x3a));
    palette.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4d));
    palette.setColor(QPalette::Midlight, QColor(0x3e, 0x3e, 0x41));
    palette.setColor(QPalette::Mid, QColor(0x25, 0x25, 0x27));
    palette.setColor(QPalette::Dark, QColor(0x1b, 0x1b, 0x1d));
    palette.setColor(QPalette::Shadow, QColor(0x0a, 0x0a, 0x0a));
    palette.setColor(QPalette::Highlight, QColor(0x2f, 0x7c, 0xf6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x5a, 0xa0, 0xff));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Disabled, role, disabledText);
    }
    palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x4a, 0x4a, 0x4d));
    palette.setColor(QPalette::Disabled, QPalette::Button, QColor(0x33, 0x33, 0x36));
    return palette;
}

}  // namespace vesh
