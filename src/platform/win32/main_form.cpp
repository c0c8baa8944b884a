// The program's window.
#include "platform/win32/main_form.h"

#include <stdexcept>
#include <utility>

#include "platform/win32/unhidden_close.h"

namespace lumrio::platform::win32 {
namespace {

// No sizing, no minimise or maximise; it clips its children, so that its own
// painting never covers them.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;

RECT ToRect(const Bounds& b) {
  return RECT{b.left, b.top, b.left + b.width, b.top + b.height};
}

}  // namespace

// FormTimer -----------------------------------------------------------------

FormTimer::FormTimer(HWND owner, UINT_PTR id, int intervalMs)
    : owner_(owner), id_(id), interval_(intervalMs) {}

void FormTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  if (enabled) {
    Start();
  } else {
    ::KillTimer(owner_, id_);
    enabled_ = false;
  }
}

void FormTimer::SetInterval(int milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  if (enabled_) Start();  // SetTimer on a running id restarts its countdown
}

void FormTimer::Start() {
  const UINT elapse = interval_ > 0 ? static_cast<UINT>(interval_) : USER_TIMER_MINIMUM;
  enabled_ = ::SetTimer(owner_, id_, elapse, nullptr) != 0;
}

void FormTimer::Fire() {
  if (enabled_ && onTimer) onTimer();
}

// MainForm: creation --------------------------------------------------------

bool MainForm::RegisterClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kClassName;
  return ::RegisterClassA(&windowClass) != 0;
}

MainForm::MainForm(HINSTANCE instance, const FormDesc& desc, HWND owner)
    : instance_(instance), desc_(desc), font_(CreateFontFrom(desc.font)) {
  RECT frame{0, 0, desc.clientWidth, desc.clientHeight};
  if (!::AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle)) {
    throw std::runtime_error("Error creating window");
  }
  window_ = ::CreateWindowExA(kFormExStyle, kClassName, desc.caption.c_str(), kFormStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                              frame.bottom - frame.top, owner, nullptr, instance, this);
  if (!window_) throw std::runtime_error("Error creating window");
  SetIcons(desc.iconResourceId);
  RemoveSizingFromSystemMenu();
  CreateTooltip();
}

MainForm::~MainForm() {
  // The program may already be gone: tear down without calling back into it.
  destroyingObject_ = true;
  if (window_) ::DestroyWindow(window_);
}

WindowHandle MainForm::Handle() const {
  return reinterpret_cast<WindowHandle>(window_);
}

void MainForm::SetIcons(int resourceId) {
  if (resourceId == 0) return;
  const LPCSTR name = MAKEINTRESOURCEA(resourceId);
  // Shared icons: the system frees them with the module.
  const auto big =
      static_cast<HICON>(::LoadImageA(instance_, name, IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                      ::GetSystemMetrics(SM_CYICON), LR_SHARED));
  const auto small =
      static_cast<HICON>(::LoadImageA(instance_, name, IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                      ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  // The owner, the application's window, shows them on the task bar.
  for (const HWND window : {window_, ::GetWindow(window_, GW_OWNER)}) {
    if (!window) continue;
    if (big) ::SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (small) ::SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }
}

// Like a dialog's: the system menu offers only Move and Close.
void MainForm::RemoveSizingFromSystemMenu() {
  const HMENU menu = ::GetSystemMenu(window_, FALSE);
  if (!menu) return;
  for (const UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    ::DeleteMenu(menu, command, MF_BYCOMMAND);
  }
}

void MainForm::CreateTooltip() {
  tooltip_ =
      ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  // Without a tooltip the sliders simply have no hints.
  if (tooltip_) ::SendMessageA(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
}

// MainForm: controls --------------------------------------------------------

HWND MainForm::ContainerOf(const Control* parent) const {
  if (!parent) return window_;
  const auto found = windowOf_.find(parent);
  return found != windowOf_.end() ? found->second : window_;
}

ChildWindow* MainForm::ChildOf(HWND window) const {
  const auto found = byWindow_.find(window);
  return found != byWindow_.end() ? found->second : nullptr;
}

ChildSite MainForm::SiteIn(const Control* parent) {
  return ChildSite{instance_, ContainerOf(parent), tooltip_, font_.Get(), &desc_.font, nextId_++};
}

// Tab order is z-order among siblings: put the window behind the last
// sibling whose tab order is not greater.
void MainForm::PlaceInTabOrder(HWND container, HWND window, int tabOrder) {
  HWND after = HWND_TOP;
  for (const TabEntry& entry : tabOrder_) {
    if (entry.container == container && entry.order <= tabOrder) after = entry.window;
  }
  ::SetWindowPos(window, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  tabOrder_.push_back(TabEntry{container, tabOrder, window});
}

Slider* MainForm::AddSlider(Control* parent, const SliderDesc& desc) {
  NativeSlider* slider = Adopt(std::make_unique<NativeSlider>(SiteIn(parent), parent, desc));
  PlaceInTabOrder(ContainerOf(parent), slider->Window(), desc.tabOrder);
  return slider;
}

CheckBox* MainForm::AddCheckBox(Control* parent, const CheckBoxDesc& desc) {
  NativeCheckBox* box = Adopt(std::make_unique<NativeCheckBox>(SiteIn(parent), parent, desc));
  PlaceInTabOrder(ContainerOf(parent), box->Window(), desc.tabOrder);
  RaiseOverOverlapped(ContainerOf(parent), box->Window());
  return box;
}

// A control laid over others ("Equalizer" over the tops of the band sliders)
// lies on top: siblings clip each other, and the one below must not cover
// its text. Tabbing then reaches it first in its container, which costs
// nothing here: the sliders it overlaps give the focus straight back.
void MainForm::RaiseOverOverlapped(HWND container, HWND window) {
  RECT mine{};
  if (!::GetWindowRect(window, &mine)) return;
  for (const TabEntry& entry : tabOrder_) {
    RECT theirs{};
    RECT common{};
    if (entry.container != container || entry.window == window) continue;
    if (!::GetWindowRect(entry.window, &theirs) || !::IntersectRect(&common, &mine, &theirs)) {
      continue;
    }
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return;
  }
}

Label* MainForm::AddLabel(Control* parent, const LabelDesc& desc) {
  NativeLabel* label = Adopt(std::make_unique<NativeLabel>(SiteIn(parent), parent, desc));
  const HWND container = ContainerOf(parent);
  label->paintBehind = [this, container](HDC dc) { PaintGraphics(container, dc); };
  // Shown before the paint that covers it, it must draw what lies under it.
  ::InvalidateRect(label->Window(), nullptr, TRUE);
  return label;
}

GroupBox* MainForm::AddGroupBox(Control* parent, const GroupBoxDesc& desc) {
  NativeGroupBox* box =
      Adopt(std::make_unique<NativeGroupBox>(SiteIn(parent), parent, desc, window_));
  const HWND boxWindow = box->Window();
  box->onPainted = [this, boxWindow](HDC dc) { PaintGraphics(boxWindow, dc); };
  PlaceInTabOrder(ContainerOf(parent), boxWindow, desc.tabOrder);
  return box;
}

PaintBox* MainForm::AddPaintBox(Control* parent, Bounds bounds) {
  return Adopt(std::make_unique<NativePaintBox>(SiteIn(parent), parent, bounds));
}

void MainForm::AddShape(Control* parent, const ShapeDesc& desc) {
  AddGraphic(parent, std::make_unique<ShapeGraphic>(desc), desc.bounds);
}

void MainForm::AddPicture(Control* parent, const PictureDesc& desc) {
  AddGraphic(parent, std::make_unique<PictureGraphic>(instance_, desc), desc.bounds);
}

void MainForm::AddGraphic(const Control* parent, std::unique_ptr<Graphic> graphic,
                          const Bounds& bounds) {
  const HWND container = ContainerOf(parent);
  graphics_.emplace_back(container, std::move(graphic));
  const RECT area = ToRect(bounds);
  ::InvalidateRect(container, &area, TRUE);
}

void MainForm::PaintGraphics(HWND container, HDC dc) const {
  for (const auto& [owner, graphic] : graphics_) {
    if (owner == container) graphic->Paint(dc);
  }
}

Timer* MainForm::AddTimer(int intervalMs, bool enabled) {
  const auto id = static_cast<UINT_PTR>(timers_.size() + 1);
  timers_.push_back(std::make_unique<FormTimer>(window_, id, intervalMs));
  timers_.back()->SetEnabled(enabled);
  return timers_.back().get();
}

void MainForm::OnTimer(UINT_PTR id) {
  if (id == 0 || id > timers_.size()) return;
  timers_[id - 1]->Fire();
}

// MainForm: behaviour -------------------------------------------------------

void MainForm::Defocus(Control& control) {
  const auto found = windowOf_.find(&control);
  if (found == windowOf_.end()) return;
  const HWND window = found->second;
  const HWND focus = ::GetFocus();
  if (focus && (focus == window || ::IsChild(window, focus))) {
    ::SetFocus(ContainerOf(control.Parent()));
  }
}

void MainForm::Show() {
  if (!window_) return;
  RECT frame{};
  if (::GetWindowRect(window_, &frame)) {
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The owner, the application's window, has no size: shown, it gives the
  // program its task-bar button.
  if (const HWND owner = ::GetWindow(window_, GW_OWNER)) ::ShowWindow(owner, SW_SHOWNOACTIVATE);
  ::ShowWindow(window_, SW_SHOW);
  ::UpdateWindow(window_);
}

// A close asked for while the query of another is still running (it may
// pump messages for a while) is part of that one. A query that answers false
// puts the close off; the program asks again when it is ready.
void MainForm::Close() {
  if (closing_ || !window_) return;
  closing_ = true;
  const bool allowed = !onCloseQuery || onCloseQuery();
  closing_ = false;
  if (allowed && window_) DestroyShown();
}

// The application's window stands for this one on the task bar and goes off
// the screen with it; the object that made it destroys it later.
void MainForm::DestroyShown() {
  UnmarkVisible(::GetWindow(window_, GW_OWNER));
  const RECT area = UnmarkVisible(window_);
  ::DestroyWindow(window_);
  RepaintUncovered(area);
}

// Posted, the close runs from the message loop once the handler that asked
// for it (and anything it was called from) has returned.
void MainForm::PostClose() {
  if (window_) ::PostMessageA(window_, WM_CLOSE, 0, 0);
}

void MainForm::Paint() {
  PaintDc dc(window_);
  if (dc) PaintGraphics(window_, dc.Get());
}

LRESULT MainForm::OnControlColor(HDC dc, HWND child) {
  if (ChildWindow* control = ChildOf(child)) {
    return reinterpret_cast<LRESULT>(control->OnControlColor(dc));
  }
  ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
  ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT MainForm::OnSetCursor(WPARAM wParam, LPARAM lParam) {
  const auto target = reinterpret_cast<HWND>(wParam);
  if (target == window_) return ::DefWindowProcA(window_, WM_SETCURSOR, wParam, lParam);
  ChildWindow* control = ChildOf(target);
  return control && control->OnSetCursor() ? TRUE : FALSE;
}

LRESULT MainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_HSCROLL:
    case WM_VSCROLL:
      if (ChildWindow* control = ChildOf(reinterpret_cast<HWND>(lParam))) control->OnScroll();
      return 0;
    case WM_COMMAND:
      if (ChildWindow* control = ChildOf(reinterpret_cast<HWND>(lParam))) {
        control->OnCommand(HIWORD(wParam));
      }
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return OnControlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_SETCURSOR:
      return OnSetCursor(wParam, lParam);
    case WM_PAINT:
      Paint();
      return 0;
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case MM_WIM_DATA:
      if (onWaveInData) onWaveInData(reinterpret_cast<WaveHeader*>(lParam));
      return 0;
    case MM_WOM_DONE:
      if (onWaveOutDone) onWaveOutDone(reinterpret_cast<WaveHeader*>(lParam));
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The process ends after this returns: what a close keeps is kept now.
      if (wParam && onEndSession) onEndSession();
      return 0;
    case WM_DESTROY:
      // A window torn down by its own object (a failed start-up, say) ends
      // nothing: the program may still have a box to show.
      if (!destroyingObject_) {
        if (onDestroy) onDestroy();
        ::PostQuitMessage(0);
      }
      return 0;
    case WM_NCDESTROY: {
      const HWND window = std::exchange(window_, nullptr);
      return ::DefWindowProcA(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return ::DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK MainForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* self = static_cast<MainForm*>(create->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainForm*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  return self->OnMessage(message, wParam, lParam);
}

}  // namespace lumrio::platform::win32
