// Taking the program's shown top-level windows off the screen when it closes.
#include "platform/win32/unhidden_close.h"

namespace lumrio::platform::win32 {

RECT UnmarkVisible(HWND window) {
  RECT area{};
  if (!window || !::IsWindowVisible(window)) return area;
  if (!::GetWindowRect(window, &area)) area = RECT{};
  const LONG_PTR style = ::GetWindowLongPtrA(window, GWL_STYLE);
  ::SetWindowLongPtrA(window, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_VISIBLE));
  return area;
}

void RepaintUncovered(const RECT& area) {
  if (::IsRectEmpty(&area)) return;
  // No window given: the desktop, with every top-level window over the area.
  ::RedrawWindow(nullptr, &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

}  // namespace lumrio::platform::win32
