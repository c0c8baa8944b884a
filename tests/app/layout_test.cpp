// Every control of the main window and the window itself, row by row and
// column by column against the form's description: kind, container,
// position, range and initial state, caption, hint, look, tab order, and
// which handlers are wired.
#include <optional>

#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

using platform::Bounds;
using platform::Color;
using platform::Orientation;
using platform::TickMarks;

bool operator==(const Bounds& a, const Bounds& b) {
  return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
}

constexpr Color kBlack{0, 0, 0};
constexpr Color kWhite{255, 255, 255};

struct SliderRow {
  const char* name;
  platform::Slider* Tw_Main::*control;
  platform::GroupBox* Tw_Main::*container;  // null: the form
  Bounds bounds;
  Orientation orientation;
  int min, max, position, line, page, tick;
  TickMarks ticks;
  int thumb;
  const char* hint;
  bool tabStop;
  int tabOrder;
};

// clang-format off
const SliderRow kSliders[] = {
  {"VolumeTrackBar", &Tw_Main::VolumeTrackBar, nullptr, {-3, 66, 24, 87}, Orientation::Vertical,
   1, 6500, 3200, 65, 650, 650, TickMarks::TopLeft, 14, "Volume control", false, 0},
  {"DelayTrackBar", &Tw_Main::DelayTrackBar, &Tw_Main::DelayGroupBox, {2, 15, 323, 21},
   Orientation::Horizontal, 0, 880, 100, 1, 44, 44, TickMarks::BottomRight, 14, "", true, 0},
  {"Slider1F", &Tw_Main::Slider1F, &Tw_Main::EqGroupBox, {2, 19, 24, 92}, Orientation::Vertical,
   0, 80, 40, 1, 2, 8, TickMarks::TopLeft, 15, "1000 Hz Filter", true, 0},
  {"Slider2F", &Tw_Main::Slider2F, &Tw_Main::EqGroupBox, {26, 19, 17, 92}, Orientation::Vertical,
   0, 80, 40, 1, 2, 8, TickMarks::None, 15, "2000 Hz Filter", true, 1},
  {"Slider3F", &Tw_Main::Slider3F, &Tw_Main::EqGroupBox, {42, 19, 17, 92}, Orientation::Vertical,
   0, 80, 40, 1, 2, 8, TickMarks::None, 15, "4000 Hz Filter", true, 2},
  {"Slider4F", &Tw_Main::Slider4F, &Tw_Main::EqGroupBox, {58, 19, 17, 92}, Orientation::Vertical,
   0, 80, 40, 1, 2, 8, TickMarks::None, 15, "8000 Hz Filter", true, 3},
};
// clang-format on

struct LabelRow {
  const char* name;
  platform::Label* label;
  platform::GroupBox* container;
  Bounds bounds;
  const char* caption;  // as created, before start-up sets the scale
  platform::TextAlign align;
  std::optional<Color> color;  // none: the system's window-text colour
  bool underline, transparent, hand, clickable;
};

class LayoutTest : public AppTest {
 protected:
  platform::GroupBox* Box(platform::GroupBox* Tw_Main::*member) {
    return member ? w.get()->*member : nullptr;
  }
  std::vector<LabelRow> Labels() {
    using platform::TextAlign;
    auto* d = w->DelayGroupBox;
    auto* e = w->EqGroupBox;
    // clang-format off
    return {
      {"lb_www", w->lb_www, nullptr, {26, 132, 158, 13}, kHomePageCaption, TextAlign::Left, kWhite,
       true, true, true, true},
      {"lb_0ms", w->lb_0ms, d, {8, 37, 22, 13}, "0 ms", TextAlign::Left, kBlack, false, false, false, false},
      {"lb_1ms", w->lb_1ms, d, {152, 37, 22, 13}, "0 ms", TextAlign::Center, kBlack, false, false, false, false},
      {"lb_2ms", w->lb_2ms, d, {296, 37, 22, 13}, "0 ms", TextAlign::Right, kBlack, false, false, false, false},
      {"lb_1K", w->bandLabels[0], e, {14, 111, 12, 13}, "1k", TextAlign::Left, std::nullopt, false, false, false, false},
      {"lb_2K", w->bandLabels[1], e, {29, 111, 12, 13}, "2k", TextAlign::Left, std::nullopt, false, false, false, false},
      {"lb_3K", w->bandLabels[2], e, {45, 111, 12, 13}, "4k", TextAlign::Left, std::nullopt, false, false, false, false},
      {"lb_4K", w->bandLabels[3], e, {61, 111, 12, 13}, "8k", TextAlign::Left, std::nullopt, false, false, false, false},
    };
    // clang-format on
  }
};

TEST_F(LayoutTest, TheWindow) {
  Start();
  const platform::FormDesc& f = Form().Desc();
  EXPECT_EQ(f.caption, "Quibex Lumrio v 1.72");
  EXPECT_EQ(f.clientWidth, 410);
  EXPECT_EQ(f.clientHeight, 149);
  EXPECT_EQ(f.font.face, "MS Sans Serif");
  EXPECT_EQ(f.font.height, -11);
  EXPECT_NE(f.iconResourceId, 0);
  EXPECT_EQ(hp.Gui().ApplicationTitle(), "lumrio");
  EXPECT_TRUE(Form().Shown());
  // Nineteen controls, the timer, the strip under the scope and the picture.
  EXPECT_EQ(Form().AllControls().size(), 19u);
  ASSERT_EQ(Form().Timers().size(), 1u);
  EXPECT_EQ(Form().Timers()[0], w->TrackTimer);
  EXPECT_FALSE(w->TrackTimer->Enabled());
  EXPECT_EQ(w->TrackTimer->Interval(), 500);
  EXPECT_TRUE(static_cast<bool>(w->TrackTimer->onTimer));
  ASSERT_EQ(Form().Shapes().size(), 1u);
  EXPECT_TRUE(Form().Shapes()[0].bounds == (Bounds{24, 130, 304, 17}));
  EXPECT_EQ(Form().Shapes()[0].fill, kBlack);
  ASSERT_EQ(Form().Pictures().size(), 1u);
  EXPECT_TRUE(Form().Pictures()[0].bounds == (Bounds{6, 52, 15, 15}));
  EXPECT_EQ(w->PaintBox->Parent(), nullptr);
  EXPECT_TRUE(w->PaintBox->GetBounds() == (Bounds{24, 53, 304, 77}));
  EXPECT_TRUE(static_cast<bool>(w->PaintBox->onPaint));
}

TEST_F(LayoutTest, EverySlider) {
  Start();
  for (const SliderRow& row : kSliders) {
    SCOPED_TRACE(row.name);
    const platform::Slider* s = w.get()->*row.control;
    const platform::SliderDesc& d = s->Desc();
    EXPECT_EQ(s->Parent(), Box(row.container));
    EXPECT_TRUE(d.bounds == row.bounds);
    EXPECT_EQ(d.orientation, row.orientation);
    EXPECT_EQ(d.min, row.min);
    EXPECT_EQ(d.max, row.max);
    EXPECT_EQ(d.position, row.position);
    EXPECT_EQ(d.lineSize, row.line);
    EXPECT_EQ(d.pageSize, row.page);
    EXPECT_EQ(d.tickFrequency, row.tick);
    EXPECT_EQ(d.ticks, row.ticks);
    EXPECT_EQ(d.thumbLength, row.thumb);
    EXPECT_EQ(d.hint, row.hint);
    EXPECT_EQ(d.tabStop, row.tabStop);
    EXPECT_EQ(d.tabOrder, row.tabOrder);
    EXPECT_TRUE(static_cast<bool>(s->onChange));
    EXPECT_TRUE(static_cast<bool>(s->onEnter));
  }
}

TEST_F(LayoutTest, EveryLabel) {
  Start();
  for (const LabelRow& row : Labels()) {
    SCOPED_TRACE(row.name);
    const platform::LabelDesc& d = row.label->Desc();
    EXPECT_EQ(row.label->Parent(), row.container);
    EXPECT_TRUE(d.bounds == row.bounds);
    EXPECT_EQ(d.caption, row.caption);
    EXPECT_EQ(d.align, row.align);
    EXPECT_EQ(d.color, row.color);
    EXPECT_EQ(d.underline, row.underline);
    EXPECT_EQ(d.transparent, row.transparent);
    EXPECT_EQ(d.handCursor, row.hand);
    EXPECT_EQ(static_cast<bool>(row.label->onClick), row.clickable);
  }
}

TEST_F(LayoutTest, EveryBox) {
  Start();
  const platform::GroupBoxDesc& delay = w->DelayGroupBox->Desc();
  EXPECT_EQ(w->DelayGroupBox->Parent(), nullptr);
  EXPECT_TRUE(delay.bounds == (Bounds{2, 0, 327, 52}));
  EXPECT_EQ(delay.caption, "Delay");
  EXPECT_EQ(delay.color, kBlack);
  EXPECT_EQ(delay.tabOrder, 1);
  const platform::GroupBoxDesc& eq = w->EqGroupBox->Desc();
  EXPECT_EQ(w->EqGroupBox->Parent(), nullptr);
  EXPECT_TRUE(eq.bounds == (Bounds{331, 21, 78, 127}));
  EXPECT_EQ(eq.caption, "");
  EXPECT_EQ(eq.color, std::nullopt);
  EXPECT_EQ(eq.tabOrder, 3);

  const platform::CheckBoxDesc& x10 = w->cb_X10Delay->Desc();
  EXPECT_EQ(w->cb_X10Delay->Parent(), nullptr);
  EXPECT_TRUE(x10.bounds == (Bounds{335, 3, 73, 17}));
  EXPECT_EQ(x10.caption, "x 10 Delay");
  EXPECT_FALSE(x10.checked);
  EXPECT_EQ(x10.tabOrder, 2);
  EXPECT_TRUE(static_cast<bool>(w->cb_X10Delay->onClick));
  const platform::CheckBoxDesc& eqBox = w->cb_UseFilter->Desc();
  EXPECT_EQ(w->cb_UseFilter->Parent(), w->EqGroupBox);
  EXPECT_TRUE(eqBox.bounds == (Bounds{4, 7, 64, 17}));
  EXPECT_EQ(eqBox.caption, "Equalizer");
  EXPECT_FALSE(eqBox.checked);
  EXPECT_EQ(eqBox.tabOrder, 4);
  // Read for every block; it has no handler of its own.
  EXPECT_FALSE(static_cast<bool>(w->cb_UseFilter->onClick));
}

}  // namespace
}  // namespace lumrio::app::testing
