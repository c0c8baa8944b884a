// Owners for GDI objects and device contexts, so that nothing created for a
// paint outlives it and nothing stays selected into a DC when it is deleted.
#pragma once

#include <utility>

#include "platform/canvas.h"
#include "platform/win32/win.h"

namespace lumrio::platform::win32 {

inline COLORREF ToColorRef(Color color) {
  return RGB(color.r, color.g, color.b);
}

// A pen, brush, font or bitmap, deleted with its owner.
template <typename Handle>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(Handle handle) : handle_(handle) {}
  GdiObject(GdiObject&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() { Reset(nullptr); }

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  void Reset(Handle handle) {
    if (handle_) ::DeleteObject(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = nullptr;
};

using Pen = GdiObject<HPEN>;
using Brush = GdiObject<HBRUSH>;
using Font = GdiObject<HFONT>;
using Bitmap = GdiObject<HBITMAP>;

// A memory DC compatible with `reference` (the screen when null).
class MemoryDc {
 public:
  explicit MemoryDc(HDC reference) : dc_(::CreateCompatibleDC(reference)) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() {
    if (dc_) ::DeleteDC(dc_);
  }
  HDC Get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  HDC dc_;
};

// A window's DC for drawing outside WM_PAINT. Never the screen's: a null
// window gives no DC.
class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(window ? ::GetDC(window) : nullptr) {}
  WindowDc(HWND window, DWORD flags)
      : window_(window), dc_(window ? ::GetDCEx(window, nullptr, flags) : nullptr) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC Get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// BeginPaint/EndPaint.
class PaintDc {
 public:
  explicit PaintDc(HWND window) : window_(window) { ::BeginPaint(window_, &ps_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;
  ~PaintDc() { ::EndPaint(window_, &ps_); }
  HDC Get() const { return ps_.hdc; }
  explicit operator bool() const { return ps_.hdc != nullptr; }

 private:
  HWND window_;
  PAINTSTRUCT ps_{};
};

// Selects an object into a DC for the lifetime of this guard.
class SelectGuard {
 public:
  SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(::SelectObject(dc, object)) {}
  SelectGuard(const SelectGuard&) = delete;
  SelectGuard& operator=(const SelectGuard&) = delete;
  ~SelectGuard() {
    if (previous_ && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

inline Font CreateFontFrom(const FontDesc& desc) {
  return Font(::CreateFontA(desc.height, 0, 0, 0, FW_NORMAL, FALSE, desc.underline ? TRUE : FALSE,
                            FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, desc.face.c_str()));
}

}  // namespace lumrio::platform::win32
