// Taking the program's shown top-level windows off the screen when it closes,
// without the hide that DestroyWindow would otherwise do first.
#pragma once

#include "platform/win32/win.h"

namespace lumrio::platform::win32 {

// Marks a shown top-level window that is about to be destroyed as no longer
// visible, without hiding it, and answers the screen area it covered (empty
// if it was not shown). DestroyWindow then removes it from the screen
// without a hide of its own.
//
// The hide is what costs: Wine's X11 driver withdraws a hidden window only
// once the window manager has taken it up, and waits up to 2 s for that; on
// a desktop with no window manager every shown top-level window cost its
// full 2 s, and a close took over 4 s. A window destroyed while not marked
// visible goes with its X window at once.
RECT UnmarkVisible(HWND window);

// Repaints what lay under a window taken off the screen this way, once it
// has been destroyed: the system never hid it, so it does not know that
// what was under it is uncovered.
void RepaintUncovered(const RECT& area);

}  // namespace lumrio::platform::win32
