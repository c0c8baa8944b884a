// A Canvas over a GDI device context. It owns every pen, brush and font it
// creates, and on destruction puts the DC back as it found it.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/canvas.h"
#include "platform/win32/gdi.h"

namespace lumrio::platform::win32 {

// Pens, brushes and fonts kept for the life of a surface that is redrawn
// often (the scope redraws after every block, up to 345 times a second), so
// that a redraw selects objects instead of creating and deleting them.
class GdiCache {
 public:
  HPEN PenFor(Color color);
  HBRUSH BrushFor(Color color);
  HFONT FontFor(const FontDesc& desc);

 private:
  static uint32_t Key(Color c) { return (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b; }
  std::map<uint32_t, Pen> pens_;
  std::map<uint32_t, Brush> brushes_;
  std::vector<std::pair<FontDesc, Font>> fonts_;
};

class GdiCanvas : public Canvas {
 public:
  // `font` is the surface's own font, selected until SetFont replaces it; it
  // stays owned by the caller.
  // With a cache, pens, brushes and fonts come from it and stay its own.
  GdiCanvas(HDC dc, HFONT font, GdiCache* cache = nullptr);
  GdiCanvas(const GdiCanvas&) = delete;
  GdiCanvas& operator=(const GdiCanvas&) = delete;
  ~GdiCanvas() override;

  void SetBrush(Color color, BrushStyle style) override;
  void SetPen(Color color) override;
  void SetFont(const FontDesc& font) override;

  RectEdges ClipRect() override;
  void FillRect(const RectEdges& r) override;
  void Rectangle(const RectEdges& r) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  int TextWidth(const std::string& text) override;
  void TextOut(int x, int y, const std::string& text) override;
  void Polyline(const Point* points, int count) override;

 private:
  HDC dc_;
  GdiCache* cache_;
  int savedState_;
  // Members outlive the destructor's body: these are deleted only after its
  // RestoreDC has deselected them from the DC.
  Pen pen_;
  Brush brush_;
  Font font_;
};

}  // namespace lumrio::platform::win32
