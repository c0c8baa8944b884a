// The scope: what it draws, in which order and colours, and where the
// samples land.
#include "app/scope.h"

#include <vector>

#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

using hl::CanvasOp;
using hl::RecordingCanvas;
using platform::Point;
using platform::RectEdges;
using Kind = CanvasOp::Kind;

std::vector<Point> Map(const std::vector<int16_t>& samples, int width = 304, int height = 77) {
  std::vector<Point> points(samples.size());
  MapScopePoints(samples.data(), static_cast<int>(samples.size()), width, height, points.data());
  return points;
}

TEST(ScopeMapping, SamplesToRows) {
  const auto p = Map({0, 1, -1, 1000, 32767, -32768});
  EXPECT_EQ(p[0].y, 38);  // 38.5 goes to the even 38: silence lies on the middle line
  EXPECT_EQ(p[1].y, 38);
  EXPECT_EQ(p[2].y, 39);
  EXPECT_EQ(p[3].y, 37);
  EXPECT_EQ(p[4].y, 0);
  EXPECT_EQ(p[5].y, 77);
}

TEST(ScopeMapping, ColumnsSpreadTheBlockOverTheBox) {
  const auto wide = Map(std::vector<int16_t>(1000));
  EXPECT_EQ(wide.front().x, 2);
  EXPECT_EQ(wide.back().x, 302);
  for (size_t i = 1; i < wide.size(); ++i) EXPECT_GE(wide[i].x, wide[i - 1].x);

  const auto shortest = Map(std::vector<int16_t>(64));
  EXPECT_EQ(shortest[0].x, 2);
  EXPECT_EQ(shortest[8].x, 40);    // 37.5 rounds to 38
  EXPECT_EQ(shortest[24].x, 114);  // 112.5 rounds to 112
  EXPECT_EQ(shortest[63].x, 297);
}

TEST(ScopeText, DelayInWholeMilliseconds) {
  EXPECT_EQ(DelayMilliseconds(1000), 45);
  EXPECT_EQ(DelayMilliseconds(64), 3);
  EXPECT_EQ(DelayMilliseconds(4400), 200);
  EXPECT_EQ(DelayMilliseconds(88000), 3991);
  EXPECT_EQ(DelayMilliseconds(0), 0);
  EXPECT_EQ(DelayText(1000), "Sound delay : 45 ms");
}

std::vector<CanvasOp> Draw(const ScopeView& view, RectEdges clip) {
  RecordingCanvas canvas(clip);
  DrawScope(canvas, view);
  return canvas.Ops();
}

TEST(ScopeDrawing, FrameGridAndTextInOrderAndColour) {
  const auto ops = Draw(ScopeView{304, 77, 1000, true, nullptr}, RectEdges{0, 0, 304, 77});
  ASSERT_GE(ops.size(), 23u);
  EXPECT_EQ(ops[0].kind, Kind::FillRect);
  EXPECT_EQ(ops[0].rect, (RectEdges{0, 0, 304, 77}));
  EXPECT_EQ(ops[0].brush, kScopeBackground);
  EXPECT_EQ(ops[0].brushStyle, platform::BrushStyle::Solid);

  EXPECT_EQ(ops[1].kind, Kind::Rectangle);
  EXPECT_EQ(ops[1].rect, (RectEdges{2, 2, 302, 75}));
  EXPECT_EQ(ops[1].pen, kScopeGrid);
  EXPECT_EQ(ops[1].brushStyle, platform::BrushStyle::Clear);

  std::vector<std::pair<Point, Point>> lines;
  for (size_t i = 2; i + 1 < ops.size(); ++i) {
    if (ops[i].kind == Kind::MoveTo && ops[i + 1].kind == Kind::LineTo) {
      EXPECT_EQ(ops[i + 1].pen, kScopeGrid);
      lines.push_back({{ops[i].x, ops[i].y}, {ops[i + 1].x, ops[i + 1].y}});
    }
  }
  ASSERT_EQ(lines.size(), 10u);
  const int rows[] = {19, 38, 57};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(lines[static_cast<size_t>(k)].first, (Point{2, rows[k]}));
    EXPECT_EQ(lines[static_cast<size_t>(k)].second, (Point{302, rows[k]}));
  }
  for (int k = 1; k <= 7; ++k) {
    EXPECT_EQ(lines[static_cast<size_t>(2 + k)].first, (Point{38 * k, 2}));
    EXPECT_EQ(lines[static_cast<size_t>(2 + k)].second, (Point{38 * k, 75}));
  }

  const CanvasOp& text = ops.back();
  ASSERT_EQ(text.kind, Kind::TextOut);
  EXPECT_EQ(text.text, "Sound delay : 45 ms");
  EXPECT_EQ(text.x, 304 - RecordingCanvas::kCharWidth * 19 - 4);
  EXPECT_EQ(text.y, 59);
  EXPECT_EQ(text.font.color, kScopeText);
  EXPECT_EQ(text.font.face, "MS Sans Serif");
  EXPECT_EQ(text.font.height, -11);
  EXPECT_EQ(text.brushStyle, platform::BrushStyle::Clear);
}

TEST(ScopeDrawing, TraceOnlyWhenRunning) {
  const std::vector<Point> points = Map(std::vector<int16_t>(64, 500));
  auto idle = Draw(ScopeView{304, 77, 64, true, points.data()}, RectEdges{0, 0, 304, 77});
  for (const auto& op : idle) EXPECT_NE(op.kind, Kind::Polyline);

  auto running = Draw(ScopeView{304, 77, 64, false, points.data()}, RectEdges{0, 0, 304, 77});
  ASSERT_EQ(running.back().kind, Kind::Polyline);
  EXPECT_EQ(running.back().points, points);
  EXPECT_EQ(running.back().pen, kScopeTrace);
}

TEST(ScopeDrawing, APartialRepaintFillsOnlyThatPart) {
  const RectEdges part{100, 10, 150, 40};
  const auto ops = Draw(ScopeView{304, 77, 1000, true, nullptr}, part);
  EXPECT_EQ(ops[0].rect, part);
  EXPECT_EQ(ops[1].rect, (RectEdges{2, 2, 302, 75}));  // the rest is drawn in full, clipped
}

class ScopeInWindowTest : public AppTest {};

TEST_F(ScopeInWindowTest, DrawnAfterEveryBlockWithTheLatestSamples) {
  hp.Sound().SetInput([](int64_t) { return int16_t{1000}; });
  StartRunning();
  const size_t blocks = hp.Sound().Written().size();
  const int64_t drawn = Form().DrawCount();
  RunMs(500);
  EXPECT_EQ(static_cast<size_t>(Form().DrawCount() - drawn), hp.Sound().Written().size() - blocks);
  const auto& ops = Form().LastCanvas()->Ops();
  ASSERT_EQ(ops.back().kind, Kind::Polyline);
  ASSERT_EQ(ops.back().points.size(), 1000u);
  for (const auto& p : ops.back().points) EXPECT_EQ(p.y, 37);
}

TEST_F(ScopeInWindowTest, ShortBlocksAreDrawnAtMostOnceAFrame) {
  hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "Delay", 0);  // 64 samples
  StartRunning();
  const size_t blocks = hp.Sound().Written().size();
  const int64_t drawn = Form().DrawCount();
  RunMs(1000);
  const auto blocksInASecond = hp.Sound().Written().size() - blocks;
  const auto drawsInASecond = Form().DrawCount() - drawn;
  EXPECT_GE(blocksInASecond, 340u);
  EXPECT_LE(drawsInASecond, 1000 / kScopeFrameMs + 1);
  EXPECT_GE(drawsInASecond, 1000 / kScopeFrameMs - 20);
  // What is drawn is always the latest block's trace.
  ASSERT_EQ(Form().LastCanvas()->Ops().back().points.size(), 64u);
}

TEST_F(ScopeInWindowTest, PaintShowsNoTraceWhileIdle) {
  Start();
  Form().InvalidatePaintBox(*w->PaintBox, RectEdges{0, 0, 304, 77});
  RunMs(1);
  ASSERT_NE(Form().LastCanvas(), nullptr);
  for (const auto& op : Form().LastCanvas()->Ops()) EXPECT_NE(op.kind, Kind::Polyline);
  EXPECT_EQ(Form().LastCanvas()->Ops().back().text, "Sound delay : 45 ms");
}

TEST_F(ScopeInWindowTest, RefusedFormatShowsZeroDelay) {
  hp.Sound().RefuseOutFormat(true);
  Start();
  Form().InvalidatePaintBox(*w->PaintBox, RectEdges{0, 0, 304, 77});
  RunMs(1);
  ASSERT_NE(Form().LastCanvas(), nullptr);
  EXPECT_EQ(Form().LastCanvas()->Ops().back().text, "Sound delay : 0 ms");
}

}  // namespace
}  // namespace lumrio::app::testing
