#pragma once

namespace vesh {

// Describes the window's own widgets to assistive technology where Qt cannot
// tell their role from their base class: the drop area (a group named "Drop
// area" whose description is the status shown), read-only texts, the progress
// bar with its fraction and the busy spinner. Registers a factory with Qt's
// accessibility framework; calling it again does nothing. Call before the
// first window is created, so that no widget is described without it.
void installAccessibleInterfaces();

}  // namespace vesh
