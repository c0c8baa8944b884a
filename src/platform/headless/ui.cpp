// The headless window system's application side: forms, modal boxes that
// run the message loop while open, the shell, and the clock the program sees.
#include <algorithm>
#include <stdexcept>

#include "platform/headless/form.h"

namespace lumrio::platform::headless {

namespace detail {
namespace {

constexpr int kSwShow = 5;
constexpr uint64_t kShellSuccess = 42;  // ShellExecuteA returns > 32 on success

}  // namespace
}  // namespace detail

struct HeadlessUi::State {
  explicit State(HeadlessPlatform& o) : owner(o) {}

  HeadlessPlatform& owner;
  std::string title;
  std::vector<std::string> messageBoxes, errorBoxes, shellOpens;
  int openBoxes = 0;
  int maxOpenBoxes = 0;
  Ticks boxPumpTime = 0;
  Ticks runLimit = 10 * 60 * 1000 * kTicksPerMs;
  int failCreationAt = -1;
  std::vector<detail::FormImpl*> forms;
  detail::FormImpl* mainForm = nullptr;

  detail::Loop& Loop() { return owner.s_->loop; }
  CallLog& Log() { return owner.s_->log; }

  // A modal box: logged, counted while open, and running the message loop
  // until the user presses OK.
  void Box(const char* name, const std::string& text, std::vector<std::string>& shown) {
    const WindowHandle parent = mainForm ? mainForm->Handle() : nullptr;
    Call call{name, {reinterpret_cast<uintptr_t>(parent)}, text};
    Log().Enter(call);
    shown.push_back(text);
    ++openBoxes;
    maxOpenBoxes = std::max(maxOpenBoxes, openBoxes);
    struct Closer {
      int& open;
      ~Closer() { --open; }
    } closer{openBoxes};
    if (boxPumpTime > 0) {
      Loop().RunUntil(nullptr, boxPumpTime);
    } else {
      Loop().DispatchPending();
    }
  }
};

HeadlessUi::HeadlessUi(HeadlessPlatform& owner)
    : owner_(owner), s_(std::make_unique<State>(owner)) {}

HeadlessUi::~HeadlessUi() {
  for (detail::FormImpl* f : s_->forms) f->Orphan();
}

void HeadlessUi::SetApplicationTitle(const std::string& title) {
  s_->title = title;
}

std::unique_ptr<Form> HeadlessUi::CreateForm(const FormDesc& desc) {
  State* s = s_.get();
  if (s->failCreationAt == 0) throw std::runtime_error("Error creating window");
  auto form = std::make_unique<detail::FormImpl>(s->Loop(), desc, [s](detail::FormImpl* gone) {
    std::erase(s->forms, gone);
    if (s->mainForm == gone) s->mainForm = nullptr;
  });
  form->failControlAt_ = s->failCreationAt - 1;
  s->forms.push_back(form.get());
  s->mainForm = form.get();
  return form;
}

int64_t HeadlessUi::Milliseconds() {
  return owner_.Now() / kTicksPerMs;
}

double HeadlessUi::ClockMs() {
  return static_cast<double>(owner_.Now()) / kTicksPerMs;
}

void HeadlessUi::ProcessMessages() {
  s_->Loop().ProcessMessages();
}

void HeadlessUi::WaitForMessage(int64_t timeoutMs) {
  s_->Loop().WaitForMessage(timeoutMs * kTicksPerMs);
}

void HeadlessUi::Run() {
  State* s = s_.get();
  s->Loop().RunUntil([s] { return !s->mainForm || s->mainForm->Destroyed(); }, s->runLimit);
}

void HeadlessUi::MessageBox(const std::string& text) {
  s_->Box("MessageBox", text, s_->messageBoxes);
}
void HeadlessUi::ErrorBox(const std::string& text) {
  s_->Box("ErrorBox", text, s_->errorBoxes);
}

void HeadlessUi::ShellOpen(WindowHandle owner, const std::string& url) {
  Call call{"ShellExecuteA", {reinterpret_cast<uintptr_t>(owner), detail::kSwShow}, url};
  if (s_->Log().Enter(call)) return;
  s_->shellOpens.push_back(url);
  s_->Log().SetResult(call, detail::kShellSuccess);
}

const std::string& HeadlessUi::ApplicationTitle() const {
  return s_->title;
}
const std::vector<std::string>& HeadlessUi::MessageBoxes() const {
  return s_->messageBoxes;
}
const std::vector<std::string>& HeadlessUi::ErrorBoxes() const {
  return s_->errorBoxes;
}
int HeadlessUi::OpenBoxes() const {
  return s_->openBoxes;
}
int HeadlessUi::MaxOpenBoxes() const {
  return s_->maxOpenBoxes;
}
void HeadlessUi::SetBoxPumpTime(Ticks t) {
  s_->boxPumpTime = t;
}
int64_t HeadlessUi::Pumps() const {
  return s_->Loop().Pumps();
}
int64_t HeadlessUi::Waits() const {
  return s_->Loop().Waits();
}
const std::vector<std::string>& HeadlessUi::ShellOpens() const {
  return s_->shellOpens;
}
HeadlessForm* HeadlessUi::MainForm() const {
  return s_->mainForm;
}
void HeadlessUi::FailCreation(int window) {
  s_->failCreationAt = window;
}
void HeadlessUi::SetRunLimit(Ticks limit) {
  s_->runLimit = limit;
}

}  // namespace lumrio::platform::headless
