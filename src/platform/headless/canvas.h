// The recording canvas of the headless platform: every drawing operation is
// kept, with the state it was drawn in, for tests to inspect.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumrio::platform::headless {

// One recorded canvas operation, with the canvas state it was drawn in.
struct CanvasOp {
  enum class Kind { FillRect, Rectangle, MoveTo, LineTo, TextOut, Polyline } kind;
  RectEdges rect{};           // FillRect, Rectangle
  int x = 0, y = 0;           // MoveTo, LineTo, TextOut
  std::string text;           // TextOut
  std::vector<Point> points;  // Polyline
  Color brush{};
  BrushStyle brushStyle = BrushStyle::Solid;
  Color pen{};
  FontDesc font{};
  RectEdges clip{};
};

class RecordingCanvas : public Canvas {
 public:
  explicit RecordingCanvas(RectEdges clip);
  void SetBrush(Color color, BrushStyle style) override;
  void SetPen(Color color) override;
  void SetFont(const FontDesc& font) override;
  RectEdges ClipRect() override;
  void FillRect(const RectEdges& r) override;
  void Rectangle(const RectEdges& r) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  // A fixed-pitch model of "MS Sans Serif" 8 pt: kCharWidth pixels a character.
  int TextWidth(const std::string& text) override;
  void TextOut(int x, int y, const std::string& text) override;
  void Polyline(const Point* points, int count) override;

  static constexpr int kCharWidth = 5;
  const std::vector<CanvasOp>& Ops() const { return ops_; }

 private:
  void Record(CanvasOp op);  // stamps the current state onto the op
  std::vector<CanvasOp> ops_;
  Color brush_{};
  BrushStyle brushStyle_ = BrushStyle::Solid;
  Color pen_{};
  FontDesc font_{};
  RectEdges clip_;
};

}  // namespace lumrio::platform::headless
