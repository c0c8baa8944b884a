// The main window: its controls, the delay rule, the life-cycle handlers and
// the handlers that turn control changes into engine actions.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/box_queue.h"
#include "audio/engine.h"
#include "dsp/equalizer.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace lumrio::app {

inline constexpr const char* kCaption = "Quibex Lumrio v 1.72";
inline constexpr const char* kApplicationTitle = "lumrio";
inline constexpr const char* kHomePageCaption = "www.quibex.com/lumrio";
inline constexpr const char* kHomePageUrl = "https://www.quibex.com/lumrio";
inline constexpr int kClientWidth = 410;
inline constexpr int kClientHeight = 149;
inline constexpr int kDelayCountdownMs = 500;
// The scope is redrawn for a block only if its last drawing is at least this
// old (about one display frame).
inline constexpr int64_t kScopeFrameMs = 15;

// Block length from the delay controls: 10 or 100 samples a step, never
// below 64.
int32_t BlockLengthFor(int position, bool x10);

// The volume word for a slider position: both channels at 65000 - 10 * P.
uint32_t VolumeWord(int position);

// Where the window is in its life. A close asked for while work below runs
// the message loop (the creation, a stop or start, a box) is put off, and
// retried from one place once that work has finished.
enum class WindowState { Creating, Running, ClosePutOff, Closing, Destroyed };

class Tw_Main : private audio::EngineHost {
 public:
  explicit Tw_Main(platform::Platform& platform);
  ~Tw_Main() override;
  Tw_Main(const Tw_Main&) = delete;
  Tw_Main& operator=(const Tw_Main&) = delete;

  // Life cycle.
  void FormCreate();
  bool FormCloseQuery();
  void FormDestroy();
  void FormEndSession();

  // Handlers.
  void DelayTrackBarChange();
  void TrackTimerTimer();
  void cb_X10DelayClick();
  void VolumeTrackBarChange();
  void Equalizer(platform::Slider* sender);
  // The form designer's name for this handler; kept as it is.
  void _DefocusControl(platform::Slider* sender);  // NOLINT(bugprone-reserved-identifier)
  void lb_wwwClick();
  void PaintBoxPaint();
  void DrawScope();

  // The engine's device messages.
  void MMWimData(platform::WaveHeader* header);
  void MMWomDone(platform::WaveHeader* header);

  platform::Form& Form() { return *form_; }
  audio::Engine& Engine() { return engine_; }
  const dsp::EqualizerBank& Bank() const { return bank_; }
  bool Idle() const { return engine_.Idle(); }
  WindowState State() const { return state_; }
  int32_t BlockLength() const { return engine_.BlockLength(); }

  // Controls, in the order of the window's layout.
  platform::PaintBox* PaintBox = nullptr;
  platform::Label* lb_www = nullptr;
  platform::Slider* VolumeTrackBar = nullptr;
  platform::GroupBox* DelayGroupBox = nullptr;
  platform::Label* lb_0ms = nullptr;
  platform::Label* lb_1ms = nullptr;
  platform::Label* lb_2ms = nullptr;
  platform::Slider* DelayTrackBar = nullptr;
  platform::CheckBox* cb_X10Delay = nullptr;
  platform::GroupBox* EqGroupBox = nullptr;
  std::array<platform::Label*, 4> bandLabels{};
  platform::Slider* Slider1F = nullptr;
  platform::Slider* Slider2F = nullptr;
  platform::Slider* Slider3F = nullptr;
  platform::Slider* Slider4F = nullptr;
  platform::CheckBox* cb_UseFilter = nullptr;
  platform::Timer* TrackTimer = nullptr;

 private:
  void CreateControls();
  void CreateDelayGroup();
  void CreateEqualizerGroup();
  void WireHandlers();
  std::array<platform::Slider*, 4> BandSliders() const;
  std::vector<settings::Setting> SettingsTable();
  void CreateSteps();
  void ShowError(const std::string& text);
  void ShowBox(BoxKind kind, const std::string& text);
  void ApplyDelayControls();
  void ApplyDelay();
  void SaveSettings();
  bool CanCloseNow() const;
  void RetryPutOffClose();

  // EngineHost.
  platform::WindowHandle NotifyWindow() override;
  void ShowMessage(const std::string& text) override;
  void PumpMessages() override;
  void FillPlayback(const int16_t* captured, int16_t* playback, int count) override;
  void MapScope(const int16_t* captured, platform::Point* points, int count) override;
  void BlockProcessed() override;

  platform::Platform& platform_;
  std::unique_ptr<platform::Form> form_;
  audio::Engine engine_;
  dsp::EqualizerBank bank_;
  BoxQueue boxes_;
  WindowState state_ = WindowState::Creating;
  bool settingsLoaded_ = false;
  int64_t lastBlockDrawMs_ = -1;
};

}  // namespace lumrio::app
