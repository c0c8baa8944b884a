// A Canvas over a GDI device context.
#include "platform/win32/gdi_canvas.h"

#include <cstddef>
#include <limits>

namespace lumrio::platform::win32 {
namespace {

// Polyline hands the points straight to GDI.
static_assert(sizeof(Point) == sizeof(POINT));
static_assert(offsetof(Point, x) == offsetof(POINT, x));
static_assert(offsetof(Point, y) == offsetof(POINT, y));

RECT ToRect(const RectEdges& r) {
  return RECT{r.left, r.top, r.right, r.bottom};
}

int TextLength(const std::string& text) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int>::max());
  return static_cast<int>(text.size() < kMax ? text.size() : kMax);
}

}  // namespace

HPEN GdiCache::PenFor(Color color) {
  Pen& pen = pens_[Key(color)];
  if (!pen) pen.Reset(::CreatePen(PS_SOLID, 1, ToColorRef(color)));
  return pen.Get();
}

HBRUSH GdiCache::BrushFor(Color color) {
  Brush& brush = brushes_[Key(color)];
  if (!brush) brush.Reset(::CreateSolidBrush(ToColorRef(color)));
  return brush.Get();
}

HFONT GdiCache::FontFor(const FontDesc& desc) {
  for (auto& [known, font] : fonts_) {
    if (known == desc && font) return font.Get();
  }
  Font font = CreateFontFrom(desc);
  if (!font) return nullptr;
  fonts_.emplace_back(desc, std::move(font));
  return fonts_.back().second.Get();
}

GdiCanvas::GdiCanvas(HDC dc, HFONT font, GdiCache* cache)
    : dc_(dc), cache_(cache), savedState_(::SaveDC(dc)) {
  if (font) ::SelectObject(dc_, font);
  ::SetTextColor(dc_, RGB(0, 0, 0));
  ::SetBkColor(dc_, RGB(255, 255, 255));
  ::SetBkMode(dc_, OPAQUE);
}

GdiCanvas::~GdiCanvas() {
  if (savedState_ != 0) ::RestoreDC(dc_, savedState_);
}

void GdiCanvas::SetBrush(Color color, BrushStyle style) {
  if (style == BrushStyle::Clear) {
    ::SelectObject(dc_, ::GetStockObject(NULL_BRUSH));
    ::SetBkMode(dc_, TRANSPARENT);
    brush_.Reset(nullptr);
    return;
  }
  if (cache_) {
    const HBRUSH cached = cache_->BrushFor(color);
    if (!cached) return;
    ::SelectObject(dc_, cached);
    brush_.Reset(nullptr);
  } else {
    Brush brush(::CreateSolidBrush(ToColorRef(color)));
    if (!brush) return;
    ::SelectObject(dc_, brush.Get());
    brush_ = std::move(brush);  // the previous one is no longer selected
  }
  ::SetBkMode(dc_, OPAQUE);
  ::SetBkColor(dc_, ToColorRef(color));
}

void GdiCanvas::SetPen(Color color) {
  if (cache_) {
    const HPEN cached = cache_->PenFor(color);
    if (!cached) return;
    ::SelectObject(dc_, cached);
    pen_.Reset(nullptr);
    return;
  }
  Pen pen(::CreatePen(PS_SOLID, 1, ToColorRef(color)));
  if (!pen) return;
  ::SelectObject(dc_, pen.Get());
  pen_ = std::move(pen);
}

void GdiCanvas::SetFont(const FontDesc& desc) {
  if (cache_) {
    const HFONT cached = cache_->FontFor(desc);
    if (!cached) return;
    ::SelectObject(dc_, cached);
    font_.Reset(nullptr);
    ::SetTextColor(dc_, ToColorRef(desc.color));
    return;
  }
  Font font = CreateFontFrom(desc);
  if (!font) return;
  ::SelectObject(dc_, font.Get());
  font_ = std::move(font);
  ::SetTextColor(dc_, ToColorRef(desc.color));
}

RectEdges GdiCanvas::ClipRect() {
  RECT r{};
  if (::GetClipBox(dc_, &r) == ERROR) return {};
  return RectEdges{r.left, r.top, r.right, r.bottom};
}

void GdiCanvas::FillRect(const RectEdges& r) {
  const RECT rect = ToRect(r);
  const auto brush = static_cast<HBRUSH>(::GetCurrentObject(dc_, OBJ_BRUSH));
  if (brush) ::FillRect(dc_, &rect, brush);
}

void GdiCanvas::Rectangle(const RectEdges& r) {
  ::Rectangle(dc_, r.left, r.top, r.right, r.bottom);
}

void GdiCanvas::MoveTo(int x, int y) {
  ::MoveToEx(dc_, x, y, nullptr);
}

void GdiCanvas::LineTo(int x, int y) {
  ::LineTo(dc_, x, y);
}

int GdiCanvas::TextWidth(const std::string& text) {
  SIZE size{};
  if (!::GetTextExtentPoint32A(dc_, text.c_str(), TextLength(text), &size)) return 0;
  return size.cx;
}

void GdiCanvas::TextOut(int x, int y, const std::string& text) {
  ::TextOutA(dc_, x, y, text.c_str(), TextLength(text));
}

void GdiCanvas::Polyline(const Point* points, int count) {
  if (!points || count < 2) return;
  ::Polyline(dc_, reinterpret_cast<const POINT*>(points), count);
}

}  // namespace lumrio::platform::win32
