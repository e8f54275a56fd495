// Where a window opens: over the window it is opened from (else the middle
// of the screen under the pointer), moved and if need be shrunk so that it
// lies fully on that screen. Placing it ourselves keeps the window manager's
// own placement, which may leave part of a window off the screen, out of it.
// GUI thread only.
#pragma once

#include <vector>

class QWidget;

namespace platform {

// Call before showing `window`. A visible window, or a hidden one shown
// before whose frame is still on a screen, stays where it is.
void placeOnScreen(QWidget* window, const QWidget* openedFrom);

// placeOnScreen over the active window, then show, raise and activate.
void showOnScreen(QWidget* window);

// Call after placeOnScreen, before showing: while `window` would open where
// one of `others` (visible windows of its kind) stands, it moves a title
// bar's height right and down, and shrinks to stay fully on the screen;
// where it cannot shrink enough it starts again at the screen's top left.
void cascadeOnScreen(QWidget* window, const std::vector<const QWidget*>& others);

}  // namespace platform
