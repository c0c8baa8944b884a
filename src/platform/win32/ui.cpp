// The application-wide side of the GUI.
#include "platform/win32/ui.h"

#include <algorithm>

#include "platform/win32/main_form.h"
#include "platform/win32/native_controls.h"

namespace lumrio::platform::win32 {

WindowsUi::WindowsUi(HINSTANCE instance) : instance_(instance) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES;  // trackbars and tooltips
  ::InitCommonControlsEx(&controls);
  // Should a registration fail, creating the window fails and says so.
  ApplicationWindow::RegisterClass(instance_);
  MainForm::RegisterClass(instance_);
  NativePaintBox::RegisterClass(instance_);
  // The performance counter never fails on Windows XP and later.
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counterStart_);
  counterMsPerTick_ = 1000.0 / static_cast<double>(frequency.QuadPart);
}

WindowsUi::~WindowsUi() = default;

// Without the application's window the program still runs; its task-bar
// button then shows the main window's caption.
void WindowsUi::SetApplicationTitle(const std::string& title) {
  title_ = title;
  if (application_) {
    application_->SetTitle(title);
  } else {
    application_ = std::make_unique<ApplicationWindow>(instance_, title);
  }
}

std::unique_ptr<Form> WindowsUi::CreateForm(const FormDesc& desc) {
  const HWND owner = application_ ? application_->Window() : nullptr;
  auto form = std::make_unique<MainForm>(instance_, desc, owner);
  if (!::IsWindow(mainWindow_)) {
    mainWindow_ = form->Window();
    if (application_) application_->SetMainWindow(mainWindow_);
  }
  return form;
}

HWND WindowsUi::Owner() const {
  return ::IsWindow(mainWindow_) ? mainWindow_ : nullptr;
}

// The dialog manager gives the window Tab and arrow-key navigation between
// its controls.
void WindowsUi::Dispatch(MSG& message) const {
  const HWND owner = Owner();
  if (owner && ::IsDialogMessageA(owner, &message)) return;
  ::TranslateMessage(&message);
  ::DispatchMessageA(&message);
}

// GetTickCount wraps every 49.7 days (and GetTickCount64 is not on every
// Windows this runs on), so the difference is accumulated.
int64_t WindowsUi::Milliseconds() {
  const DWORD now = GetTickCount();
  elapsedMs_ += static_cast<DWORD>(now - lastTick_);
  lastTick_ = now;
  return elapsedMs_;
}

// GetTickCount moves in steps of 10 to 16 ms, too coarse for timing sound.
double WindowsUi::ClockMs() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - counterStart_.QuadPart) * counterMsPerTick_;
}

void WindowsUi::ProcessMessages() {
  MSG message{};
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Not ours to end: leave it for the main loop.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    Dispatch(message);
  }
}

// Device messages, timers and input all wake it; MWMO_INPUTAVAILABLE also
// counts messages that a peek has seen but left in the queue.
void WindowsUi::WaitForMessage(int64_t timeoutMs) {
  const auto ms = static_cast<DWORD>(std::clamp<int64_t>(timeoutMs, 0, 0x7FFFFFFF));
  ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void WindowsUi::Run() {
  MSG message{};
  while (::IsWindow(mainWindow_)) {
    const BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    Dispatch(message);
  }
}

void WindowsUi::MessageBox(const std::string& text) {
  ::MessageBoxA(Owner(), text.c_str(), title_.c_str(), MB_OK);
}

void WindowsUi::ErrorBox(const std::string& text) {
  ::MessageBoxA(Owner(), text.c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
}

void WindowsUi::ShellOpen(WindowHandle owner, const std::string& url) {
  // A failure to open the page is not reported.
  ::ShellExecuteA(reinterpret_cast<HWND>(owner), "open", url.c_str(), nullptr, nullptr, SW_SHOW);
}

}  // namespace lumrio::platform::win32
