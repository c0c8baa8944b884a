// The application's own window. It has no size and is never seen, but it
// owns the main window and carries the application's title: the task bar
// shows an unowned window's title, so this is how the program's button
// reads "lumrio" while the main window keeps its own caption.
#pragma once

#include <string>

#include "platform/win32/win.h"

namespace lumrio::platform::win32 {

class ApplicationWindow {
 public:
  static constexpr const char* kClassName = "LumrioApplication";
  static bool RegisterClass(HINSTANCE instance);

  ApplicationWindow(HINSTANCE instance, const std::string& title);
  ~ApplicationWindow();
  ApplicationWindow(const ApplicationWindow&) = delete;
  ApplicationWindow& operator=(const ApplicationWindow&) = delete;

  HWND Window() const { return window_; }
  void SetTitle(const std::string& title);
  // The window the application's window stands for; it gets the activation
  // and the close that the task-bar button asks for.
  void SetMainWindow(HWND main) { main_ = main; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ActivateMain() const;

  HWND window_ = nullptr;
  HWND main_ = nullptr;
};

}  // namespace lumrio::platform::win32
