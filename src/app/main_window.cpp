// The main window: layout, start-up, close, and the control handlers.
#include "app/main_window.h"

#include <cstring>

#include "app/resources.h"
#include "app/scope.h"

namespace lumrio::app {

using platform::Bounds;
using platform::CheckBoxDesc;
using platform::Color;
using platform::GroupBoxDesc;
using platform::LabelDesc;
using platform::Orientation;
using platform::SliderDesc;
using platform::TextAlign;
using platform::TickMarks;

namespace {

constexpr Color kBlack{0, 0, 0};
constexpr Color kWhite{255, 255, 255};

platform::FormDesc MainFormDesc() {
  platform::FormDesc desc;
  desc.caption = kCaption;
  desc.clientWidth = kClientWidth;
  desc.clientHeight = kClientHeight;
  desc.font.face = "MS Sans Serif";
  desc.font.height = -11;
  desc.iconResourceId = kIconMain;
  return desc;
}

LabelDesc ScaleLabel(Bounds bounds, TextAlign align) {
  LabelDesc desc;
  desc.bounds = bounds;
  desc.caption = "0 ms";
  desc.align = align;
  desc.color = kBlack;
  return desc;
}

SliderDesc BandSliderDesc(int index, Bounds bounds) {
  SliderDesc desc;
  desc.bounds = bounds;
  desc.orientation = Orientation::Vertical;
  desc.min = 0;
  desc.max = 80;
  desc.position = 40;
  desc.lineSize = 1;
  desc.pageSize = 2;
  desc.tickFrequency = 8;
  desc.ticks = index == 0 ? TickMarks::TopLeft : TickMarks::None;
  desc.thumbLength = 15;
  desc.hint = dsp::kBands[static_cast<size_t>(index)].hint;
  desc.tabOrder = index;
  return desc;
}

}  // namespace

int32_t BlockLengthFor(int position, bool x10) {
  const int32_t length = position * (x10 ? 100 : 10);
  return length < 64 ? 64 : length;
}

// Both channels get the same level: the stream is mono, so a channel that
// ran the other way (or at a tenth of the level) would fight the slider.
uint32_t VolumeWord(int position) {
  const auto level = static_cast<uint32_t>(65000 - 10 * position) & 0xFFFFu;
  return (level << 16) | level;
}

Tw_Main::Tw_Main(platform::Platform& platform)
    : platform_(platform),
      form_(platform.ui.CreateForm(MainFormDesc())),
      engine_(platform, *this),
      boxes_([this](BoxKind kind, const std::string& text) { ShowBox(kind, text); }) {
  CreateControls();
  WireHandlers();
}

Tw_Main::~Tw_Main() {
  bank_.Free();
}

void Tw_Main::CreateControls() {
  auto& f = *form_;
  PaintBox = f.AddPaintBox(nullptr, Bounds{24, 53, 304, 77});
  f.AddShape(nullptr, platform::ShapeDesc{Bounds{24, 130, 304, 17}, kBlack});
  f.AddPicture(nullptr, platform::PictureDesc{Bounds{6, 52, 15, 15}, kBitmapMicrophone});

  LabelDesc www;
  www.bounds = Bounds{26, 132, 158, 13};
  www.caption = kHomePageCaption;
  www.color = kWhite;
  www.underline = true;
  www.transparent = true;
  www.handCursor = true;
  lb_www = f.AddLabel(nullptr, www);

  SliderDesc volume;
  volume.bounds = Bounds{-3, 66, 24, 87};
  volume.orientation = Orientation::Vertical;
  volume.min = 1;
  volume.max = 6500;
  volume.position = 3200;
  volume.lineSize = 65;
  volume.pageSize = 650;
  volume.tickFrequency = 650;
  volume.ticks = TickMarks::TopLeft;
  volume.thumbLength = 14;
  volume.hint = "Volume control";
  volume.tabStop = false;
  volume.tabOrder = 0;
  VolumeTrackBar = f.AddSlider(nullptr, volume);

  CreateDelayGroup();
  CreateEqualizerGroup();
  TrackTimer = f.AddTimer(kDelayCountdownMs, false);
}

void Tw_Main::CreateDelayGroup() {
  auto& f = *form_;
  DelayGroupBox = f.AddGroupBox(nullptr, GroupBoxDesc{Bounds{2, 0, 327, 52}, "Delay", 1, kBlack});
  lb_0ms = f.AddLabel(DelayGroupBox, ScaleLabel(Bounds{8, 37, 22, 13}, TextAlign::Left));
  lb_1ms = f.AddLabel(DelayGroupBox, ScaleLabel(Bounds{152, 37, 22, 13}, TextAlign::Center));
  lb_2ms = f.AddLabel(DelayGroupBox, ScaleLabel(Bounds{296, 37, 22, 13}, TextAlign::Right));

  SliderDesc delay;
  delay.bounds = Bounds{2, 15, 323, 21};
  delay.orientation = Orientation::Horizontal;
  delay.min = 0;
  delay.max = 880;
  delay.position = 100;
  delay.lineSize = 1;
  delay.pageSize = 44;
  delay.tickFrequency = 44;
  delay.ticks = TickMarks::BottomRight;
  delay.thumbLength = 14;
  delay.tabOrder = 0;
  DelayTrackBar = f.AddSlider(DelayGroupBox, delay);

  cb_X10Delay =
      f.AddCheckBox(nullptr, CheckBoxDesc{Bounds{335, 3, 73, 17}, "x 10 Delay", false, 2});
}

void Tw_Main::CreateEqualizerGroup() {
  auto& f = *form_;
  EqGroupBox = f.AddGroupBox(nullptr, GroupBoxDesc{Bounds{331, 21, 78, 127}, "", 3, std::nullopt});
  const int labelLefts[4] = {14, 29, 45, 61};
  for (size_t i = 0; i < 4; ++i) {
    LabelDesc desc;
    desc.bounds = Bounds{labelLefts[i], 111, 12, 13};
    desc.caption = dsp::kBands[i].label;
    bandLabels[i] = f.AddLabel(EqGroupBox, desc);
  }
  Slider1F = f.AddSlider(EqGroupBox, BandSliderDesc(0, Bounds{2, 19, 24, 92}));
  Slider2F = f.AddSlider(EqGroupBox, BandSliderDesc(1, Bounds{26, 19, 17, 92}));
  Slider3F = f.AddSlider(EqGroupBox, BandSliderDesc(2, Bounds{42, 19, 17, 92}));
  Slider4F = f.AddSlider(EqGroupBox, BandSliderDesc(3, Bounds{58, 19, 17, 92}));
  cb_UseFilter =
      f.AddCheckBox(EqGroupBox, CheckBoxDesc{Bounds{4, 7, 64, 17}, "Equalizer", false, 4});
}

std::array<platform::Slider*, 4> Tw_Main::BandSliders() const {
  return {Slider1F, Slider2F, Slider3F, Slider4F};
}

void Tw_Main::WireHandlers() {
  PaintBox->onPaint = [this] { PaintBoxPaint(); };
  lb_www->onClick = [this] { lb_wwwClick(); };
  VolumeTrackBar->onChange = [this] { VolumeTrackBarChange(); };
  DelayTrackBar->onChange = [this] { DelayTrackBarChange(); };
  cb_X10Delay->onClick = [this] { cb_X10DelayClick(); };
  TrackTimer->onTimer = [this] { TrackTimerTimer(); };
  for (platform::Slider* slider : BandSliders()) {
    slider->onChange = [this, slider] { Equalizer(slider); };
  }
  for (platform::Slider* slider :
       {VolumeTrackBar, DelayTrackBar, Slider1F, Slider2F, Slider3F, Slider4F}) {
    slider->onEnter = [this, slider] { _DefocusControl(slider); };
  }
  form_->onCloseQuery = [this] { return FormCloseQuery(); };
  form_->onDestroy = [this] { FormDestroy(); };
  form_->onEndSession = [this] { FormEndSession(); };
  form_->onWaveInData = [this](platform::WaveHeader* h) { MMWimData(h); };
  form_->onWaveOutDone = [this](platform::WaveHeader* h) { MMWomDone(h); };
}

std::vector<settings::Setting> Tw_Main::SettingsTable() {
  auto slider = [](const char* name, int32_t def, platform::Slider* s) {
    return settings::Setting{name, def, [s] { return static_cast<int32_t>(s->Position()); },
                             [s](int32_t v) { s->SetPosition(v); }};
  };
  auto box = [](const char* name, platform::CheckBox* c) {
    return settings::Setting{name, 0, [c] { return c->Checked() ? 1 : 0; },
                             [c](int32_t v) { c->SetChecked(v != 0); }};
  };
  return {slider("Volume", 3200, VolumeTrackBar),
          slider("Delay", 100, DelayTrackBar),
          box("Equalizer", cb_UseFilter),
          slider(dsp::kBands[0].settingName, 40, Slider1F),
          slider(dsp::kBands[1].settingName, 40, Slider2F),
          slider(dsp::kBands[2].settingName, 40, Slider3F),
          slider(dsp::kBands[3].settingName, 40, Slider4F),
          box("X10", cb_X10Delay)};
}

void Tw_Main::FormCreate() {
  CreateSteps();
  if (state_ == WindowState::Creating) state_ = WindowState::Running;
  RetryPutOffClose();
}

// Idle is true from the engine's creation: the first step of the sequence.
void Tw_Main::CreateSteps() {
  if (!engine_.CheckFormat()) return;
  settings::SettingsStore(platform_.registry, [this](const std::string& e) {
    ShowError(e);
  }).Load(SettingsTable());
  settingsLoaded_ = true;
  ApplyDelayControls();
  std::array<int, 4> positions{};
  for (size_t i = 0; i < 4; ++i) positions[i] = BandSliders()[i]->Position();
  bank_.SetUp(positions);
  engine_.StartAudio();
}

// Destroying the window under a drain would leave it waiting for buffers
// that can no longer be delivered, and a settings error would open a second
// box over the first: so no close while the creation, a stop or start, or a
// box runs the message loop below.
bool Tw_Main::CanCloseNow() const {
  const bool alive = state_ == WindowState::Running || state_ == WindowState::ClosePutOff;
  return alive && !engine_.Busy() && !boxes_.Open();
}

bool Tw_Main::FormCloseQuery() {
  if (state_ == WindowState::Closing || state_ == WindowState::Destroyed) return false;
  if (!CanCloseNow()) {
    state_ = WindowState::ClosePutOff;
    return false;
  }
  state_ = WindowState::Closing;
  // A countdown still pending must not restart the engine during or after
  // the close.
  TrackTimer->SetEnabled(false);
  if (!engine_.Idle()) engine_.StopAudio();
  SaveSettings();
  state_ = WindowState::Destroyed;
  return true;
}

void Tw_Main::FormDestroy() {
  state_ = WindowState::Destroyed;
  bank_.Free();
}

// The session is ending and the process will be ended with it, perhaps
// before a stop on a device that hands nothing back has waited out its
// patience: so the settings are saved first, then the window closes as its
// close box would (saving again costs nothing). When the close cannot run
// here (a stop, a start or a box is in progress below), the save is all;
// the devices go with the process.
void Tw_Main::FormEndSession() {
  if (state_ == WindowState::Destroyed) return;
  SaveSettings();
  if (CanCloseNow()) form_->Close();
}

// Values the user never saw loaded must not overwrite the stored ones.
void Tw_Main::SaveSettings() {
  if (!settingsLoaded_) return;
  settings::SettingsStore(platform_.registry, [this](const std::string& e) {
    ShowError(e);
  }).Save(SettingsTable());
}

// The one place a put-off close is taken up again. It is posted, not run
// here: this may be called from inside a control's handler (a box closing
// under a slider's notification), and the close must not destroy the
// window under it.
void Tw_Main::RetryPutOffClose() {
  if (state_ == WindowState::ClosePutOff && CanCloseNow()) form_->PostClose();
}

void Tw_Main::ApplyDelayControls() {
  const bool x10 = cb_X10Delay->Checked();
  lb_0ms->SetCaption(x10 ? "0 sec" : "0 ms");
  lb_1ms->SetCaption(x10 ? "2 sec" : "200 ms");
  lb_2ms->SetCaption(x10 ? "4 sec" : "400 ms");
  engine_.SetBlockLength(BlockLengthFor(DelayTrackBar->Position(), x10));
}

void Tw_Main::DelayTrackBarChange() {
  if (engine_.Idle()) return;
  TrackTimer->SetEnabled(false);
  TrackTimer->SetEnabled(true);
}

void Tw_Main::TrackTimerTimer() {
  TrackTimer->SetEnabled(false);
  ApplyDelay();
}

void Tw_Main::cb_X10DelayClick() {
  if (engine_.Idle()) return;
  TrackTimer->SetEnabled(false);
  ApplyDelay();
}

// Stop, rule, start. Never inside a close, and never inside another stop or
// start or under a box: those run the message loop, and this would free the
// buffers the work below is using. Such a change is retried by the
// countdown once that work has finished; the rule then reads the controls
// as they are.
void Tw_Main::ApplyDelay() {
  if (state_ != WindowState::Running) return;
  if (engine_.Busy() || boxes_.Open()) {
    TrackTimer->SetEnabled(true);
    return;
  }
  if (engine_.State() == audio::EngineState::Running) engine_.StopAudio();
  if (state_ == WindowState::Running) {
    ApplyDelayControls();
    engine_.StartAudio();
  }
  // A close asked for during the stop or start leaves the engine stopped.
  RetryPutOffClose();
}

void Tw_Main::VolumeTrackBarChange() {
  if (engine_.Idle()) return;
  const uint32_t word = VolumeWord(VolumeTrackBar->Position());
  if (platform_.audio.WaveOutSetVolume(engine_.WaveOutHandle(), word) != platform::kMmNoError) {
    ShowMessage("Error changing the Volume");
  }
}

void Tw_Main::Equalizer(platform::Slider* sender) {
  if (engine_.Idle()) return;
  const auto sliders = BandSliders();
  for (int band = 0; band < 4; ++band) {
    if (sliders[static_cast<size_t>(band)] == sender) bank_.Redesign(band, sender->Position());
  }
}

void Tw_Main::_DefocusControl(platform::Slider* sender) {
  form_->Defocus(*sender);
}

void Tw_Main::lb_wwwClick() {
  platform_.ui.ShellOpen(form_->Handle(), kHomePageUrl);
}

void Tw_Main::PaintBoxPaint() {
  DrawScope();
}

void Tw_Main::DrawScope() {
  const ScopeView view{PaintBox->Width(), PaintBox->Height(), engine_.BlockLength(), engine_.Idle(),
                       engine_.ScopePoints()};
  PaintBox->Draw([&view](platform::Canvas& canvas) { app::DrawScope(canvas, view); });
}

void Tw_Main::MMWimData(platform::WaveHeader* header) {
  engine_.MMWimData(header);
}

void Tw_Main::MMWomDone(platform::WaveHeader* header) {
  engine_.MMWomDone(header);
}

platform::WindowHandle Tw_Main::NotifyWindow() {
  return form_->Handle();
}

void Tw_Main::ShowMessage(const std::string& text) {
  boxes_.Show(BoxKind::Message, text);
  RetryPutOffClose();
}

// Settings errors share the queue with device failures.
void Tw_Main::ShowError(const std::string& text) {
  boxes_.Show(BoxKind::Error, text);
  RetryPutOffClose();
}

void Tw_Main::ShowBox(BoxKind kind, const std::string& text) {
  if (kind == BoxKind::Error) {
    platform_.ui.ErrorBox(text);
  } else {
    platform_.ui.MessageBox(text);
  }
}

void Tw_Main::PumpMessages() {
  platform_.ui.ProcessMessages();
}

// The box is read once per block, so a block is never partly equalized.
void Tw_Main::FillPlayback(const int16_t* captured, int16_t* playback, int count) {
  if (cb_UseFilter->Checked() && bank_.IsSetUp()) {
    dsp::EqualizeBlock(bank_, captured, playback, count);
  } else {
    std::memcpy(playback, captured, sizeof(int16_t) * static_cast<size_t>(count));
  }
}

// Blocks of 64 samples come 345 times a second. Drawing every one of them
// costs the GUI thread far more than any display can show, and on a busy
// machine that time is taken from the sound: a block handled late is an
// audible gap. So a block is drawn only when the last drawing is a display
// frame old; blocks of 15 ms (331 samples) and longer are all drawn.
void Tw_Main::BlockProcessed() {
  const int64_t now = platform_.ui.Milliseconds();
  if (lastBlockDrawMs_ >= 0 && now - lastBlockDrawMs_ < kScopeFrameMs) return;
  lastBlockDrawMs_ = now;
  DrawScope();
}

void Tw_Main::MapScope(const int16_t* captured, platform::Point* points, int count) {
  MapScopePoints(captured, count, PaintBox->Width(), PaintBox->Height(), points);
}

}  // namespace lumrio::app
