#include "faultline/ui/dialog_style.h"

#include <algorithm>
#include <cmath>

namespace {

HFONT FaceFont(const char* face, int points, int charset, int pitch = DEFAULT_PITCH | FF_DONTCARE) {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DWORD(charset), OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, pitch, face);
}

}  // namespace

void TDialogFonts::Create() {
  char codePage[8] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, codePage, sizeof codePage);
  CHARSETINFO info{};
  Charset = ANSI_CHARSET;
  if (TranslateCharsetInfo(reinterpret_cast<DWORD*>(uintptr_t(std::atoi(codePage))), &info, TCI_SRCCODEPAGE))
    Charset = int(info.ciCharset);
  const char* face;
  const char* list;
  if (Charset != ANSI_CHARSET) {
    Size = 10;
    face = "MS Sans Serif";
    FixedFace = "Courier New";
    list = "Courier New";
  } else {
    Size = 8;
    face = "Verdana";
    FixedFace = "Lucida Console";
    list = "Tahoma";
  }
  NONCLIENTMETRICSA ncm{};
  ncm.cbSize = sizeof ncm;
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
  Caption = CreateFontA(ncm.lfCaptionFont.lfHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, face);
  Message = CreateFontIndirectA(&ncm.lfMessageFont);
  LOGFONTA link = ncm.lfMessageFont;
  link.lfWeight = FW_BOLD;
  link.lfUnderline = TRUE;
  Link = CreateFontIndirectA(&link);
  // The pages show texts in the program's code page: the fonts ask for its character set, so that
  // a face without those characters is replaced by one that has them.
  // The text font also asks for a fixed pitch, as the rich text of those pages does: when the face
  // must be replaced, both then get the same replacement, and the CPU page's tab stop, measured
  // in this font, lines up with the columns the rich text draws.
  Text = FaceFont(FixedFace.c_str(), Size, Charset, FIXED_PITCH | FF_MODERN);
  List = FaceFont(list, Size, Charset);
}

void TDialogFonts::Destroy() {
  for (HFONT* f : {&Caption, &Message, &Link, &Text, &List}) {
    if (*f) DeleteObject(*f);
    *f = nullptr;
  }
}

int CaptionMetric(const TFaultModuleOptions& options) {
  return GetSystemMetrics(options.DialogFlags() & 0x80 ? SM_CYSMCAPTION : SM_CYCAPTION);
}

void ApplyCommonStyle(HWND window, const TFaultModuleOptions& options, bool secondary) {
  if (secondary) SendMessageA(window, WM_NCACTIVATE, TRUE, 0);
  if (!(options.DialogFlags() & 0x80)) {
    SetWindowLongA(window, GWL_EXSTYLE, GetWindowLongA(window, GWL_EXSTYLE) & ~WS_EX_TOOLWINDOW);
    SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  }
  if (options.DialogFlags() & 0x40)
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (secondary) {
    RECT r;
    GetWindowRect(window, &r);
    SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top + CaptionMetric(options) - 18,
                 SWP_NOMOVE | SWP_NOZORDER);
  }
}

void PaintOwnFrame(HWND window, const TDialogFonts& fonts, const std::string& caption, bool active) {
  HDC dc = GetWindowDC(window);
  if (!dc) return;
  RECT win;
  GetWindowRect(window, &win);
  OffsetRect(&win, -win.left, -win.top);
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  const LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  const int fx = GetSystemMetrics(style & WS_THICKFRAME ? SM_CXSIZEFRAME : SM_CXFIXEDFRAME);
  const int fy = GetSystemMetrics(style & WS_THICKFRAME ? SM_CYSIZEFRAME : SM_CYFIXEDFRAME);
  const int captionHeight = GetSystemMetrics(exStyle & WS_EX_TOOLWINDOW ? SM_CYSMCAPTION : SM_CYCAPTION);

  // The frame: a dark outer line, the rest of the border lighter.
  HBRUSH inner = CreateSolidBrush(active ? RGB(128, 128, 128) : RGB(96, 96, 96));
  RECT r;
  for (const RECT& part : {RECT{0, 0, win.right, fy}, RECT{0, win.bottom - fy, win.right, win.bottom},
                           RECT{0, 0, fx, win.bottom}, RECT{win.right - fx, 0, win.right, win.bottom}}) {
    r = part;
    FillRect(dc, &r, inner);
  }
  DeleteObject(inner);
  HBRUSH outer = CreateSolidBrush(active ? RGB(64, 64, 64) : RGB(48, 48, 48));
  FrameRect(dc, &win, outer);
  DeleteObject(outer);

  // The caption: bands, each darker than the last, narrowing towards the middle.
  RECT band{fx, fy, win.right - fx, fy + captionHeight};
  const RECT captionRect = band;
  double c[3] = {active ? 130.0 : 151.0, active ? 154.0 : 151.0, active ? 194.0 : 151.0};
  const int steps = captionHeight / 5;
  HBRUSH first = CreateSolidBrush(RGB(int(c[0]), int(c[1]), int(c[2])));
  FillRect(dc, &band, first);
  DeleteObject(first);
  for (int i = 0; i < steps && band.bottom > band.top; ++i) {
    for (double& v : c) v = std::min(255.0, std::round(v * 0.96));
    HBRUSH b = CreateSolidBrush(RGB(int(c[0]), int(c[1]), int(c[2])));
    FillRect(dc, &band, b);
    DeleteObject(b);
    band.top += 2;
    band.bottom -= 2;
  }

  HGDIOBJ old = SelectObject(dc, fonts.Caption);
  SetBkMode(dc, TRANSPARENT);
  RECT text = captionRect;
  if (active) {
    RECT shadow = text;
    shadow.left += 5;
    SetTextColor(dc, RGB(34, 34, 34));
    DrawTextA(dc, caption.c_str(), int(caption.size()), &shadow, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  }
  text.left += 4;
  SetTextColor(dc, active ? RGB(255, 255, 255) : RGB(224, 224, 224));
  DrawTextA(dc, caption.c_str(), int(caption.size()), &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
}

bool HandleOwnFrame(HWND window, UINT msg, WPARAM wp, LPARAM lp, const TDialogFonts& fonts,
                    const std::string& caption) {
  if (msg != WM_NCPAINT && msg != WM_NCACTIVATE) return false;
  const LRESULT r = DefWindowProcA(window, msg, msg == WM_NCACTIVATE ? TRUE : wp, lp);
  const bool active = msg == WM_NCACTIVATE ? wp != 0 : GetForegroundWindow() == window;
  PaintOwnFrame(window, fonts, caption, active);
  SetWindowLongPtrA(window, DWLP_MSGRESULT, msg == WM_NCACTIVATE ? TRUE : r);
  return true;
}

int TextWidthOf(HDC dc, const std::string& text) {
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  return size.cx;
}

bool FileWritable(const std::string& name) {
  const bool existed = GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  if (!existed) DeleteFileA(name.c_str());
  return true;
}
