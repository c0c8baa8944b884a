// The headless form and its controls: what a form does with its controls,
// paints, timers and focus, and how it answers the messages the loop hands
// it.
#include "platform/headless/form.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace lumrio::platform::headless::detail {

namespace {

RectEdges Intersect(const RectEdges& a, const RectEdges& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
          std::min(a.bottom, b.bottom)};
}

RectEdges Union(const RectEdges& a, const RectEdges& b) {
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

bool Empty(const RectEdges& r) {
  return r.left >= r.right || r.top >= r.bottom;
}

bool Contains(const Control& outer, const Control* inner) {
  for (const Control* c = inner; c; c = c->Parent()) {
    if (c == &outer) return true;
  }
  return false;
}

}  // namespace

// --- HeadlessPaintBox --------------------------------------------------------

HeadlessPaintBox::HeadlessPaintBox(Control* parent, Bounds bounds, FormImpl& form)
    : PaintBox(parent, bounds), form_(form) {}

void HeadlessPaintBox::Draw(const std::function<void(Canvas&)>& draw) {
  form_.DrawOn(*this, draw);
}

// --- HeadlessTimer -----------------------------------------------------------

HeadlessTimer::HeadlessTimer(const Loop* loop, int intervalMs, bool enabled)
    : loop_(loop), intervalMs_(intervalMs) {
  HeadlessTimer::SetEnabled(enabled);
}

void HeadlessTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Rearm();
}

void HeadlessTimer::SetInterval(int milliseconds) {
  if (milliseconds == intervalMs_) return;
  intervalMs_ = milliseconds;
  Rearm();
}

void HeadlessTimer::MarkIfDue(Ticks now) {
  if (due_ >= 0 && due_ <= now) pending_ = true;
}

void HeadlessTimer::Fire() {
  Rearm();
  if (onTimer) onTimer();
}

// A disabled timer or one with interval 0 never ticks; re-arming drops a
// pending tick, as KillTimer does.
void HeadlessTimer::Rearm() {
  pending_ = false;
  due_ = enabled_ && intervalMs_ > 0 && loop_ ? loop_->Now() + intervalMs_ * kTicksPerMs : -1;
}

// --- FormImpl: life and controls ---------------------------------------------

// Marks a paint in progress, restoring the previous one if paints nest.
class FormImpl::Painting {
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

FormImpl::FormImpl(Loop& loop, const FormDesc& desc, std::function<void(FormImpl*)> onGone)
    : loop_(&loop), desc_(desc), onGone_(std::move(onGone)) {
  handle_ = loop.Register(*this);
}

FormImpl::~FormImpl() {
  if (loop_) loop_->Unregister(handle_);
  if (onGone_) onGone_(this);
}

void FormImpl::Orphan() {
  loop_ = nullptr;
  onGone_ = nullptr;
  for (auto& t : timers_) t->Orphan();
}

template <typename T>
T* FormImpl::Add(std::unique_ptr<T> control) {
  // As CreateWindowEx failing for a control, seen through the real form.
  if (static_cast<int>(controls_.size()) == failControlAt_) {
    throw std::runtime_error("Error creating window");
  }
  T* raw = control.get();
  controls_.push_back(std::move(control));
  return raw;
}

HeadlessPaintBox* FormImpl::Find(PaintBox& box) {
  const auto it = std::find(paintBoxes_.begin(), paintBoxes_.end(), &box);
  return it == paintBoxes_.end() ? nullptr : *it;
}

Slider* FormImpl::AddSlider(Control* parent, const SliderDesc& desc) {
  return Add(std::make_unique<HeadlessSlider>(parent, desc));
}

CheckBox* FormImpl::AddCheckBox(Control* parent, const CheckBoxDesc& desc) {
  return Add(std::make_unique<HeadlessCheckBox>(parent, desc));
}

Label* FormImpl::AddLabel(Control* parent, const LabelDesc& desc) {
  return Add(std::make_unique<HeadlessLabel>(parent, desc));
}

GroupBox* FormImpl::AddGroupBox(Control* parent, const GroupBoxDesc& desc) {
  return Add(std::make_unique<HeadlessGroupBox>(parent, desc));
}

PaintBox* FormImpl::AddPaintBox(Control* parent, Bounds bounds) {
  auto* box = Add(std::make_unique<HeadlessPaintBox>(parent, bounds, *this));
  paintBoxes_.push_back(box);
  if (shown_) box->invalid = box->Whole();
  return box;
}

void FormImpl::AddShape(Control*, const ShapeDesc& desc) {
  shapes_.push_back(desc);
}

void FormImpl::AddPicture(Control*, const PictureDesc& desc) {
  pictures_.push_back(desc);
}

Timer* FormImpl::AddTimer(int intervalMs, bool enabled) {
  timers_.push_back(std::make_unique<HeadlessTimer>(loop_, intervalMs, enabled));
  return timers_.back().get();
}

std::vector<Control*> FormImpl::AllControls() const {
  std::vector<Control*> out;
  for (const auto& c : controls_) out.push_back(c.get());
  return out;
}

std::vector<Timer*> FormImpl::Timers() const {
  std::vector<Timer*> out;
  for (const auto& t : timers_) out.push_back(t.get());
  return out;
}

// --- FormImpl: showing, closing, focus ----------------------------------------

// The first showing paints every paint box in full.
void FormImpl::Show() {
  if (shown_) return;
  shown_ = true;
  for (HeadlessPaintBox* box : paintBoxes_) box->invalid = box->Whole();
}

// A close asked for while the query of another runs (it may pump messages)
// is part of that one; a query that answers false puts the close off.
void FormImpl::Close() {
  if (closing_ || destroyed_) return;
  closing_ = true;
  const bool allowed = !onCloseQuery || onCloseQuery();
  closing_ = false;
  if (!allowed || destroyed_) return;
  destroyed_ = true;
  for (auto& t : timers_) t->SetEnabled(false);  // DestroyWindow kills its timers
  if (onDestroy) onDestroy();
}

void FormImpl::PostClose() {
  if (loop_ && !destroyed_) loop_->Post(handle_, kWmClose, nullptr);
}

void FormImpl::EndSession() {
  if (onEndSession) onEndSession();
}

void FormImpl::Defocus(Control& control) {
  if (Contains(control, focused_)) focused_ = control.Parent();
}

// As a click would: the focus moves only if the control lacks it, and a
// slider that receives it runs its onEnter.
void FormImpl::GiveFocus(Control& control) {
  if (focused_ == &control) return;
  focused_ = &control;
  if (auto* slider = dynamic_cast<Slider*>(&control)) slider->NotifyEnter();
}

// --- FormImpl: painting --------------------------------------------------------

void FormImpl::InvalidatePaintBox(PaintBox& box, RectEdges area) {
  auto* b = Find(box);
  if (!b) return;
  const RectEdges clipped = Intersect(area, b->Whole());
  if (Empty(clipped)) return;
  b->invalid = b->invalid ? Union(*b->invalid, clipped) : clipped;
}

RecordingCanvas* FormImpl::LastCanvas() {
  return canvases_.empty() ? nullptr : canvases_.back().get();
}

bool FormImpl::HasPendingPaint() const {
  if (!shown_ || destroyed_) return false;
  return std::any_of(paintBoxes_.begin(), paintBoxes_.end(),
                     [](const HeadlessPaintBox* b) { return b->invalid.has_value(); });
}

void FormImpl::DispatchPaint() {
  for (HeadlessPaintBox* box : paintBoxes_) {
    if (!box->invalid) continue;
    const RectEdges area = *box->invalid;
    box->invalid.reset();
    Painting painting(*this, box, area);
    if (box->onPaint) box->onPaint();
    return;
  }
}

void FormImpl::DrawOn(HeadlessPaintBox& box, const std::function<void(Canvas&)>& draw) {
  const RectEdges clip = paintingBox_ == &box ? paintClip_ : box.Whole();
  auto canvas = std::make_unique<RecordingCanvas>(clip);
  if (draw) draw(*canvas);
  ++drawCount_;
  canvases_.push_back(std::move(canvas));
  if (canvases_.size() > kKeptCanvases) canvases_.erase(canvases_.begin());
}

// --- FormImpl: messages and timers ---------------------------------------------

void FormImpl::DeliverWaveMessage(uint32_t message, WaveHeader* header) {
  if (destroyed_) return;
  if (message == kWmClose) Close();
  if (message == kMmWimData && onWaveInData) onWaveInData(header);
  if (message == kMmWomDone && onWaveOutDone) onWaveOutDone(header);
}

Ticks FormImpl::NextTimerDue() const {
  Ticks next = -1;
  for (const auto& t : timers_) {
    const Ticks due = t->Due();
    if (due >= 0 && (next < 0 || due < next)) next = due;
  }
  return next;
}

void FormImpl::MarkDueTimers(Ticks now) {
  for (auto& t : timers_) t->MarkIfDue(now);
}

bool FormImpl::HasPendingTimer() const {
  return std::any_of(timers_.begin(), timers_.end(), [](const auto& t) { return t->Pending(); });
}

void FormImpl::DispatchTimer() {
  for (auto& t : timers_) {
    if (!t->Pending()) continue;
    t->Fire();
    return;
  }
}

}  // namespace lumrio::platform::headless::detail
