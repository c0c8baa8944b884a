// The window and its controls, with the toolkit semantics the program relies
// on. The value logic (clamping, "handler only on a real change", a change
// event for every user notification) lives here once; each platform only
// mirrors the value into its native control and reports user actions.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/canvas.h"
#include "platform/wave.h"

namespace lumrio::platform {

struct Bounds {
  int left = 0, top = 0, width = 0, height = 0;  // relative to the parent's client area
};

class Control {
 public:
  virtual ~Control() = default;
  Control* Parent() const { return parent_; }
  const Bounds& GetBounds() const { return bounds_; }

 protected:
  Control(Control* parent, Bounds bounds) : parent_(parent), bounds_(bounds) {}

 private:
  Control* parent_;
  Bounds bounds_;
};

enum class Orientation { Horizontal, Vertical };
enum class TickMarks { None, TopLeft, BottomRight };

struct SliderDesc {
  Bounds bounds;
  Orientation orientation = Orientation::Horizontal;
  int min = 0, max = 10, position = 0;
  int lineSize = 1, pageSize = 2, tickFrequency = 1;
  TickMarks ticks = TickMarks::BottomRight;
  int thumbLength = 14;
  std::string hint;  // empty: no hint
  bool tabStop = true;
  int tabOrder = 0;
};

class Slider : public Control {
 public:
  int Position() const { return position_; }
  int Min() const { return desc_.min; }
  int Max() const { return desc_.max; }
  const SliderDesc& Desc() const { return desc_; }

  // From code: clamps into [Min, Max]; on a real change updates the native
  // control and runs onChange, otherwise does nothing.
  void SetPosition(int position);

  // From the platform, once per notification of a user's action (every step
  // of a drag or track click, and the release with the position repeated):
  // stores the position and always runs onChange.
  void NotifyUserChange(int position);

  // From the platform when the slider receives the input focus.
  void NotifyEnter();

  std::function<void()> onChange;
  std::function<void()> onEnter;

 protected:
  Slider(Control* parent, const SliderDesc& desc)
      : Control(parent, desc.bounds), desc_(desc), position_(Clamp(desc.position)) {}
  virtual void ApplyPosition(int position) = 0;  // mirror into the native control

 private:
  int Clamp(int position) const;
  SliderDesc desc_;
  int position_;
};

struct CheckBoxDesc {
  Bounds bounds;
  std::string caption;
  bool checked = false;
  int tabOrder = 0;
};

class CheckBox : public Control {
 public:
  bool Checked() const { return checked_; }
  const CheckBoxDesc& Desc() const { return desc_; }

  // From code: on a real change updates the native control and runs onClick.
  void SetChecked(bool checked);
  // From the platform: the user toggled the box to `checked`; runs onClick.
  void NotifyUserClick(bool checked);

  std::function<void()> onClick;

 protected:
  CheckBox(Control* parent, const CheckBoxDesc& desc)
      : Control(parent, desc.bounds), desc_(desc), checked_(desc.checked) {}
  virtual void ApplyChecked(bool checked) = 0;

 private:
  CheckBoxDesc desc_;
  bool checked_;
};

enum class TextAlign { Left, Center, Right };

struct LabelDesc {
  Bounds bounds;
  std::string caption;
  TextAlign align = TextAlign::Left;
  std::optional<Color> color;  // none: the system's window-text colour
  bool underline = false;
  bool transparent = false;
  bool handCursor = false;
};

class Label : public Control {
 public:
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  const LabelDesc& Desc() const { return desc_; }
  std::function<void()> onClick;

 protected:
  Label(Control* parent, const LabelDesc& desc)
      : Control(parent, desc.bounds), desc_(desc), caption_(desc.caption) {}
  virtual void ApplyCaption(const std::string& caption) = 0;

 private:
  LabelDesc desc_;
  std::string caption_;
};

struct GroupBoxDesc {
  Bounds bounds;
  std::string caption;  // empty: no caption
  int tabOrder = 0;
  std::optional<Color> color;  // of the caption; none: the window-text colour
};

class GroupBox : public Control {
 public:
  const GroupBoxDesc& Desc() const { return desc_; }

 protected:
  GroupBox(Control* parent, const GroupBoxDesc& desc) : Control(parent, desc.bounds), desc_(desc) {}

 private:
  GroupBoxDesc desc_;
};

// A plain filled rectangle (no outline), and a picture from the resources.
struct ShapeDesc {
  Bounds bounds;
  Color fill{0, 0, 0};
};
struct PictureDesc {
  Bounds bounds;
  int resourceId = 0;  // a bitmap with a transparent background
};

class PaintBox : public Control {
 public:
  int Width() const { return GetBounds().width; }
  int Height() const { return GetBounds().height; }

  // Draws onto the box now: inside onPaint on the repaint's canvas (clipped to
  // the area being repainted), otherwise straight onto the visible box.
  virtual void Draw(const std::function<void(Canvas&)>& draw) = 0;

  // Run by the platform whenever the box needs repainting.
  std::function<void()> onPaint;

 protected:
  PaintBox(Control* parent, Bounds bounds) : Control(parent, bounds) {}
};

// A one-shot countdown is made of Enabled(false) then Enabled(true).
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetInterval(int milliseconds) = 0;
  virtual int Interval() const = 0;
  std::function<void()> onTimer;
};

struct FormDesc {
  std::string caption;
  int clientWidth = 0, clientHeight = 0;
  FontDesc font;
  int iconResourceId = 0;
};

// The main window. Controls are created inside it (parent null) or inside a
// group box, and live as long as the form.
class Form {
 public:
  virtual ~Form() = default;

  virtual WindowHandle Handle() const = 0;

  virtual Slider* AddSlider(Control* parent, const SliderDesc& desc) = 0;
  virtual CheckBox* AddCheckBox(Control* parent, const CheckBoxDesc& desc) = 0;
  virtual Label* AddLabel(Control* parent, const LabelDesc& desc) = 0;
  virtual GroupBox* AddGroupBox(Control* parent, const GroupBoxDesc& desc) = 0;
  virtual PaintBox* AddPaintBox(Control* parent, Bounds bounds) = 0;
  virtual void AddShape(Control* parent, const ShapeDesc& desc) = 0;
  virtual void AddPicture(Control* parent, const PictureDesc& desc) = 0;
  virtual Timer* AddTimer(int intervalMs, bool enabled) = 0;

  // Takes the keyboard focus away from `control`: if it has (or contains) the
  // focus, the focus goes to its parent.
  virtual void Defocus(Control& control) = 0;

  // Shows the window centred on the screen.
  virtual void Show() = 0;
  // Asks the window to close, as the close box does: runs onCloseQuery and,
  // unless it answers false, destroys the window (onDestroy) and ends the
  // message loop.
  virtual void Close() = 0;
  // The same close, asked for by a message handled later by the message
  // loop: for a close that must not run inside the handler asking for it.
  virtual void PostClose() = 0;

  // Answers false only to put the close off (the window asks again itself
  // when it is ready, e.g. once a device drain running below has finished).
  std::function<bool()> onCloseQuery;
  std::function<void()> onDestroy;
  // The user's session is ending (logoff, shutdown): the process is ended
  // soon after this returns, whatever the window does.
  std::function<void()> onEndSession;
  std::function<void(WaveHeader*)> onWaveInData;   // MM_WIM_DATA, LParam
  std::function<void(WaveHeader*)> onWaveOutDone;  // MM_WOM_DONE, LParam
};

// Application-wide services of the GUI toolkit.
class Ui {
 public:
  virtual ~Ui() = default;

  virtual void SetApplicationTitle(const std::string& title) = 0;
  virtual std::unique_ptr<Form> CreateForm(const FormDesc& desc) = 0;

  // Handles every message pending now (device messages, timers, paints,
  // input), then returns.
  virtual void ProcessMessages() = 0;
  // Sleeps until a message is pending or `timeoutMs` have passed, whichever
  // comes first.
  virtual void WaitForMessage(int64_t timeoutMs) = 0;
  // Runs the message loop until the main form has been destroyed.
  virtual void Run() = 0;

  // A monotonic clock in milliseconds, for bounding waits.
  virtual int64_t Milliseconds() = 0;
  // The same clock to a fraction of a millisecond, for timing the sound.
  virtual double ClockMs() = 0;

  // Modal box with an OK button, titled with the application title; runs the
  // message loop while it is open.
  virtual void MessageBox(const std::string& text) = 0;
  // The application's standard error box (settings failures).
  virtual void ErrorBox(const std::string& text) = 0;

  // Asks the shell to open `url` ("open" verb, SW_SHOW); the result is ignored.
  virtual void ShellOpen(WindowHandle owner, const std::string& url) = 0;
};

}  // namespace lumrio::platform
