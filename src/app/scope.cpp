// Scope drawing and the sample-to-point mapping.
#include "app/scope.h"

#include <cmath>

#include "audio/units.h"

namespace lumrio::app {

using platform::BrushStyle;
using platform::Canvas;
using platform::RectEdges;

platform::FontDesc ScopeFont() {
  platform::FontDesc font;
  font.face = "MS Sans Serif";
  font.height = -11;
  font.color = kScopeText;
  return font;
}

int DelayMilliseconds(int32_t blockLength) {
  return static_cast<int>(std::llround(audio::MsOf(blockLength)));
}

std::string DelayText(int32_t blockLength) {
  return "Sound delay : " + std::to_string(DelayMilliseconds(blockLength)) + " ms";
}

namespace {

void DrawGrid(Canvas& canvas, int w, int h) {
  canvas.Rectangle(RectEdges{2, 2, w - 2, h - 2});
  const int dy = h / 4;
  for (int k = 1; k <= 3; ++k) {
    canvas.MoveTo(2, k * dy);
    canvas.LineTo(w - 2, k * dy);
  }
  const int dx = w / 8;
  for (int k = 1; k <= 7; ++k) {
    canvas.MoveTo(k * dx, 2);
    canvas.LineTo(k * dx, h - 2);
  }
}

void DrawDelayText(Canvas& canvas, const ScopeView& view) {
  canvas.SetFont(ScopeFont());
  const std::string text = DelayText(view.blockLength);
  canvas.TextOut(view.width - canvas.TextWidth(text) - 4, view.height - 18, text);
}

}  // namespace

void DrawScope(Canvas& canvas, const ScopeView& view) {
  canvas.SetBrush(kScopeBackground, BrushStyle::Solid);
  canvas.FillRect(canvas.ClipRect());
  canvas.SetPen(kScopeGrid);
  canvas.SetBrush(kScopeBackground, BrushStyle::Clear);
  DrawGrid(canvas, view.width, view.height);
  DrawDelayText(canvas, view);
  if (view.idle || !view.points || view.blockLength <= 0) return;
  canvas.SetPen(kScopeTrace);
  canvas.Polyline(view.points, view.blockLength);
}

// Step and scale are single precision on purpose: the points must come out
// the same on every build, and the products are then formed in extended
// precision from those float factors, rounding halves to even.
void MapScopePoints(const int16_t* samples, int count, int width, int height,
                    platform::Point* points) {
  if (count <= 0) return;
  const auto step = static_cast<float>(static_cast<long double>(width - 4) / count);
  const auto scale = static_cast<float>(static_cast<long double>(height) / 65536.0L);
  const long double middle = static_cast<long double>(height) / 2.0L;
  for (int i = 0; i < count; ++i) {
    const long double x = static_cast<long double>(i) * static_cast<long double>(step);
    const long double y = middle - static_cast<long double>(samples[i]) * scale;
    points[i].x = static_cast<int32_t>(std::llrint(x) + 2);
    points[i].y = static_cast<int32_t>(std::llrint(y));
  }
}

}  // namespace lumrio::app
