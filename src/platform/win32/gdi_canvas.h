// A Canvas over a GDI device context. It owns every pen, brush and font it
// creates, and on destruction puts the DC back as it found it.
#pragma once

#include "platform/canvas.h"
#include "platform/win32/gdi.h"

namespace lumrio::platform::win32 {

class GdiCanvas : public Canvas {
 public:
  // `font` is the surface's own font, selected until SetFont replaces it; it
  // stays owned by the caller.
  GdiCanvas(HDC dc, HFONT font);
  GdiCanvas(const GdiCanvas&) = delete;
  GdiCanvas& operator=(const GdiCanvas&) = delete;
  ~GdiCanvas() override;

  void SetBrush(Color color, BrushStyle style) override;
  void SetPen(Color color) override;
  void SetFont(const FontSpec& font) override;

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
  int savedState_;
  // Declared after the DC state: destroyed only once RestoreDC has deselected them.
  Pen pen_;
  Brush brush_;
  Font font_;
};

}  // namespace lumrio::platform::win32
