// A canvas that draws nothing and remembers everything: each operation is
// recorded together with the brush, pen, font and clip it was drawn with.
#include "platform/headless/canvas.h"

namespace lumrio::platform::headless {

RecordingCanvas::RecordingCanvas(RectEdges clip) : clip_(clip) {}

void RecordingCanvas::SetBrush(Color color, BrushStyle style) {
  brush_ = color;
  brushStyle_ = style;
}

void RecordingCanvas::SetPen(Color color) {
  pen_ = color;
}
void RecordingCanvas::SetFont(const FontDesc& font) {
  font_ = font;
}
RectEdges RecordingCanvas::ClipRect() {
  return clip_;
}

namespace {

CanvasOp MakeOp(CanvasOp::Kind kind) {
  CanvasOp op{};
  op.kind = kind;
  return op;
}

}  // namespace

void RecordingCanvas::FillRect(const RectEdges& r) {
  CanvasOp op = MakeOp(CanvasOp::Kind::FillRect);
  op.rect = r;
  Record(std::move(op));
}

void RecordingCanvas::Rectangle(const RectEdges& r) {
  CanvasOp op = MakeOp(CanvasOp::Kind::Rectangle);
  op.rect = r;
  Record(std::move(op));
}

void RecordingCanvas::MoveTo(int x, int y) {
  CanvasOp op = MakeOp(CanvasOp::Kind::MoveTo);
  op.x = x;
  op.y = y;
  Record(std::move(op));
}

void RecordingCanvas::LineTo(int x, int y) {
  CanvasOp op = MakeOp(CanvasOp::Kind::LineTo);
  op.x = x;
  op.y = y;
  Record(std::move(op));
}

int RecordingCanvas::TextWidth(const std::string& text) {
  return kCharWidth * static_cast<int>(text.size());
}

void RecordingCanvas::TextOut(int x, int y, const std::string& text) {
  CanvasOp op = MakeOp(CanvasOp::Kind::TextOut);
  op.x = x;
  op.y = y;
  op.text = text;
  Record(std::move(op));
}

void RecordingCanvas::Polyline(const Point* points, int count) {
  CanvasOp op = MakeOp(CanvasOp::Kind::Polyline);
  if (points && count > 0) op.points.assign(points, points + count);
  Record(std::move(op));
}

void RecordingCanvas::Record(CanvasOp op) {
  op.brush = brush_;
  op.brushStyle = brushStyle_;
  op.pen = pen_;
  op.font = font_;
  op.clip = clip_;
  ops_.push_back(std::move(op));
}

}  // namespace lumrio::platform::headless
