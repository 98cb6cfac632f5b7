// Screenshots of windows with known content. Each test checks the captured pixels itself (the red
// frame of the focused control, the drawn cursor, the painted colours) and leaves the PNG file
// beside a PPM copy of the raw capture in the folder named by TARN_SHOT_DIR (a Unix path), where
// check_screenshots.py decodes both with Python's imaging library and compares them.
#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "faultline/ui/screenshot.h"
#include "tests/wine_support.h"

namespace {

std::string ShotDir() {
  const std::string unixDir = wine_test::Env("TARN_SHOT_DIR");
  return unixDir.empty() ? std::string(".") : wine_test::FromUnix(unixDir);
}

void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  } while (int(end - GetTickCount()) > 0);
}

// A window that paints a picture given as 24-bit top-down rows (blue, green, red) of its size.
struct TPictureWindow {
  HWND Window = nullptr;
  int Width, Height;
  std::vector<uint8_t> Bgr;

  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TPictureWindow*>(GetWindowLongPtrA(w, GWLP_USERDATA));
    if (m == WM_PAINT && self) {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(w, &ps);
      BITMAPINFO bi{};
      bi.bmiHeader.biSize = sizeof bi.bmiHeader;
      bi.bmiHeader.biWidth = self->Width;
      bi.bmiHeader.biHeight = -self->Height;
      bi.bmiHeader.biPlanes = 1;
      bi.bmiHeader.biBitCount = 24;
      // Rows of the DIB are padded to 4 bytes.
      const size_t stride = (size_t(self->Width) * 3 + 3) & ~size_t(3);
      std::vector<uint8_t> padded(stride * self->Height);
      for (int y = 0; y < self->Height; ++y)
        std::copy_n(&self->Bgr[size_t(y) * self->Width * 3], size_t(self->Width) * 3, &padded[y * stride]);
      SetDIBitsToDevice(dc, 0, 0, self->Width, self->Height, 0, 0, 0, self->Height, padded.data(), &bi,
                        DIB_RGB_COLORS);
      EndPaint(w, &ps);
      return 0;
    }
    if (m == WM_ERASEBKGND) return 1;
    return DefWindowProcA(w, m, wp, lp);
  }

  TPictureWindow(int x, int y, int w, int h, std::vector<uint8_t> bgr, HWND parent = nullptr)
      : Width(w), Height(h), Bgr(std::move(bgr)) {
    static bool registered = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = Proc;
      wc.hInstance = GetModuleHandleA(nullptr);
      wc.lpszClassName = "ShotPicture";
      wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
      return RegisterClassA(&wc) != 0;
    }();
    (void)registered;
    Window = CreateWindowExA(parent ? 0 : WS_EX_TOPMOST, "ShotPicture", "", parent ? WS_CHILD | WS_VISIBLE : WS_POPUP,
                             x, y, w, h, parent, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!parent) {
      ShowWindow(Window, SW_SHOW);
      SetForegroundWindow(Window);
    }
    InvalidateRect(Window, nullptr, FALSE);
    UpdateWindow(Window);
  }
  ~TPictureWindow() { DestroyWindow(Window); }
};

std::vector<uint8_t> Flat(int w, int h, COLORREF c) {
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (size_t i = 0; i < out.size(); i += 3) {
    out[i] = GetBValue(c);
    out[i + 1] = GetGValue(c);
    out[i + 2] = GetRValue(c);
  }
  return out;
}

// Four bands of flat colour, one row of 64 grey steps.
std::vector<uint8_t> Bands(int w, int h) {
  static const COLORREF colours[4] = {RGB(10, 120, 200), RGB(250, 240, 20), RGB(30, 160, 60), RGB(240, 240, 240)};
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      COLORREF c = colours[std::min(3, y * 4 / h)];
      if (y == 5) c = RGB(x % 64 * 4, x % 64 * 4, x % 64 * 4);
      uint8_t* p = &out[(size_t(y) * w + x) * 3];
      p[0] = GetBValue(c);
      p[1] = GetGValue(c);
      p[2] = GetRValue(c);
    }
  return out;
}

struct TRgbPixel {
  uint8_t R, G, B;
};
TRgbPixel At(const std::vector<uint8_t>& bgr, uint32_t width, int x, int y) {
  const uint8_t* p = &bgr[(size_t(y) * width + x) * 3];
  return {p[2], p[1], p[0]};
}
bool Is(const TRgbPixel& p, COLORREF c) { return p.R == GetRValue(c) && p.G == GetGValue(c) && p.B == GetBValue(c); }

// The raw capture as a binary PPM (red, green, blue), the reference the PNG is judged against.
void SavePpm(const std::string& path, const TScreenshot& shot, const std::vector<uint8_t>& bgr) {
  std::string out = "P6\n" + std::to_string(shot.Width()) + " " + std::to_string(shot.Height()) + "\n255\n";
  for (size_t i = 0; i < bgr.size(); i += 3) {
    out += char(bgr[i + 2]);
    out += char(bgr[i + 1]);
    out += char(bgr[i]);
  }
  wine_test::WriteFile(path, out);
}

void SaveBoth(const std::string& name, const TScreenshot& shot, const std::vector<uint8_t>& pixels) {
  SavePpm(ShotDir() + "\\" + name + ".ppm", shot, pixels);
  ASSERT_TRUE(shot.Save(ShotDir() + "\\" + name + ".png"));
}

TEST(Screenshot, ForegroundWindowWithFocusFrameAndCursorKeepsThePictureOfTheMoment) {
  const int x0 = 120, y0 = 90, w = 203, h = 150;  // a width that is not a multiple of 4
  TPictureWindow main(x0, y0, w, h, Bands(w, h));
  TPictureWindow control(40, 60, 50, 30, Flat(50, 30, RGB(200, 200, 255)), main.Window);
  SetFocus(control.Window);
  Pump(300);
  ASSERT_EQ(GetForegroundWindow(), main.Window);

  // The marks are read from another thread, as the report thread does.
  TScreenshotMarks marks;
  const DWORD uiThread = GetCurrentThreadId();
  std::thread([&] { marks = RecordScreenshotMarks(uiThread); }).join();
  EXPECT_EQ(marks.Focus, control.Window);
  marks.Cursor = LoadCursorA(nullptr, IDC_ARROW);
  marks.CursorPos = {x0 + 150, y0 + 100};

  TScreenshot shot;
  ASSERT_TRUE(shot.Capture(true, marks));
  EXPECT_EQ(shot.Width(), uint32_t(w));
  EXPECT_EQ(shot.Height(), uint32_t(h));
  const std::vector<uint8_t> pixels = shot.Pixels();
  ASSERT_EQ(pixels.size(), size_t(w) * h * 3);

  // The painted bands, away from the control and the cursor.
  EXPECT_TRUE(Is(At(pixels, w, 10, 10), RGB(10, 120, 200)));
  EXPECT_TRUE(Is(At(pixels, w, 180, 50), RGB(250, 240, 20)));
  EXPECT_TRUE(Is(At(pixels, w, 10, 140), RGB(240, 240, 240)));
  EXPECT_TRUE(Is(At(pixels, w, 70, 5), RGB(70 % 64 * 4, 70 % 64 * 4, 70 % 64 * 4)));
  // A 2-pixel red frame around the focused control, its inside untouched.
  for (auto [x, y] : {std::pair{40, 60}, {41, 61}, {89, 89}, {88, 88}, {65, 60}, {40, 75}, {65, 89}})
    EXPECT_TRUE(Is(At(pixels, w, x, y), RGB(255, 0, 0))) << x << "," << y;
  EXPECT_TRUE(Is(At(pixels, w, 42, 62), RGB(200, 200, 255)));
  EXPECT_TRUE(Is(At(pixels, w, 39, 59), RGB(250, 240, 20)) || Is(At(pixels, w, 39, 59), RGB(10, 120, 200)));
  // The arrow drawn with its tip at the position (the standard arrow's hot spot is its tip): dark
  // there, on the green band around it.
  const TRgbPixel tip = At(pixels, w, 150 + 1, 100 + 1);
  EXPECT_TRUE(tip.R < 64 && tip.G < 64 && tip.B < 64);
  EXPECT_TRUE(Is(At(pixels, w, 148, 100), RGB(30, 160, 60)));
  std::set<uint32_t> inCursor;
  for (int y = 100; y < 120; ++y)
    for (int x = 150; x < 160; ++x) {
      TRgbPixel p = At(pixels, w, x, y);
      inCursor.insert(p.R << 16 | p.G << 8 | p.B);
    }
  EXPECT_TRUE(inCursor.count(0xFFFFFF)) << "the arrow's white inside";

  // What opens after the capture (the exception dialog) is not in the picture written later.
  TPictureWindow dialog(x0, y0, w, h, Flat(w, h, RGB(255, 0, 255)));
  Pump(200);
  EXPECT_EQ(shot.Pixels(), pixels);
  SaveBoth("window", shot, pixels);
}

TEST(Screenshot, ThinAndEmptyWindowsGiveAtLeastOnePixel) {
  struct TCase {
    const char* Name;
    int Width, Height;
    uint32_t ShotWidth, ShotHeight;
  };
  for (const TCase& c : {TCase{"thin", 1, 40, 1, 40}, TCase{"line", 37, 1, 37, 1}, TCase{"empty", 0, 0, 1, 1}}) {
    SCOPED_TRACE(c.Name);
    TPictureWindow win(300, 300, c.Width, c.Height, Bands(std::max(c.Width, 1), std::max(c.Height, 1)));
    Pump(200);
    ASSERT_EQ(GetForegroundWindow(), win.Window);
    TScreenshot shot;
    ASSERT_TRUE(shot.Capture(true, {}));
    EXPECT_EQ(shot.Width(), c.ShotWidth);
    EXPECT_EQ(shot.Height(), c.ShotHeight);
    SaveBoth(std::string("tiny-") + c.Name, shot, shot.Pixels());
  }
}

TEST(Screenshot, ScreenOfManyColoursNeedsSeveralDataChunks) {
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  // 4096 colours at random: more than a palette holds, and little for the compressor to save.
  std::mt19937 random(12);
  std::vector<uint8_t> bgr(size_t(w) * h * 3);
  for (size_t i = 0; i < bgr.size(); i += 3) {
    const uint32_t c = random() & 0xFFF;
    bgr[i] = uint8_t((c & 15) * 17);
    bgr[i + 1] = uint8_t((c >> 4 & 15) * 17);
    bgr[i + 2] = uint8_t((c >> 8) * 17);
  }
  TPictureWindow screen(0, 0, w, h, bgr);
  Pump(300);
  TScreenshot shot;
  ASSERT_TRUE(shot.Capture(false, {}));
  EXPECT_EQ(shot.Width(), uint32_t(w));
  EXPECT_EQ(shot.Height(), uint32_t(h));
  const std::vector<uint8_t> pixels = shot.Pixels();
  EXPECT_EQ(pixels, bgr) << "the screen shows the window as painted";
  SaveBoth("screen", shot, pixels);
  const std::string png = shot.EncodePng();
  EXPECT_GT(png.size(), 2 * 262143u);
}

TEST(Screenshot, ProcessCaptureWritesOnlyWhenAskedAndReleases) {
  const std::string path = ShotDir() + "\\process.png";
  DeleteFileA(path.c_str());
  TPictureWindow win(50, 50, 64, 32, Bands(64, 32));
  Pump(200);
  ScreenshotCapture(true, {});
  ScreenshotSave("");  // no screenshot wanted: nothing is written
  EXPECT_FALSE(wine_test::Exists(path));
  ScreenshotSave(path);
  EXPECT_TRUE(wine_test::Exists(path));
  ScreenshotRelease();
  DeleteFileA(path.c_str());
  ScreenshotSave(path);  // released: nothing left to write
  EXPECT_FALSE(wine_test::Exists(path));
}

}  // namespace
