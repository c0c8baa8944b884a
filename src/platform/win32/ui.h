// The application-wide side of the GUI: common controls, the main window,
// the message loop, message boxes and the shell.
#pragma once

#include <memory>
#include <string>

#include "platform/controls.h"
#include "platform/win32/app_window.h"
#include "platform/win32/win.h"

namespace lumrio::platform::win32 {

class WindowsUi : public Ui {
 public:
  explicit WindowsUi(HINSTANCE instance);
  ~WindowsUi() override;
  WindowsUi(const WindowsUi&) = delete;
  WindowsUi& operator=(const WindowsUi&) = delete;

  void SetApplicationTitle(const std::string& title) override;
  std::unique_ptr<Form> CreateForm(const FormDesc& desc) override;
  void ProcessMessages() override;
  void WaitForMessage(int64_t timeoutMs) override;
  int64_t Milliseconds() override;
  double ClockMs() override;
  void Run() override;
  void MessageBox(const std::string& text) override;
  void ErrorBox(const std::string& text) override;
  void ShellOpen(WindowHandle owner, const std::string& url) override;

 private:
  HWND Owner() const;
  void Dispatch(MSG& message) const;

  HINSTANCE instance_;
  std::string title_;
  std::unique_ptr<ApplicationWindow> application_;
  HWND mainWindow_ = nullptr;
  DWORD lastTick_ = GetTickCount();
  int64_t elapsedMs_ = 0;
  LARGE_INTEGER counterStart_{};
  double counterMsPerTick_ = 0;
};

}  // namespace lumrio::platform::win32
