// The program's window: a fixed-size top-level window with a dialog frame,
// which creates the controls, routes their notifications and the wave
// devices' messages, and owns the timers.
#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/controls.h"
#include "platform/win32/gdi.h"
#include "platform/win32/native_controls.h"

namespace lumrio::platform::win32 {

// A timer on the form's window; WM_TIMER carries its id.
class FormTimer final : public Timer {
 public:
  FormTimer(HWND owner, UINT_PTR id, int intervalMs);
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  void SetInterval(int milliseconds) override;
  int Interval() const override { return interval_; }
  void Fire();

 private:
  void Start();
  HWND owner_;
  UINT_PTR id_;
  int interval_;
  bool enabled_ = false;
};

class MainForm final : public Form {
 public:
  static constexpr const char* kClassName = "LumrioForm";
  static bool RegisterClass(HINSTANCE instance);

  // `owner`: the application's window, whose title the task bar shows.
  MainForm(HINSTANCE instance, const FormDesc& desc, HWND owner);
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;
  ~MainForm() override;

  HWND Window() const { return window_; }
  WindowHandle Handle() const override;

  Slider* AddSlider(Control* parent, const SliderDesc& desc) override;
  CheckBox* AddCheckBox(Control* parent, const CheckBoxDesc& desc) override;
  Label* AddLabel(Control* parent, const LabelDesc& desc) override;
  GroupBox* AddGroupBox(Control* parent, const GroupBoxDesc& desc) override;
  PaintBox* AddPaintBox(Control* parent, Bounds bounds) override;
  void AddShape(Control* parent, const ShapeDesc& desc) override;
  void AddPicture(Control* parent, const PictureDesc& desc) override;
  Timer* AddTimer(int intervalMs, bool enabled) override;

  void Defocus(Control& control) override;
  void Show() override;
  void Close() override;
  void PostClose() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnControlColor(HDC dc, HWND child);
  LRESULT OnSetCursor(WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR id);
  void Paint();
  void DestroyShown();

  void SetIcons(int resourceId);
  void RemoveSizingFromSystemMenu();
  void CreateTooltip();

  HWND ContainerOf(const Control* parent) const;
  ChildWindow* ChildOf(HWND window) const;
  ChildSite SiteIn(const Control* parent);
  void RaiseOverOverlapped(HWND container, HWND window);
  void PlaceInTabOrder(HWND container, HWND window, int tabOrder);
  void AddGraphic(const Control* parent, std::unique_ptr<Graphic> graphic, const Bounds& bounds);
  void PaintGraphics(HWND container, HDC dc) const;

  template <typename Native>
  Native* Adopt(std::unique_ptr<Native> control) {
    Native* raw = control.get();
    byWindow_[raw->Window()] = raw;
    windowOf_[raw] = raw->Window();
    children_.push_back(std::move(control));
    return raw;
  }

  HINSTANCE instance_;
  FormDesc desc_;
  Font font_;
  HWND window_ = nullptr;
  HWND tooltip_ = nullptr;  // owned by the window, destroyed with it
  bool closing_ = false;
  bool destroyingObject_ = false;
  int nextId_ = 100;  // clear of IDOK and IDCANCEL, which the dialog keys send

  std::vector<std::unique_ptr<ChildWindow>> children_;
  std::unordered_map<HWND, ChildWindow*> byWindow_;
  std::unordered_map<const Control*, HWND> windowOf_;
  struct TabEntry {
    HWND container;
    int order;
    HWND window;
  };
  std::vector<TabEntry> tabOrder_;
  std::vector<std::pair<HWND, std::unique_ptr<Graphic>>> graphics_;
  std::vector<std::unique_ptr<FormTimer>> timers_;
};

}  // namespace lumrio::platform::win32
