// The window's failure reports: one modal box at a time, none lost.
//
// A box runs the message loop while it is open, and device messages keep
// coming; a failure raised meanwhile cannot open a second box over the first
// (the user could never get back to the window), so it waits and is shown
// once the open box has closed.
#pragma once

#include <deque>
#include <functional>
#include <string>

namespace lumrio::app {

enum class BoxKind { Message, Error };

class BoxQueue {
 public:
  using ShowBox = std::function<void(BoxKind, const std::string&)>;
  explicit BoxQueue(ShowBox show) : show_(std::move(show)) {}

  // Shows the box now, or, while another is open, once it has closed. A text
  // already waiting is not queued twice.
  void Show(BoxKind kind, const std::string& text);
  bool Open() const { return open_; }

 private:
  struct Box {
    BoxKind kind;
    std::string text;
  };
  ShowBox show_;
  std::deque<Box> waiting_;
  bool open_ = false;
};

}  // namespace lumrio::app
