// The window's failure reports: one modal box at a time, none lost.
#include "app/box_queue.h"

#include <algorithm>

namespace lumrio::app {

void BoxQueue::Show(BoxKind kind, const std::string& text) {
  if (open_) {
    const bool waiting = std::any_of(waiting_.begin(), waiting_.end(),
                                     [&](const Box& box) { return box.text == text; });
    if (!waiting) waiting_.push_back(Box{kind, text});
    return;
  }
  open_ = true;
  struct Closed {
    bool& open;
    ~Closed() { open = false; }
  } closed{open_};
  show_(kind, text);
  while (!waiting_.empty()) {
    const Box next = waiting_.front();
    waiting_.pop_front();
    show_(next.kind, next.text);
  }
}

}  // namespace lumrio::app
