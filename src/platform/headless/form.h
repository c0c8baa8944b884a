// The headless form and its controls: controls that only keep their state,
// paint boxes that draw onto recording canvases, timers on the virtual clock
// and a focus model. Internal to the headless platform.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/headless/canvas.h"
#include "platform/headless/loop.h"
#include "platform/headless/ui.h"

namespace lumrio::platform::headless {

namespace detail {

class HeadlessSlider : public Slider {
 public:
  HeadlessSlider(Control* parent, const SliderDesc& desc) : Slider(parent, desc) {}

 protected:
  void ApplyPosition(int) override {}  // the position itself lives in Slider
};

class HeadlessCheckBox : public CheckBox {
 public:
  HeadlessCheckBox(Control* parent, const CheckBoxDesc& desc) : CheckBox(parent, desc) {}

 protected:
  void ApplyChecked(bool) override {}
};

class HeadlessLabel : public Label {
 public:
  HeadlessLabel(Control* parent, const LabelDesc& desc) : Label(parent, desc) {}

 protected:
  void ApplyCaption(const std::string&) override {}
};

class HeadlessGroupBox : public GroupBox {
 public:
  HeadlessGroupBox(Control* parent, const GroupBoxDesc& desc) : GroupBox(parent, desc) {}
};

class FormImpl;

class HeadlessPaintBox : public PaintBox {
 public:
  HeadlessPaintBox(Control* parent, Bounds bounds, FormImpl& form);
  void Draw(const std::function<void(Canvas&)>& draw) override;

  RectEdges Whole() const { return {0, 0, Width(), Height()}; }
  std::optional<RectEdges> invalid;  // the area waiting for a paint

 private:
  FormImpl& form_;
};

// WM_TIMER semantics: at most one tick pending; the next one falls due an
// interval after the last tick was handled (or after the timer was enabled).
class HeadlessTimer : public Timer {
 public:
  HeadlessTimer(const Loop* loop, int intervalMs, bool enabled);
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  int Interval() const override { return intervalMs_; }
  void SetInterval(int milliseconds) override;

  Ticks Due() const { return pending_ ? -1 : due_; }
  bool Pending() const { return pending_; }
  void MarkIfDue(Ticks now);
  void Fire();
  void Orphan() { loop_ = nullptr; }

 private:
  void Rearm();

  const Loop* loop_;
  int intervalMs_;
  bool enabled_ = false;
  bool pending_ = false;
  Ticks due_ = -1;
};

class FormImpl : public HeadlessForm, public Window {
 public:
  FormImpl(Loop& loop, const FormDesc& desc, std::function<void(FormImpl*)> onGone);
  ~FormImpl() override;
  // The platform went away before the form: stop talking to it.
  void Orphan();

  // Form.
  WindowHandle Handle() const override { return handle_; }
  Slider* AddSlider(Control* parent, const SliderDesc& desc) override;
  CheckBox* AddCheckBox(Control* parent, const CheckBoxDesc& desc) override;
  Label* AddLabel(Control* parent, const LabelDesc& desc) override;
  GroupBox* AddGroupBox(Control* parent, const GroupBoxDesc& desc) override;
  PaintBox* AddPaintBox(Control* parent, Bounds bounds) override;
  void AddShape(Control*, const ShapeDesc& desc) override;
  void AddPicture(Control*, const PictureDesc& desc) override;
  Timer* AddTimer(int intervalMs, bool enabled) override;
  void Defocus(Control& control) override;
  void Show() override;
  void Close() override;
  void PostClose() override;
  void EndSession() override;

  // HeadlessForm.
  void InvalidatePaintBox(PaintBox& box, RectEdges area) override;
  RecordingCanvas* LastCanvas() override;
  const std::vector<std::unique_ptr<RecordingCanvas>>& Canvases() const override {
    return canvases_;
  }
  bool Shown() const override { return shown_; }
  bool Destroyed() const override { return destroyed_; }
  Control* Focused() const override { return focused_; }
  void GiveFocus(Control& control) override;
  std::vector<Control*> AllControls() const override;
  std::vector<Timer*> Timers() const override;
  int64_t DrawCount() const override { return drawCount_; }
  const FormDesc& Desc() const override { return desc_; }
  const std::vector<ShapeDesc>& Shapes() const override { return shapes_; }
  const std::vector<PictureDesc>& Pictures() const override { return pictures_; }

  // Window.
  void DeliverWaveMessage(uint32_t message, WaveHeader* header) override;
  bool HasPendingPaint() const override;
  void DispatchPaint() override;
  Ticks NextTimerDue() const override;
  void MarkDueTimers(Ticks now) override;
  bool HasPendingTimer() const override;
  void DispatchTimer() override;

  // Inside onPaint the box's canvas is clipped to the area being repainted;
  // anywhere else a draw reaches the whole box.
  void DrawOn(HeadlessPaintBox& box, const std::function<void(Canvas&)>& draw);

 private:
  class Painting;

  template <typename T>
  T* Add(std::unique_ptr<T> control);
  HeadlessPaintBox* Find(PaintBox& box);

  Loop* loop_;
  WindowHandle handle_ = nullptr;
  FormDesc desc_;

 public:
  int failControlAt_ = -1;

 private:
  std::function<void(FormImpl*)> onGone_;
  std::vector<std::unique_ptr<Control>> controls_;
  std::vector<HeadlessPaintBox*> paintBoxes_;
  std::vector<std::unique_ptr<HeadlessTimer>> timers_;
  std::vector<ShapeDesc> shapes_;
  std::vector<PictureDesc> pictures_;
  std::vector<std::unique_ptr<RecordingCanvas>> canvases_;
  int64_t drawCount_ = 0;
  Control* focused_ = nullptr;
  HeadlessPaintBox* paintingBox_ = nullptr;
  RectEdges paintClip_{};
  bool shown_ = false;
  bool closing_ = false;
  bool destroyed_ = false;
};

}  // namespace detail

}  // namespace lumrio::platform::headless
