// The headless window: control semantics, focus, paint boxes and their
// canvases, close, and the shell.
#include "platform/headless/ui.h"

#include <gtest/gtest.h>

#include "platform/fixture.h"
#include "platform/headless/canvas.h"

namespace lumrio::platform::headless::testing {
namespace {

class UiTest : public PlatformTest {
 protected:
  HeadlessForm& Hf() { return *platform.Gui().MainForm(); }
};

TEST_F(UiTest, SliderFromCodeClampsAndFiresOnlyOnARealChange) {
  SliderDesc desc;
  desc.min = 1;
  desc.max = 6500;
  desc.position = 3200;
  Slider* s = form->AddSlider(nullptr, desc);
  int changes = 0;
  s->onChange = [&] { ++changes; };
  s->SetPosition(3200);
  EXPECT_EQ(0, changes);
  s->SetPosition(9000);
  EXPECT_EQ(6500, s->Position());
  EXPECT_EQ(1, changes);
  s->SetPosition(7000);  // clamps to the same position: no change
  EXPECT_EQ(1, changes);
  s->SetPosition(-5);
  EXPECT_EQ(1, s->Position());
  EXPECT_EQ(2, changes);
}

TEST_F(UiTest, UserNotificationsAlwaysFire) {
  Slider* s = form->AddSlider(nullptr, SliderDesc{});
  CheckBox* c = form->AddCheckBox(nullptr, CheckBoxDesc{});
  int changes = 0, clicks = 0;
  s->onChange = [&] { ++changes; };
  c->onClick = [&] { ++clicks; };
  s->NotifyUserChange(4);
  s->NotifyUserChange(4);  // the release repeats the position
  EXPECT_EQ(2, changes);
  EXPECT_EQ(4, s->Position());
  c->NotifyUserClick(true);
  EXPECT_TRUE(c->Checked());
  c->SetChecked(true);
  EXPECT_EQ(1, clicks);
  c->SetChecked(false);
  EXPECT_EQ(2, clicks);
}

TEST_F(UiTest, FocusGoesToTheParentOnDefocus) {
  GroupBox* group = form->AddGroupBox(nullptr, GroupBoxDesc{});
  Slider* s = form->AddSlider(group, SliderDesc{});
  Slider* other = form->AddSlider(nullptr, SliderDesc{});
  int enters = 0;
  s->onEnter = [&] {
    ++enters;
    form->Defocus(*s);
  };
  Hf().GiveFocus(*s);
  EXPECT_EQ(1, enters);
  EXPECT_EQ(group, Hf().Focused());
  Hf().GiveFocus(*s);  // the focus had moved away: enters again
  EXPECT_EQ(2, enters);
  Hf().GiveFocus(*other);
  form->Defocus(*s);  // not focused: nothing happens
  EXPECT_EQ(other, Hf().Focused());
  form->Defocus(*other);
  EXPECT_EQ(nullptr, Hf().Focused());  // the form itself
  Hf().GiveFocus(*s);
  form->Defocus(*group);  // the group contains the focus
  EXPECT_EQ(nullptr, Hf().Focused());
}

TEST_F(UiTest, DrawOutsideAPaintReachesTheWholeBox) {
  PaintBox* box = form->AddPaintBox(nullptr, {24, 53, 304, 77});
  box->Draw([](Canvas& c) {
    c.SetBrush({0, 0, 0}, BrushStyle::Solid);
    c.FillRect(c.ClipRect());
    c.SetPen({0, 128, 0});
    c.SetBrush({0, 0, 0}, BrushStyle::Clear);
    c.Rectangle({2, 2, 302, 75});
    const Point pts[] = {{2, 38}, {3, 40}};
    c.Polyline(pts, 2);
    EXPECT_EQ(5 * RecordingCanvas::kCharWidth, c.TextWidth("Sound"));
  });
  RecordingCanvas* canvas = Hf().LastCanvas();
  ASSERT_NE(nullptr, canvas);
  const auto& ops = canvas->Ops();
  ASSERT_EQ(3u, ops.size());
  EXPECT_EQ((RectEdges{0, 0, 304, 77}), ops[0].rect);
  EXPECT_EQ(BrushStyle::Solid, ops[0].brushStyle);
  EXPECT_EQ(CanvasOp::Kind::Rectangle, ops[1].kind);
  EXPECT_EQ((Color{0, 128, 0}), ops[1].pen);
  EXPECT_EQ(BrushStyle::Clear, ops[1].brushStyle);
  EXPECT_EQ((std::vector<Point>{{2, 38}, {3, 40}}), ops[2].points);
}

TEST_F(UiTest, APaintDrawsClippedToTheInvalidatedArea) {
  form->Show();
  PaintBox* box = form->AddPaintBox(nullptr, {0, 0, 100, 50});
  std::vector<RectEdges> clips;
  box->onPaint = [&] { box->Draw([&](Canvas& c) { clips.push_back(c.ClipRect()); }); };
  platform.RunFor(0);
  Hf().InvalidatePaintBox(*box, {10, 10, 20, 20});
  Hf().InvalidatePaintBox(*box, {90, 40, 150, 90});  // merged, limited to the box
  platform.RunFor(0);
  EXPECT_EQ((std::vector<RectEdges>{{0, 0, 100, 50}, {10, 10, 100, 50}}), clips);
  box->Draw([&](Canvas& c) { clips.push_back(c.ClipRect()); });
  EXPECT_EQ((RectEdges{0, 0, 100, 50}), clips.back());
}

TEST_F(UiTest, NothingIsPaintedBeforeTheFormIsShown) {
  PaintBox* box = form->AddPaintBox(nullptr, {0, 0, 10, 10});
  int paints = 0;
  box->onPaint = [&] { ++paints; };
  platform.RunForMs(10);
  EXPECT_EQ(0, paints);
  form->Show();
  platform.RunForMs(10);
  EXPECT_EQ(1, paints);
  EXPECT_TRUE(Hf().Shown());
}

TEST_F(UiTest, OnlyTheLatestCanvasesAreKept) {
  PaintBox* box = form->AddPaintBox(nullptr, {0, 0, 10, 10});
  const int draws = static_cast<int>(HeadlessForm::kKeptCanvases) + 10;
  for (int i = 0; i < draws; ++i) box->Draw([i](Canvas& c) { c.MoveTo(i, 0); });
  EXPECT_EQ(HeadlessForm::kKeptCanvases, Hf().Canvases().size());
  EXPECT_EQ(draws, Hf().DrawCount());
  EXPECT_EQ(draws - 1, Hf().LastCanvas()->Ops()[0].x);
  EXPECT_EQ(10, Hf().Canvases().front()->Ops()[0].x);
}

TEST_F(UiTest, CloseQueriesThenDestroysOnce) {
  std::vector<std::string> events;
  bool allow = false;
  form->onCloseQuery = [&] {
    events.push_back("query");
    form->Close();  // a close inside the query is part of it
    return allow;
  };
  form->onDestroy = [&] { events.push_back("destroy"); };
  Timer* t = form->AddTimer(10, true);
  form->Close();
  EXPECT_FALSE(Hf().Destroyed());
  allow = true;
  form->Close();
  form->Close();
  EXPECT_TRUE(Hf().Destroyed());
  EXPECT_FALSE(t->Enabled());
  EXPECT_EQ((std::vector<std::string>{"query", "query", "destroy"}), events);
}

TEST_F(UiTest, ControlsShapesAndPicturesAreKept) {
  GroupBox* g =
      form->AddGroupBox(nullptr, GroupBoxDesc{{1, 2, 3, 4}, "Equalizer", 0, std::nullopt});
  Label* l = form->AddLabel(g, LabelDesc{});
  l->SetCaption("200 ms");
  form->AddShape(nullptr, ShapeDesc{{0, 0, 5, 5}, {1, 2, 3}});
  form->AddPicture(nullptr, PictureDesc{{0, 0, 5, 5}, 7});
  EXPECT_EQ((std::vector<Control*>{g, l}), Hf().AllControls());
  EXPECT_EQ(g, l->Parent());
  EXPECT_EQ("200 ms", l->Caption());
  ASSERT_EQ(1u, Hf().Shapes().size());
  EXPECT_EQ((Color{1, 2, 3}), Hf().Shapes()[0].fill);
  EXPECT_EQ(7, Hf().Pictures()[0].resourceId);
}

TEST_F(UiTest, ShellOpenAndTitleAreRecorded) {
  platform.Gui().SetApplicationTitle("lumrio");
  platform.Gui().ShellOpen(form->Handle(), "http://example.invalid/");
  EXPECT_EQ("lumrio", platform.Gui().ApplicationTitle());
  EXPECT_EQ(std::vector<std::string>{"http://example.invalid/"}, platform.Gui().ShellOpens());
  const auto calls = platform.Log().CallsNamed("ShellExecuteA");
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("http://example.invalid/", calls[0].text);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(form->Handle()), calls[0].args[0]);
}

TEST_F(UiTest, AFormOutlivingThePlatformIsHarmless) {
  auto p = std::make_unique<HeadlessPlatform>();
  auto f = p->Gui().CreateForm(FormDesc{});
  Timer* t = f->AddTimer(10, true);
  bool destroyed = false;
  f->onDestroy = [&] { destroyed = true; };
  p.reset();
  f->Close();
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(t->Enabled());
  f.reset();
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
