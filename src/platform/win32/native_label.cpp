// Labels as native static controls: text in their own colour, a click on
// release, and transparency over what their container paints.
#include <algorithm>
#include <stdexcept>

#include "platform/win32/native_controls.h"

namespace lumrio::platform::win32 {

namespace {

DWORD AlignStyle(TextAlign align) {
  switch (align) {
    case TextAlign::Left:
      return SS_LEFTNOWORDWRAP;
    case TextAlign::Center:
      return SS_CENTER;
    case TextAlign::Right:
      return SS_RIGHT;
  }
  return SS_LEFTNOWORDWRAP;
}

}  // namespace

NativeLabel::NativeLabel(const ChildSite& site, Control* parent, const LabelDesc& desc)
    : Label(parent, desc) {
  // SS_NOTIFY: without it a static control lets the mouse through.
  Create(site, "STATIC", desc.caption, SS_NOTIFY | AlignStyle(desc.align), 0, desc.bounds);
  font_ = site.font;
  if (desc.underline && site.fontDesc) {
    FontDesc underlined = *site.fontDesc;
    underlined.underline = true;
    underlined_ = CreateFontFrom(underlined);
    if (underlined_) {
      font_ = underlined_.Get();
      ::SendMessageA(Window(), WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
  }
  if (!::SetWindowSubclass(Window(), SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this))) {
    throw std::runtime_error("Error creating window");
  }
  FitToText(desc.caption);
}

NativeLabel::~NativeLabel() {
  if (::IsWindow(Window())) ::RemoveWindowSubclass(Window(), SubclassProc, 0);
}

HBRUSH NativeLabel::OnControlColor(HDC dc) {
  ::SetTextColor(dc, TextColor(Desc().color));
  if (!Desc().transparent) return ButtonFace(dc);
  ::SetBkMode(dc, TRANSPARENT);
  return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

bool NativeLabel::OnSetCursor() {
  if (!Desc().handCursor) return false;
  ::SetCursor(::LoadCursorA(nullptr, IDC_HAND));
  return true;
}

void NativeLabel::ApplyCaption(const std::string& caption) {
  ::SetWindowTextA(Window(), caption.c_str());
  FitToText(caption);
}

// A click is a press and a release over the label, as on a button: a press
// that is dragged off the label and released elsewhere opens nothing.
LRESULT NativeLabel::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = Window();
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      pressed_ = true;
      ::SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      if (pressed_) {
        pressed_ = false;
        ::ReleaseCapture();
        if (Over(lParam) && onClick) onClick();
      }
      return 0;
    case WM_CAPTURECHANGED:
      pressed_ = false;
      break;
    case WM_ERASEBKGND:
      if (Desc().transparent) {
        EraseToContainer(reinterpret_cast<HDC>(wParam));
        return 1;
      }
      break;
    default:
      break;
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

bool NativeLabel::Over(LPARAM lParam) const {
  RECT client{};
  ::GetClientRect(Window(), &client);
  const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  return ::PtInRect(&client, at) != 0;
}

// The container clips its children, so it never paints under a transparent
// label: the label draws what lies there itself (the button face and the
// container's shapes and pictures) before its text goes on top.
void NativeLabel::EraseToContainer(HDC dc) const {
  RECT client{};
  ::GetClientRect(Window(), &client);
  ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
  if (!paintBehind) return;
  POINT origin{0, 0};
  ::MapWindowPoints(Window(), ::GetParent(Window()), &origin, 1);
  POINT old{};
  if (!::SetViewportOrgEx(dc, -origin.x, -origin.y, &old)) return;
  paintBehind(dc);
  ::SetViewportOrgEx(dc, old.x, old.y, nullptr);
}

LRESULT CALLBACK NativeLabel::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    ::RemoveWindowSubclass(window, SubclassProc, id);
    return ::DefSubclassProc(window, message, wParam, lParam);
  }
  return reinterpret_cast<NativeLabel*>(self)->Handle(message, wParam, lParam);
}

// Labels size themselves to their text, like the toolkit's auto-sized
// labels: they only grow, around the edge or centre their alignment names.
void NativeLabel::FitToText(const std::string& caption) {
  const Bounds& desc = Desc().bounds;
  WindowDc dc(Window());
  if (!dc) return;
  SelectGuard font(dc.Get(), font_);
  SIZE size{};
  if (!::GetTextExtentPoint32A(dc.Get(), caption.c_str(), static_cast<int>(caption.size()),
                               &size)) {
    return;
  }
  Bounds fitted = desc;
  fitted.width = std::max(desc.width, static_cast<int>(size.cx));
  const int growth = fitted.width - desc.width;
  if (Desc().align == TextAlign::Right) fitted.left -= growth;
  if (Desc().align == TextAlign::Center) fitted.left -= growth / 2;
  MoveTo(fitted);
  // Moving copies the old text along; the new one must be drawn in full.
  ::InvalidateRect(Window(), nullptr, TRUE);
}

}  // namespace lumrio::platform::win32
