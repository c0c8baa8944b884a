// The window's controls as native Windows controls.
#include "platform/win32/native_controls.h"

#include <algorithm>
#include <stdexcept>

namespace lumrio::platform::win32 {

namespace {

constexpr COLORREF kMagentaKey = RGB(255, 0, 255);

WPARAM AsWParam(int value) {
  return static_cast<WPARAM>(value);
}
LPARAM AsLParam(int value) {
  return static_cast<LPARAM>(value);
}

DWORD TickStyle(TickMarks ticks) {
  switch (ticks) {
    case TickMarks::None:
      return TBS_NOTICKS;
    case TickMarks::TopLeft:
      return TBS_TOP;  // TBS_LEFT on a vertical trackbar
    case TickMarks::BottomRight:
      return TBS_BOTTOM;
  }
  return TBS_BOTTOM;
}

}  // namespace

// ChildWindow ---------------------------------------------------------------

HBRUSH ButtonFace(HDC dc) {
  ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
  return ::GetSysColorBrush(COLOR_BTNFACE);
}

COLORREF TextColor(const std::optional<Color>& color) {
  return color ? ToColorRef(*color) : ::GetSysColor(COLOR_WINDOWTEXT);
}

HBRUSH ChildWindow::OnControlColor(HDC dc) {
  ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
  return ButtonFace(dc);
}

void ChildWindow::Create(const ChildSite& site, const char* windowClass, const std::string& text,
                         DWORD style, DWORD exStyle, const Bounds& bounds, void* createParam) {
  // Overlapping siblings clip each other, so each paints only what is its own.
  window_ = ::CreateWindowExA(
      exStyle, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
      bounds.left, bounds.top, bounds.width, bounds.height, site.container,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(site.id)), site.instance, createParam);
  if (!window_) throw std::runtime_error("Error creating window");
  ::SendMessageA(window_, WM_SETFONT, reinterpret_cast<WPARAM>(site.font), FALSE);
}

void ChildWindow::MoveTo(const Bounds& bounds) {
  ::SetWindowPos(window_, nullptr, bounds.left, bounds.top, bounds.width, bounds.height,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
}

// NativeSlider --------------------------------------------------------------

NativeSlider::NativeSlider(const ChildSite& site, Control* parent, const SliderDesc& desc)
    : Slider(parent, desc) {
  DWORD style = TBS_AUTOTICKS | TBS_FIXEDLENGTH | TickStyle(desc.ticks);
  if (desc.orientation == Orientation::Vertical) style |= TBS_VERT;
  if (desc.tabStop) style |= WS_TABSTOP;
  Create(site, TRACKBAR_CLASSA, "", style, 0, desc.bounds);

  const HWND w = Window();
  ::SendMessageA(w, TBM_SETTHUMBLENGTH, AsWParam(desc.thumbLength), 0);
  ::SendMessageA(w, TBM_SETRANGEMIN, FALSE, AsLParam(desc.min));
  ::SendMessageA(w, TBM_SETRANGEMAX, FALSE, AsLParam(desc.max));
  ::SendMessageA(w, TBM_SETLINESIZE, 0, AsLParam(desc.lineSize));
  ::SendMessageA(w, TBM_SETPAGESIZE, 0, AsLParam(desc.pageSize));
  ::SendMessageA(w, TBM_SETTICFREQ, AsWParam(desc.tickFrequency), 0);
  ::SendMessageA(w, TBM_SETPOS, TRUE, AsLParam(Position()));
  // The subclass is how the slider learns that it has the focus.
  if (!::SetWindowSubclass(w, SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this))) {
    throw std::runtime_error("Error creating window");
  }
  if (!desc.hint.empty()) AddHint(site, desc.hint);
}

NativeSlider::~NativeSlider() {
  if (::IsWindow(Window())) ::RemoveWindowSubclass(Window(), SubclassProc, 0);
}

void NativeSlider::AddHint(const ChildSite& site, const std::string& hint) {
  if (!site.tooltip) return;
  TOOLINFOA tool{};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;  // understood by every common-controls version
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = site.container;
  tool.uId = reinterpret_cast<UINT_PTR>(Window());
  tool.lpszText = const_cast<char*>(hint.c_str());  // copied by the tooltip
  // A hint that cannot be added is simply not shown; the slider works as before.
  ::SendMessageA(site.tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void NativeSlider::ApplyPosition(int position) {
  applying_ = true;
  ::SendMessageA(Window(), TBM_SETPOS, TRUE, AsLParam(position));
  applying_ = false;
}

// Every trackbar notification counts, the closing TB_ENDTRACK included.
void NativeSlider::OnScroll() {
  if (applying_) return;
  NotifyUserChange(static_cast<int>(::SendMessageA(Window(), TBM_GETPOS, 0, 0)));
}

LRESULT CALLBACK NativeSlider::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR id, DWORD_PTR self) {
  if (message == WM_NCDESTROY) ::RemoveWindowSubclass(window, SubclassProc, id);
  const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
  if (message == WM_SETFOCUS) reinterpret_cast<NativeSlider*>(self)->NotifyEnter();
  return result;
}

// NativeCheckBox ------------------------------------------------------------

NativeCheckBox::NativeCheckBox(const ChildSite& site, Control* parent, const CheckBoxDesc& desc)
    : CheckBox(parent, desc) {
  Create(site, "BUTTON", desc.caption, BS_AUTOCHECKBOX | WS_TABSTOP, 0, desc.bounds);
  if (desc.checked) ApplyChecked(true);
}

void NativeCheckBox::OnCommand(WORD code) {
  if (code != BN_CLICKED) return;
  NotifyUserClick(::SendMessageA(Window(), BM_GETCHECK, 0, 0) == BST_CHECKED);
}

// BM_SETCHECK does not send BN_CLICKED, so code changes never echo back.
void NativeCheckBox::ApplyChecked(bool checked) {
  ::SendMessageA(Window(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// NativeGroupBox ------------------------------------------------------------

NativeGroupBox::NativeGroupBox(const ChildSite& site, Control* parent, const GroupBoxDesc& desc,
                               HWND forwardTo)
    : GroupBox(parent, desc), forwardTo_(forwardTo) {
  // WS_EX_CONTROLPARENT lets the dialog keys move into the box's children.
  // It clips its children: its own painting must not cover them.
  Create(site, "BUTTON", desc.caption, BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT,
         desc.bounds);
  // Without the subclass its children's notifications would never arrive.
  if (!::SetWindowSubclass(Window(), SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this))) {
    throw std::runtime_error("Error creating window");
  }
}

HBRUSH NativeGroupBox::OnControlColor(HDC dc) {
  ::SetTextColor(dc, TextColor(Desc().color));
  return ButtonFace(dc);
}

NativeGroupBox::~NativeGroupBox() {
  if (::IsWindow(Window())) ::RemoveWindowSubclass(Window(), SubclassProc, 0);
}

LRESULT NativeGroupBox::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = Window();
  switch (message) {
    case WM_COMMAND:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ::SendMessageA(forwardTo_, message, wParam, lParam);
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wParam) != window) {
        return ::SendMessageA(forwardTo_, message, wParam, lParam);
      }
      break;
    case WM_ERASEBKGND: {
      // The group box button leaves its inside unpainted.
      RECT r{};
      ::GetClientRect(window, &r);
      ::FillRect(reinterpret_cast<HDC>(wParam), &r, ::GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    case WM_PAINT: {
      const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
      if (onPainted) {
        WindowDc dc(window, DCX_CACHE | DCX_CLIPCHILDREN | DCX_CLIPSIBLINGS);
        if (dc) onPainted(dc.Get());
      }
      return result;
    }
    default:
      break;
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK NativeGroupBox::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam, UINT_PTR id, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    ::RemoveWindowSubclass(window, SubclassProc, id);
    return ::DefSubclassProc(window, message, wParam, lParam);
  }
  return reinterpret_cast<NativeGroupBox*>(self)->Handle(message, wParam, lParam);
}

// NativePaintBox ------------------------------------------------------------

bool NativePaintBox::RegisterClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  // A DC of its own: the box is drawn after every block, and a private DC
  // spares fetching and setting up a common one each time.
  windowClass.style = CS_OWNDC;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kClassName;
  return ::RegisterClassA(&windowClass) != 0;
}

NativePaintBox::NativePaintBox(const ChildSite& site, Control* parent, Bounds bounds)
    : PaintBox(parent, bounds), font_(site.font) {
  Create(site, kClassName, "", 0, 0, bounds, this);
}

void NativePaintBox::Draw(const std::function<void(Canvas&)>& draw) {
  if (paintCanvas_) {
    draw(*paintCanvas_);
    return;
  }
  if (!::IsWindow(Window())) return;
  WindowDc dc(Window());
  if (!dc) return;
  GdiCanvas canvas(dc.Get(), font_, &gdiCache_);
  draw(canvas);
}

void NativePaintBox::Paint() {
  PaintDc dc(Window());
  if (!dc) return;
  GdiCanvas canvas(dc.Get(), font_, &gdiCache_);
  paintCanvas_ = &canvas;
  if (onPaint) onPaint();
  paintCanvas_ = nullptr;
}

LRESULT CALLBACK NativePaintBox::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<NativePaintBox*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint handler covers the box
    case WM_PAINT:
      if (self && self->Window() == window) {
        self->Paint();
        return 0;
      }
      break;
    case WM_NCDESTROY:
      ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

// Graphics ------------------------------------------------------------------

ShapeGraphic::ShapeGraphic(const ShapeDesc& desc)
    : rect_{desc.bounds.left, desc.bounds.top, desc.bounds.left + desc.bounds.width,
            desc.bounds.top + desc.bounds.height},
      brush_(::CreateSolidBrush(ToColorRef(desc.fill))) {}

void ShapeGraphic::Paint(HDC dc) const {
  if (brush_) ::FillRect(dc, &rect_, brush_.Get());
}

PictureGraphic::PictureGraphic(HINSTANCE instance, const PictureDesc& desc)
    : bounds_(desc.bounds),
      image_(static_cast<HBITMAP>(::LoadImageA(instance, MAKEINTRESOURCEA(desc.resourceId),
                                               IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR))) {
  if (image_) MakeMask();
}

// The classic two-blit transparency: a monochrome mask of the key colour,
// and the image with its key pixels blackened so that it can be ORed in.
void PictureGraphic::MakeMask() {
  BITMAP info{};
  if (!::GetObjectA(image_.Get(), sizeof info, &info)) return;
  Bitmap mask(::CreateBitmap(info.bmWidth, info.bmHeight, 1, 1, nullptr));
  MemoryDc imageDc(nullptr);
  MemoryDc maskDc(nullptr);
  if (!mask || !imageDc || !maskDc) return;
  SelectGuard selectImage(imageDc.Get(), image_.Get());
  SelectGuard selectMask(maskDc.Get(), mask.Get());
  ::SetBkColor(imageDc.Get(), kMagentaKey);
  ::BitBlt(maskDc.Get(), 0, 0, info.bmWidth, info.bmHeight, imageDc.Get(), 0, 0, SRCCOPY);
  ::SetBkColor(imageDc.Get(), RGB(0, 0, 0));
  ::SetTextColor(imageDc.Get(), RGB(255, 255, 255));
  ::BitBlt(imageDc.Get(), 0, 0, info.bmWidth, info.bmHeight, maskDc.Get(), 0, 0, SRCAND);
  mask_ = std::move(mask);
}

void PictureGraphic::Paint(HDC dc) const {
  if (!image_ || !mask_) return;
  MemoryDc source(dc);
  if (!source) return;
  const int saved = ::SaveDC(dc);
  ::SetBkColor(dc, RGB(255, 255, 255));
  ::SetTextColor(dc, RGB(0, 0, 0));
  {
    SelectGuard select(source.Get(), mask_.Get());
    ::BitBlt(dc, bounds_.left, bounds_.top, bounds_.width, bounds_.height, source.Get(), 0, 0,
             SRCAND);
  }
  {
    SelectGuard select(source.Get(), image_.Get());
    ::BitBlt(dc, bounds_.left, bounds_.top, bounds_.width, bounds_.height, source.Get(), 0, 0,
             SRCPAINT);
  }
  if (saved) ::RestoreDC(dc, saved);
}

}  // namespace lumrio::platform::win32
