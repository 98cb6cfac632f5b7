#include "faultline/ui/screenshot.h"

#include <algorithm>
#include <mutex>

#include "faultline/ui/png_writer.h"

namespace {

// The monitor functions exist from Windows 98 and 2000 on; looked up so that an older system
// falls back to the whole desktop.
bool NearestMonitorRect(HWND nearTo, RECT& rect) {
  HMODULE user = GetModuleHandleA("user32.dll");
  if (!user) return false;
  using TMonitorFromWindow = HMONITOR(WINAPI*)(HWND, DWORD);
  using TGetMonitorInfo = BOOL(WINAPI*)(HMONITOR, MONITORINFO*);
  auto fromWindow = reinterpret_cast<TMonitorFromWindow>(reinterpret_cast<void*>(GetProcAddress(user, "MonitorFromWindow")));
  auto info = reinterpret_cast<TGetMonitorInfo>(reinterpret_cast<void*>(GetProcAddress(user, "GetMonitorInfoA")));
  if (!fromWindow || !info) return false;
  HMONITOR monitor = fromWindow(nearTo, MONITOR_DEFAULTTONEAREST);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (!monitor || !info(monitor, &mi)) return false;
  rect = mi.rcMonitor;
  return true;
}

std::mutex& CaptureLock() {
  static std::mutex m;
  return m;
}

TScreenshot& ProcessCapture() {
  static TScreenshot capture;
  return capture;
}

}  // namespace

TScreenshotMarks RecordScreenshotMarks(DWORD threadId) {
  TScreenshotMarks marks;
  if (threadId == 0) {
    HWND foreground = GetForegroundWindow();
    if (foreground) threadId = GetWindowThreadProcessId(foreground, nullptr);
  }
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  if (threadId && GetGUIThreadInfo(threadId, &gui)) marks.Focus = gui.hwndFocus;
  CURSORINFO ci{};
  ci.cbSize = sizeof ci;
  if (GetCursorInfo(&ci) && (ci.flags & CURSOR_SHOWING)) {
    marks.Cursor = ci.hCursor;
    marks.CursorPos = ci.ptScreenPos;
  } else {
    GetCursorPos(&marks.CursorPos);
    marks.Cursor = GetCursor();
  }
  return marks;
}

bool TScreenshot::Capture(bool foregroundOnly, const TScreenshotMarks& marks) {
  Release();
  HWND foreground = GetForegroundWindow();
  POINT origin{0, 0};
  if (foregroundOnly && foreground) {
    window_ = foreground;
    GetWindowRect(window_, &rect_);
  } else {
    window_ = GetDesktopWindow();
    GetWindowRect(window_, &rect_);
    RECT monitor;
    if (NearestMonitorRect(foreground ? foreground : window_, monitor)) rect_ = monitor;
    origin = {rect_.left, rect_.top};
  }
  const LONG w = rect_.right - rect_.left;
  const LONG h = rect_.bottom - rect_.top;
  width_ = w > 0 ? uint32_t(w) : 1;
  height_ = h > 0 ? uint32_t(h) : 1;
  stride_ = ((width_ * 8 + 31) & ~31u) / 8;

  windowDc_ = GetWindowDC(window_);
  if (!windowDc_) {
    window_ = nullptr;
    return false;
  }
  memoryDc_ = CreateCompatibleDC(windowDc_);
  bitmap_ = memoryDc_ ? CreateCompatibleBitmap(windowDc_, int(stride_), int(height_)) : nullptr;
  if (!bitmap_) {
    Release();
    return false;
  }
  oldBitmap_ = SelectObject(memoryDc_, bitmap_);

  if (GetDeviceCaps(windowDc_, RASTERCAPS) & RC_PALETTE) {
    // A palette device: the copy keeps the system palette's colours.
    struct {
      LOGPALETTE Head;
      PALETTEENTRY More[255];
    } logical{};
    logical.Head.palVersion = 0x300;
    logical.Head.palNumEntries =
        WORD(GetSystemPaletteEntries(windowDc_, 0, 256, logical.Head.palPalEntry));
    if (logical.Head.palNumEntries) {
      palette_ = CreatePalette(&logical.Head);
      if (palette_) {
        oldPalette_ = SelectPalette(memoryDc_, palette_, FALSE);
        RealizePalette(memoryDc_);
      }
    }
  }

  BitBlt(memoryDc_, 0, 0, int(width_), int(height_), windowDc_, origin.x, origin.y, SRCCOPY);

  // The focused control, framed twice for a frame 2 pixels wide.
  if (marks.Focus && IsWindow(marks.Focus)) {
    RECT r;
    if (GetWindowRect(marks.Focus, &r)) {
      OffsetRect(&r, -rect_.left, -rect_.top);
      HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
      if (red) {
        FrameRect(memoryDc_, &r, red);
        InflateRect(&r, -1, -1);
        FrameRect(memoryDc_, &r, red);
        DeleteObject(red);
      }
    }
  }

  if (marks.Cursor) {
    POINT hot{0, 0};
    ICONINFO ii{};
    if (GetIconInfo(marks.Cursor, &ii)) {
      hot = {LONG(ii.xHotspot), LONG(ii.yHotspot)};
      if (ii.hbmMask) DeleteObject(ii.hbmMask);
      if (ii.hbmColor) DeleteObject(ii.hbmColor);
    }
    DrawIconEx(memoryDc_, marks.CursorPos.x - rect_.left - hot.x, marks.CursorPos.y - rect_.top - hot.y,
               marks.Cursor, 32, 32, 0, nullptr, DI_NORMAL);
  }
  GdiFlush();
  return true;
}

bool TScreenshot::ReadDib(std::vector<uint8_t>& bits, size_t& rowBytes) const {
  if (!memoryDc_) return false;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = LONG(stride_);
  bi.bmiHeader.biHeight = LONG(height_);  // bottom-up
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  rowBytes = (size_t(stride_) * 3 + 3) & ~size_t(3);
  bits.assign(rowBytes * height_, 0);
  // The bitmap must not be selected into a context while GetDIBits reads it.
  SelectObject(memoryDc_, oldBitmap_);
  const int rows = GetDIBits(memoryDc_, bitmap_, 0, height_, bits.data(), &bi, DIB_RGB_COLORS);
  SelectObject(memoryDc_, bitmap_);
  return rows == int(height_);
}

std::vector<uint8_t> TScreenshot::Pixels() const {
  std::vector<uint8_t> dib;
  size_t rowBytes = 0;
  if (!ReadDib(dib, rowBytes)) return {};
  std::vector<uint8_t> out(size_t(width_) * 3 * height_);
  for (uint32_t y = 0; y < height_; ++y)
    std::copy_n(&dib[(height_ - 1 - y) * rowBytes], size_t(width_) * 3, &out[size_t(y) * width_ * 3]);
  return out;
}

std::string TScreenshot::EncodePng() const {
  std::vector<uint8_t> dib;
  size_t rowBytes = 0;
  if (!ReadDib(dib, rowBytes)) return {};
  // Only the captured width is a picture; the bitmap's extra columns up to its 4-pixel stride
  // were never copied into and are left out of the colours too. The colours are mapped by our
  // own nearest-colour search, not by GDI's palette conversion, which would not pick the nearest
  // entry of a palette that is not the system's.
  return EncodeScreenshotPng(width_, height_, dib.data(), rowBytes, TRowOrder::BottomUp);
}

bool TScreenshot::Save(const std::string& path) const {
  if (path.empty() || !memoryDc_) return false;
  std::string png;
  try {
    png = EncodePng();
  } catch (const EPngError&) {
    return false;
  }
  if (png.empty()) return false;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(f, png.data(), DWORD(png.size()), &written, nullptr) && written == png.size();
  CloseHandle(f);
  if (!ok) DeleteFileA(path.c_str());  // a cut-off picture is worse than none
  return ok;
}

void TScreenshot::Release() {
  if (memoryDc_) {
    if (oldPalette_) SelectPalette(memoryDc_, oldPalette_, FALSE);
    if (oldBitmap_) SelectObject(memoryDc_, oldBitmap_);
  }
  if (palette_) DeleteObject(palette_);
  if (bitmap_) DeleteObject(bitmap_);
  if (memoryDc_) DeleteDC(memoryDc_);
  if (windowDc_) ReleaseDC(window_, windowDc_);
  palette_ = nullptr;
  oldPalette_ = nullptr;
  bitmap_ = nullptr;
  oldBitmap_ = nullptr;
  memoryDc_ = nullptr;
  windowDc_ = nullptr;
  window_ = nullptr;
  width_ = height_ = stride_ = 0;
  rect_ = {0, 0, 0, 0};
}

void ScreenshotCapture(bool foregroundOnly, const TScreenshotMarks& marks) {
  std::lock_guard<std::mutex> guard(CaptureLock());
  ProcessCapture().Capture(foregroundOnly, marks);
}

void ScreenshotSave(const std::string& path) {
  std::lock_guard<std::mutex> guard(CaptureLock());
  ProcessCapture().Save(path);
}

void ScreenshotRelease() {
  std::lock_guard<std::mutex> guard(CaptureLock());
  ProcessCapture().Release();
}
