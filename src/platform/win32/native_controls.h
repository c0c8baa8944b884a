// The window's controls as native Windows controls: a trackbar for a slider,
// buttons for check boxes and group boxes, static text for labels, and a
// window class of our own for the custom-painted box. Shapes and pictures
// have no window of their own: their container paints them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/controls.h"
#include "platform/win32/gdi.h"
#include "platform/win32/gdi_canvas.h"

namespace lumrio::platform::win32 {

// What a control needs from the form that creates it.
struct ChildSite {
  HINSTANCE instance = nullptr;
  HWND container = nullptr;  // the form or a group box
  HWND tooltip = nullptr;
  HFONT font = nullptr;
  const FontDesc* fontDesc = nullptr;
  int id = 0;
};

// The form's background under a control, and a control's text colour
// (none given: the system's window-text colour).
HBRUSH ButtonFace(HDC dc);
COLORREF TextColor(const std::optional<Color>& color);

// The native side of a control: the form routes the notifications that a
// child window sends to its parent back to the child's object.
class ChildWindow {
 public:
  virtual ~ChildWindow() = default;
  HWND Window() const { return window_; }

  virtual void OnScroll() {}
  virtual void OnCommand(WORD) {}
  // WM_CTLCOLORSTATIC / WM_CTLCOLORBTN: the background brush to paint with.
  virtual HBRUSH OnControlColor(HDC dc);
  // WM_SETCURSOR over this child: true when it set the cursor itself.
  virtual bool OnSetCursor() { return false; }

 protected:
  void Create(const ChildSite& site, const char* windowClass, const std::string& text, DWORD style,
              DWORD exStyle, const Bounds& bounds, void* createParam = nullptr);
  void MoveTo(const Bounds& bounds);

 private:
  HWND window_ = nullptr;
};

class NativeSlider final : public Slider, public ChildWindow {
 public:
  NativeSlider(const ChildSite& site, Control* parent, const SliderDesc& desc);
  ~NativeSlider() override;
  void OnScroll() override;

 protected:
  void ApplyPosition(int position) override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
  void AddHint(const ChildSite& site, const std::string& hint);
  bool applying_ = false;
};

class NativeCheckBox final : public CheckBox, public ChildWindow {
 public:
  NativeCheckBox(const ChildSite& site, Control* parent, const CheckBoxDesc& desc);
  void OnCommand(WORD code) override;

 protected:
  void ApplyChecked(bool checked) override;
};

class NativeLabel final : public Label, public ChildWindow {
 public:
  NativeLabel(const ChildSite& site, Control* parent, const LabelDesc& desc);
  ~NativeLabel() override;
  HBRUSH OnControlColor(HDC dc) override;
  bool OnSetCursor() override;

  // Paints, in the container's coordinates, what the container draws itself
  // (shapes, pictures): what a transparent label lies on.
  std::function<void(HDC)> paintBehind;

 protected:
  void ApplyCaption(const std::string& caption) override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  bool Over(LPARAM lParam) const;
  void EraseToContainer(HDC dc) const;
  void FitToText(const std::string& caption);
  HFONT font_ = nullptr;  // the form's, or underlined_
  Font underlined_;
  bool pressed_ = false;
};

class NativeGroupBox final : public GroupBox, public ChildWindow {
 public:
  // Messages that the group box's children send it go on to `forwardTo`.
  NativeGroupBox(const ChildSite& site, Control* parent, const GroupBoxDesc& desc, HWND forwardTo);
  ~NativeGroupBox() override;

  HBRUSH OnControlColor(HDC dc) override;
  // Runs after the group box has painted itself, on its own DC.
  std::function<void(HDC)> onPainted;

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  HWND forwardTo_;
};

class NativePaintBox final : public PaintBox, public ChildWindow {
 public:
  static constexpr const char* kClassName = "LumrioPaintBox";
  static bool RegisterClass(HINSTANCE instance);

  NativePaintBox(const ChildSite& site, Control* parent, Bounds bounds);
  void Draw(const std::function<void(Canvas&)>& draw) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Paint();
  HFONT font_;
  GdiCache gdiCache_;
  Canvas* paintCanvas_ = nullptr;  // set while WM_PAINT runs onPaint
};

// A picture or shape, drawn by its container's paint.
class Graphic {
 public:
  virtual ~Graphic() = default;
  virtual void Paint(HDC dc) const = 0;
};

class ShapeGraphic final : public Graphic {
 public:
  explicit ShapeGraphic(const ShapeDesc& desc);
  void Paint(HDC dc) const override;

 private:
  RECT rect_;
  Brush brush_;
};

// A bitmap resource whose magenta pixels are transparent.
class PictureGraphic final : public Graphic {
 public:
  PictureGraphic(HINSTANCE instance, const PictureDesc& desc);
  void Paint(HDC dc) const override;

 private:
  void MakeMask();
  Bounds bounds_;
  Bitmap image_;  // key pixels turned black
  Bitmap mask_;   // 1 where transparent
};

}  // namespace lumrio::platform::win32
