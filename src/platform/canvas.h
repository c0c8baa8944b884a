// Canvas: the drawing operations the scope needs, with the semantics of a
// classic GDI canvas: a current brush, pen and font; rectangles whose right
// and bottom edges are exclusive; lines that exclude their end point.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumrio::platform {

struct Color {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Color&, const Color&) = default;
};

struct Point {
  int32_t x = 0, y = 0;  // two signed 32-bit integers, x then y
  friend bool operator==(const Point&, const Point&) = default;
};

// Edges: left/top inclusive, right/bottom exclusive.
struct RectEdges {
  int left = 0, top = 0, right = 0, bottom = 0;
  friend bool operator==(const RectEdges&, const RectEdges&) = default;
};

enum class BrushStyle { Solid, Clear };

struct FontDesc {
  std::string face = "MS Sans Serif";
  int height = -11;  // character height in pixels, negative as in LOGFONT
  Color color{};
  bool underline = false;
  friend bool operator==(const FontDesc&, const FontDesc&) = default;
};

class Canvas {
 public:
  virtual ~Canvas() = default;

  virtual void SetBrush(Color color, BrushStyle style) = 0;
  virtual void SetPen(Color color) = 0;  // solid, 1 pixel wide
  virtual void SetFont(const FontDesc& font) = 0;

  // The part of the surface that drawing can reach: during a repaint the
  // area being repainted, otherwise the whole visible surface.
  virtual RectEdges ClipRect() = 0;
  virtual void FillRect(const RectEdges& r) = 0;   // with the brush, no outline
  virtual void Rectangle(const RectEdges& r) = 0;  // pen outline, brush fill unless Clear
  virtual void MoveTo(int x, int y) = 0;
  virtual void LineTo(int x, int y) = 0;  // end point not drawn
  virtual int TextWidth(const std::string& text) = 0;
  // Top-left at (x, y); background per the brush style (Clear: transparent).
  virtual void TextOut(int x, int y, const std::string& text) = 0;
  virtual void Polyline(const Point* points, int count) = 0;
};

}  // namespace lumrio::platform
