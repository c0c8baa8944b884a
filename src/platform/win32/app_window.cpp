// The application's own window: the task-bar button and the main window's
// owner.
#include "platform/win32/app_window.h"

namespace lumrio::platform::win32 {

namespace {

// Shown, it gives the task bar its button; a minimise box lets that button
// minimise the program, which hides the main window with it.
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS;
constexpr UINT kActivateMain = WM_APP + 1;

}  // namespace

bool ApplicationWindow::RegisterClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kClassName;
  return ::RegisterClassA(&windowClass) != 0;
}

ApplicationWindow::ApplicationWindow(HINSTANCE instance, const std::string& title) {
  window_ = ::CreateWindowExA(
      0, kClassName, title.c_str(), kStyle, ::GetSystemMetrics(SM_CXSCREEN) / 2,
      ::GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, nullptr, instance, this);
}

ApplicationWindow::~ApplicationWindow() {
  if (window_) ::DestroyWindow(window_);
}

void ApplicationWindow::SetTitle(const std::string& title) {
  if (window_) ::SetWindowTextA(window_, title.c_str());
}

// Whatever the user last worked in: the main window, or a box it shows.
void ApplicationWindow::ActivateMain() const {
  if (!::IsWindow(main_) || !::IsWindowVisible(main_)) return;
  const HWND target = ::GetLastActivePopup(main_);
  if (::IsWindowEnabled(target)) ::SetForegroundWindow(target);
}

LRESULT ApplicationWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      // Activation is passed on once this one is complete.
      if (LOWORD(wParam) != WA_INACTIVE) ::PostMessageA(window_, kActivateMain, 0, 0);
      return 0;
    case kActivateMain:
      ActivateMain();
      return 0;
    case WM_CLOSE:
      // "Close window" on the task-bar button closes the program as its
      // close box does.
      if (::IsWindow(main_)) ::PostMessageA(main_, WM_CLOSE, 0, 0);
      return 0;
    case WM_NCDESTROY: {
      const HWND window = window_;
      window_ = nullptr;
      return ::DefWindowProcA(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return ::DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK ApplicationWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* self = static_cast<ApplicationWindow*>(create->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<ApplicationWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  return self->OnMessage(message, wParam, lParam);
}

}  // namespace lumrio::platform::win32
