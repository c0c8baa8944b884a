// The headless window system: the application side the program talks to, and
// the form interface through which tests drive and inspect the windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/canvas.h"
#include "platform/headless/ticks.h"
#include "platform/platform.h"

namespace lumrio::platform::headless {

class HeadlessPlatform;

class HeadlessForm;

class HeadlessUi : public Ui {
 public:
  explicit HeadlessUi(HeadlessPlatform& owner);
  ~HeadlessUi() override;

  void SetApplicationTitle(const std::string& title) override;
  std::unique_ptr<Form> CreateForm(const FormDesc& desc) override;
  void ProcessMessages() override;
  void WaitForMessage(int64_t timeoutMs) override;
  int64_t Milliseconds() override;  // the virtual clock
  double ClockMs() override;
  void Run() override;  // runs the virtual clock until the form is destroyed (bounded)
  void MessageBox(const std::string& text) override;
  void ErrorBox(const std::string& text) override;
  void ShellOpen(WindowHandle owner, const std::string& url) override;

  const std::string& ApplicationTitle() const;
  // Every message box and error box shown, in order.
  const std::vector<std::string>& MessageBoxes() const;
  const std::vector<std::string>& ErrorBoxes() const;
  int OpenBoxes() const;     // boxes open right now
  int MaxOpenBoxes() const;  // the most ever open at once
  // While a box is open, keep the message loop running for this much virtual
  // time before the user presses OK (0: the box returns at once, pumping
  // only what is pending).
  void SetBoxPumpTime(Ticks t);
  const std::vector<std::string>& ShellOpens() const;
  // How often the program has pumped the message loop (ProcessMessages) and
  // waited for a message (WaitForMessage).
  int64_t Pumps() const;
  int64_t Waits() const;

  // The form created last (null before), for tests.
  HeadlessForm* MainForm() const;
  // Run() gives up after this much virtual time if the form is still open
  // (default: ten minutes).
  void SetRunLimit(Ticks limit);
  // The n-th window of the next form cannot be created (0: the form itself,
  // 1: its first control, ...; -1: none fails).
  void FailCreation(int window);

 private:
  struct State;
  HeadlessPlatform& owner_;
  std::unique_ptr<State> s_;
  friend class HeadlessPlatform;
  friend class HeadlessForm;
};

// The headless form: controls keep their state; tests drive them through the
// controls' Notify* calls and through these.
class HeadlessForm : public Form {
 public:
  // Posts a repaint of part of the paint box (box coordinates); it is handled
  // by the next ProcessMessages / RunFor.
  virtual void InvalidatePaintBox(PaintBox& box, RectEdges area) = 0;
  // The canvas of the last Draw on any paint box (null before).
  virtual RecordingCanvas* LastCanvas() = 0;
  // Every canvas drawn on so far, oldest first.
  virtual const std::vector<std::unique_ptr<RecordingCanvas>>& Canvases() const = 0;
  virtual bool Shown() const = 0;
  virtual bool Destroyed() const = 0;
  virtual Control* Focused() const = 0;
  virtual void GiveFocus(
      Control& control) = 0;  // as a mouse click would; runs the slider's onEnter
  // All controls in creation order, for inspection.
  virtual std::vector<Control*> AllControls() const = 0;
  virtual std::vector<Timer*> Timers() const = 0;
  // The user's session ends (logoff, shutdown): runs onEndSession.
  virtual void EndSession() = 0;

  // Canvases() keeps only the most recent kKeptCanvases canvases, so that a
  // long run (a redraw per captured block) does not grow without bound;
  // DrawCount() counts every Draw ever made.
  static constexpr size_t kKeptCanvases = 256;
  virtual int64_t DrawCount() const = 0;
  virtual const FormDesc& Desc() const = 0;
  virtual const std::vector<ShapeDesc>& Shapes() const = 0;
  virtual const std::vector<PictureDesc>& Pictures() const = 0;
};

}  // namespace lumrio::platform::headless
