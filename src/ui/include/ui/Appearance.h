#pragma once

#include <QColor>
#include <QPalette>

namespace vesh {

// Colours of the window that follow the light or dark palette in use. All are
// derived from the palette, so a change of the system theme (a PaletteChange
// event) only needs a repaint.

// The emphasis levels of label text and line art, from body text to hairlines.
enum class LabelLevel { primary, secondary, tertiary, quaternary };

bool isDark(const QPalette& palette);

// Background of the settings column: slightly darker than the detail pane.
QColor sidebarBackgroundColor(const QPalette& palette);
// Background of the drop area.
QColor detailBackgroundColor(const QPalette& palette);
// The window text colour at the opacity of the given level.
QColor labelColor(const QPalette& palette, LabelLevel level);
// A colour at the given opacity, on top of its own alpha.
QColor withOpacity(QColor color, double opacity);

// The application's palettes for an explicitly chosen colour scheme.
QPalette lightPalette();
QPalette darkPalette();

}  // namespace vesh
