#pragma once
// The report's screenshot: the foreground window (or the screen it is on) copied into a memory
// bitmap at the moment the exception is handled, with the control that had the keyboard focus
// framed in red and the mouse cursor drawn in; later, only when the report is delivered with a
// screenshot, written as an 8-bit palette PNG. Windows only.
//
// The pixels are copied at capture time, so whatever opens afterwards (the exception dialog above
// all) never shows up in the picture, however late the file is written.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What the handler recorded when it caught the exception: the control with the keyboard focus
// and the mouse cursor with its position on the screen.
struct TScreenshotMarks {
  HWND Focus = nullptr;
  HCURSOR Cursor = nullptr;  // none: no cursor is drawn
  POINT CursorPos{0, 0};
};

// The marks as they are now, for the faulting thread threadId (0: the foreground window's
// thread). Focus is read through the thread's GUI information, so this works from any thread.
TScreenshotMarks RecordScreenshotMarks(DWORD threadId = 0);

// One capture. Capture replaces any earlier one; the destructor releases it.
class TScreenshot {
 public:
  TScreenshot() = default;
  ~TScreenshot() { Release(); }
  TScreenshot(const TScreenshot&) = delete;
  TScreenshot& operator=(const TScreenshot&) = delete;

  // With foregroundOnly (options SendFlags bit 0x0020) the foreground window's rectangle, else the
  // monitor nearest to the foreground window (the whole desktop when the system cannot tell
  // monitors apart). False when no picture could be taken.
  bool Capture(bool foregroundOnly, const TScreenshotMarks& marks);
  // Writes the capture as "Screenshot.png"-style file; an empty path or no capture writes nothing.
  // Returns whether the file was written (callers may ignore it: a missing file is dropped from
  // the attachments).
  bool Save(const std::string& path) const;
  // The PNG bytes of the capture (empty without a capture).
  std::string EncodePng() const;
  void Release();

  bool Captured() const { return memoryDc_ != nullptr; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  // The captured rectangle on the screen.
  RECT ScreenRect() const { return rect_; }
  // The captured pixels as 24-bit rows (blue, green, red), top row first, 3 * Width bytes each,
  // no padding. Empty without a capture.
  std::vector<uint8_t> Pixels() const;

 private:
  // The bitmap's pixels as a bottom-up 24-bit DIB of stride_ pixels per row.
  bool ReadDib(std::vector<uint8_t>& bits, size_t& rowBytes) const;

  HWND window_ = nullptr;
  HDC windowDc_ = nullptr;
  HDC memoryDc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  HPALETTE palette_ = nullptr;
  HPALETTE oldPalette_ = nullptr;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t stride_ = 0;  // width rounded up to 4 pixels
  RECT rect_{0, 0, 0, 0};
};

// The process-wide capture of the report flow: one at a time, taken before the dialog, saved only
// when the report is delivered with a screenshot, always released after that decision.
void ScreenshotCapture(bool foregroundOnly, const TScreenshotMarks& marks);
void ScreenshotSave(const std::string& path);  // empty path: nothing is done
void ScreenshotRelease();
#endif
