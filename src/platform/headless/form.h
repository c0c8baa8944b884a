// The headless form and its controls: controls that only keep their state,
// paint boxes that draw onto recording canvases, timers on the virtual clock
// and a focus model. Internal to the headless platform.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
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

inline RectEdges Intersect(const RectEdges& a, const RectEdges& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
          std::min(a.bottom, b.bottom)};
}

inline RectEdges Union(const RectEdges& a, const RectEdges& b) {
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

inline bool Empty(const RectEdges& r) {
  return r.left >= r.right || r.top >= r.bottom;
}

inline bool Contains(const Control& outer, const Control* inner) {
  for (const Control* c = inner; c; c = c->Parent()) {
    if (c == &outer) return true;
  }
  return false;
}

class FormImpl;

class HeadlessPaintBox : public PaintBox {
 public:
  HeadlessPaintBox(Control* parent, Bounds bounds, FormImpl& form)
      : PaintBox(parent, bounds), form_(form) {}
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
  HeadlessTimer(const Loop* loop, int intervalMs, bool enabled)
      : loop_(loop), intervalMs_(intervalMs) {
    HeadlessTimer::SetEnabled(enabled);
  }
  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Rearm();
  }
  bool Enabled() const override { return enabled_; }
  int Interval() const override { return intervalMs_; }
  void SetInterval(int milliseconds) override {
    if (milliseconds == intervalMs_) return;
    intervalMs_ = milliseconds;
    Rearm();
  }

  Ticks Due() const { return pending_ ? -1 : due_; }
  bool Pending() const { return pending_; }
  void MarkIfDue(Ticks now) {
    if (due_ >= 0 && due_ <= now) pending_ = true;
  }
  void Fire() {
    Rearm();
    if (onTimer) onTimer();
  }
  void Orphan() { loop_ = nullptr; }

 private:
  // A disabled timer or one with interval 0 never ticks; re-arming drops a
  // pending tick, as KillTimer does.
  void Rearm() {
    pending_ = false;
    due_ = enabled_ && intervalMs_ > 0 && loop_ ? loop_->Now() + intervalMs_ * kTicksPerMs : -1;
  }

  const Loop* loop_;
  int intervalMs_;
  bool enabled_ = false;
  bool pending_ = false;
  Ticks due_ = -1;
};

class FormImpl : public HeadlessForm, public Window {
 public:
  FormImpl(Loop& loop, const FormDesc& desc, std::function<void(FormImpl*)> onGone)
      : loop_(&loop), desc_(desc), onGone_(std::move(onGone)) {
    handle_ = loop.Register(*this);
  }
  ~FormImpl() override {
    if (loop_) loop_->Unregister(handle_);
    if (onGone_) onGone_(this);
  }
  // The platform went away before the form: stop talking to it.
  void Orphan() {
    loop_ = nullptr;
    onGone_ = nullptr;
    for (auto& t : timers_) t->Orphan();
  }

  // Form.
  WindowHandle Handle() const override { return handle_; }
  Slider* AddSlider(Control* parent, const SliderDesc& desc) override {
    return Add(std::make_unique<HeadlessSlider>(parent, desc));
  }
  CheckBox* AddCheckBox(Control* parent, const CheckBoxDesc& desc) override {
    return Add(std::make_unique<HeadlessCheckBox>(parent, desc));
  }
  Label* AddLabel(Control* parent, const LabelDesc& desc) override {
    return Add(std::make_unique<HeadlessLabel>(parent, desc));
  }
  GroupBox* AddGroupBox(Control* parent, const GroupBoxDesc& desc) override {
    return Add(std::make_unique<HeadlessGroupBox>(parent, desc));
  }
  PaintBox* AddPaintBox(Control* parent, Bounds bounds) override {
    auto* box = Add(std::make_unique<HeadlessPaintBox>(parent, bounds, *this));
    paintBoxes_.push_back(box);
    if (shown_) box->invalid = box->Whole();
    return box;
  }
  void AddShape(Control*, const ShapeDesc& desc) override { shapes_.push_back(desc); }
  void AddPicture(Control*, const PictureDesc& desc) override { pictures_.push_back(desc); }
  Timer* AddTimer(int intervalMs, bool enabled) override {
    timers_.push_back(std::make_unique<HeadlessTimer>(loop_, intervalMs, enabled));
    return timers_.back().get();
  }
  void Defocus(Control& control) override {
    if (Contains(control, focused_)) focused_ = control.Parent();
  }
  // The first showing paints every paint box in full.
  void Show() override {
    if (shown_) return;
    shown_ = true;
    for (HeadlessPaintBox* box : paintBoxes_) box->invalid = box->Whole();
  }
  // A close asked for while the query of another runs (it may pump messages)
  // is part of that one; a query that answers false puts the close off.
  void Close() override {
    if (closing_ || destroyed_) return;
    closing_ = true;
    const bool allowed = !onCloseQuery || onCloseQuery();
    closing_ = false;
    if (!allowed || destroyed_) return;
    destroyed_ = true;
    for (auto& t : timers_) t->SetEnabled(false);  // DestroyWindow kills its timers
    if (onDestroy) onDestroy();
  }
  void PostClose() override {
    if (loop_ && !destroyed_) loop_->Post(handle_, kWmClose, nullptr);
  }
  void EndSession() override {
    if (onEndSession) onEndSession();
  }

  // HeadlessForm.
  void InvalidatePaintBox(PaintBox& box, RectEdges area) override {
    auto* b = Find(box);
    if (!b) return;
    const RectEdges clipped = Intersect(area, b->Whole());
    if (Empty(clipped)) return;
    b->invalid = b->invalid ? Union(*b->invalid, clipped) : clipped;
  }
  RecordingCanvas* LastCanvas() override {
    return canvases_.empty() ? nullptr : canvases_.back().get();
  }
  const std::vector<std::unique_ptr<RecordingCanvas>>& Canvases() const override {
    return canvases_;
  }
  bool Shown() const override { return shown_; }
  bool Destroyed() const override { return destroyed_; }
  Control* Focused() const override { return focused_; }
  // As a click would: the focus moves only if the control lacks it, and a
  // slider that receives it runs its onEnter.
  void GiveFocus(Control& control) override {
    if (focused_ == &control) return;
    focused_ = &control;
    if (auto* slider = dynamic_cast<Slider*>(&control)) slider->NotifyEnter();
  }
  std::vector<Control*> AllControls() const override {
    std::vector<Control*> out;
    for (const auto& c : controls_) out.push_back(c.get());
    return out;
  }
  std::vector<Timer*> Timers() const override {
    std::vector<Timer*> out;
    for (const auto& t : timers_) out.push_back(t.get());
    return out;
  }
  int64_t DrawCount() const override { return drawCount_; }
  const FormDesc& Desc() const override { return desc_; }
  const std::vector<ShapeDesc>& Shapes() const override { return shapes_; }
  const std::vector<PictureDesc>& Pictures() const override { return pictures_; }

  // Window.
  void DeliverWaveMessage(uint32_t message, WaveHeader* header) override {
    if (destroyed_) return;
    if (message == kWmClose) Close();
    if (message == kMmWimData && onWaveInData) onWaveInData(header);
    if (message == kMmWomDone && onWaveOutDone) onWaveOutDone(header);
  }
  bool HasPendingPaint() const override {
    if (!shown_ || destroyed_) return false;
    return std::any_of(paintBoxes_.begin(), paintBoxes_.end(),
                       [](const HeadlessPaintBox* b) { return b->invalid.has_value(); });
  }
  void DispatchPaint() override {
    for (HeadlessPaintBox* box : paintBoxes_) {
      if (!box->invalid) continue;
      const RectEdges area = *box->invalid;
      box->invalid.reset();
      Painting painting(*this, box, area);
      if (box->onPaint) box->onPaint();
      return;
    }
  }
  Ticks NextTimerDue() const override {
    Ticks next = -1;
    for (const auto& t : timers_) {
      const Ticks due = t->Due();
      if (due >= 0 && (next < 0 || due < next)) next = due;
    }
    return next;
  }
  void MarkDueTimers(Ticks now) override {
    for (auto& t : timers_) t->MarkIfDue(now);
  }
  bool HasPendingTimer() const override {
    return std::any_of(timers_.begin(), timers_.end(), [](const auto& t) { return t->Pending(); });
  }
  void DispatchTimer() override {
    for (auto& t : timers_) {
      if (!t->Pending()) continue;
      t->Fire();
      return;
    }
  }

  // Inside onPaint the box's canvas is clipped to the area being repainted;
  // anywhere else a draw reaches the whole box.
  void DrawOn(HeadlessPaintBox& box, const std::function<void(Canvas&)>& draw) {
    const RectEdges clip = paintingBox_ == &box ? paintClip_ : box.Whole();
    auto canvas = std::make_unique<RecordingCanvas>(clip);
    if (draw) draw(*canvas);
    ++drawCount_;
    canvases_.push_back(std::move(canvas));
    if (canvases_.size() > kKeptCanvases) canvases_.erase(canvases_.begin());
  }

 private:
  // Marks a paint in progress, restoring the previous one if paints nest.
  class Painting {
   public:
    Painting(FormImpl& f, HeadlessPaintBox* box, RectEdges clip)
        : f_(f), box_(f.paintingBox_), clip_(f.paintClip_) {
      f_.paintingBox_ = box;
      f_.paintClip_ = clip;
    }
    ~Painting() {
      f_.paintingBox_ = box_;
      f_.paintClip_ = clip_;
    }
    Painting(const Painting&) = delete;
    Painting& operator=(const Painting&) = delete;

   private:
    FormImpl& f_;
    HeadlessPaintBox* box_;
    RectEdges clip_;
  };

  template <typename T>
  T* Add(std::unique_ptr<T> control) {
    // As CreateWindowEx failing for a control, seen through the real form.
    if (static_cast<int>(controls_.size()) == failControlAt_) {
      throw std::runtime_error("Error creating window");
    }
    T* raw = control.get();
    controls_.push_back(std::move(control));
    return raw;
  }
  HeadlessPaintBox* Find(PaintBox& box) {
    const auto it = std::find(paintBoxes_.begin(), paintBoxes_.end(), &box);
    return it == paintBoxes_.end() ? nullptr : *it;
  }

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

inline void HeadlessPaintBox::Draw(const std::function<void(Canvas&)>& draw) {
  form_.DrawOn(*this, draw);
}

}  // namespace detail

}  // namespace lumrio::platform::headless
