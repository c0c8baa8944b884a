// The failure-box queue: one box at a time, and a failure raised under an
// open box shown once after it.
#include "app/box_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumrio::app {
namespace {

struct Shown {
  BoxKind kind;
  std::string text;
  int openAtOnce;
};

// A box that, while it is open, raises `raised` (as device messages handled
// by the box's message loop would).
class BoxQueueTest : public ::testing::Test {
 protected:
  std::vector<Shown> shown;
  std::vector<std::pair<BoxKind, std::string>> raised;
  int open = 0;
  BoxQueue queue{[this](BoxKind kind, const std::string& text) {
    ++open;
    shown.push_back({kind, text, open});
    const auto now = std::exchange(raised, {});
    for (const auto& [k, t] : now) queue.Show(k, t);
    --open;
  }};

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Shown& s : shown) texts.push_back(s.text);
    return texts;
  }
};

TEST_F(BoxQueueTest, AFailureUnderAnOpenBoxIsShownOnceAfterIt) {
  raised = {{BoxKind::Message, "Out Unprepare error."},
            {BoxKind::Message, "Out Unprepare error."},
            {BoxKind::Error, "settings"}};
  queue.Show(BoxKind::Message, "Wave out error.");
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"Wave out error.", "Out Unprepare error.", "settings"}));
  for (const Shown& s : shown) EXPECT_EQ(s.openAtOnce, 1) << s.text;
  EXPECT_EQ(shown[2].kind, BoxKind::Error);
  EXPECT_FALSE(queue.Open());
}

TEST_F(BoxQueueTest, OpenOnlyWhileABoxIsUp) {
  std::vector<bool> openInside;
  BoxQueue q{[&](BoxKind, const std::string&) { openInside.push_back(q.Open()); }};
  EXPECT_FALSE(q.Open());
  q.Show(BoxKind::Message, "x");
  EXPECT_FALSE(q.Open());
  // The same text may be shown again once its box has closed.
  q.Show(BoxKind::Message, "x");
  EXPECT_EQ(openInside, (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace lumrio::app
