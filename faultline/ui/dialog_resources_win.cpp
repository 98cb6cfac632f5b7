#include "faultline/ui/dialog_resources.h"

#include <commctrl.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Writes an extended dialog template (DLGTEMPLATEEX followed by DLGITEMTEMPLATEEX records).
class TTemplateWriter {
 public:
  TTemplateWriter(const char* caption, DWORD style, DWORD exStyle, short x, short y, short cx, short cy) {
    Word(1);
    Word(0xFFFF);
    Dword(0);  // help id
    Dword(exStyle);
    Dword(style | DS_SETFONT);
    countAt_ = bytes_.size();
    Word(0);
    Word(WORD(x));
    Word(WORD(y));
    Word(WORD(cx));
    Word(WORD(cy));
    Word(0);  // no menu
    Word(0);  // the dialog class
    Text(caption);
    Word(8);  // point size
    Word(FW_NORMAL);
    bytes_.push_back(0);  // italic
    bytes_.push_back(DEFAULT_CHARSET);
    Text("MS SANS SERIF");
  }

  // className: a window class name, or one of the predefined atoms given as "#0080" and so on.
  void Item(WORD id, const char* className, const char* text, DWORD style, DWORD exStyle, short x, short y,
            short cx, short cy) {
    while (bytes_.size() % 4) bytes_.push_back(0);
    Dword(0);
    Dword(exStyle);
    Dword(style | WS_CHILD | WS_VISIBLE);
    Word(WORD(x));
    Word(WORD(y));
    Word(WORD(cx));
    Word(WORD(cy));
    Dword(id);
    if (className[0] == '#') {
      Word(0xFFFF);
      Word(WORD(std::strtoul(className + 1, nullptr, 16)));
    } else {
      Text(className);
    }
    Text(text);
    Word(0);  // no creation data
    ++count_;
    std::memcpy(&bytes_[countAt_], &count_, 2);
  }

  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  void Word(WORD w) {
    bytes_.push_back(uint8_t(w));
    bytes_.push_back(uint8_t(w >> 8));
  }
  void Dword(DWORD d) {
    Word(WORD(d));
    Word(WORD(d >> 16));
  }
  void Text(const char* s) {
    for (; *s; ++s) Word(WORD(uint8_t(*s)));  // the template texts are plain ASCII
    Word(0);
  }

  std::vector<uint8_t> bytes_;
  size_t countAt_ = 0;
  WORD count_ = 0;
};

constexpr const char* Button = "#0080";
constexpr const char* Edit = "#0081";
constexpr const char* Static = "#0082";
constexpr DWORD Flat = BS_FLAT;

std::vector<uint8_t> MainTemplate() {
  TTemplateWriter t("DIALOG", WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_MAXIMIZEBOX | DS_MODALFRAME,
                    WS_EX_TOOLWINDOW, 12, 25, 473, 248);
  t.Item(3, Button, "Kill", BS_PUSHBUTTON | WS_TABSTOP | Flat, 0, 113, 196, 50, 15);
  t.Item(2, Button, "OK", BS_DEFPUSHBUTTON | WS_TABSTOP | Flat, 0, 212, 196, 50, 15);
  t.Item(4, Button, "Details", BS_PUSHBUTTON | WS_TABSTOP | Flat, 0, 316, 196, 50, 15);
  t.Item(101, Static, "Text", SS_CENTER, 0, 34, 5, 432, 30);
  t.Item(1000, WC_TABCONTROLA, "", WS_TABSTOP, WS_EX_STATICEDGE, 7, 40, 462, 151);
  t.Item(2000, Static, "", SS_BLACKFRAME, 0, 134, 219, 208, 2);
  t.Item(3000, Button, "Send an email to the program author", BS_AUTOCHECKBOX | WS_TABSTOP | Flat, 0, 7, 223, 130, 8);
  t.Item(4000, Button, "Attach a screenshot", BS_AUTOCHECKBOX | WS_TABSTOP | Flat, 0, 19, 233, 145, 8);
  t.Item(5000, Button, "Copy to clipboard", BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_RIGHT | WS_TABSTOP | Flat, 0, 152,
         223, 145, 8);
  return t.Take();
}

std::vector<uint8_t> RequestTemplate() {
  TTemplateWriter t("Request.", WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, WS_EX_TOOLWINDOW, 0,
                    0, 316, 153);
  t.Item(100, Static, "Please describe the steps to reproduce the error:", SS_LEFT, 0, 8, 6, 301, 10);
  t.Item(101, Edit, "", ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 0, 8, 16, 302, 115);
  t.Item(2, Button, "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 260, 135, 50, 14);
  return t.Take();
}

std::vector<uint8_t> ServerTemplate() {
  TTemplateWriter t("SMTP sending...", WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME, WS_EX_TOOLWINDOW, 0, 0,
                    186, 34);
  t.Item(101, PROGRESS_CLASSA, "", 0, 0, 8, 16, 170, 10);
  t.Item(100, Static, "Static", SS_LEFT, 0, 8, 6, 171, 10);
  return t.Take();
}

constexpr DWORD PageStyle = WS_CHILD | DS_CONTROL;

std::vector<uint8_t> TextPage(bool rich) {
  TTemplateWriter t("DIALOG", PageStyle, 0, 0, 0, 473, 168);
  t.Item(102, Static, "Informations", SS_LEFT, 0, 3, 2, 462, 8);
  if (rich) {
    t.Item(103, "RICHEDIT", "", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
           4, 15, 462, 146);
  } else {
    t.Item(103, Edit, "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
           WS_EX_CLIENTEDGE, 4, 15, 462, 146);
  }
  return t.Take();
}

std::vector<uint8_t> ListPage() {
  TTemplateWriter t("DIALOG", PageStyle, 0, 0, 0, 473, 155);
  t.Item(102, Static, "Informations", SS_LEFT, 0, 3, 2, 462, 8);
  t.Item(103, WC_LISTVIEWA, "",
         LVS_REPORT | LVS_OWNERDRAWFIXED | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
         WS_EX_CLIENTEDGE, 3, 12, 462, 134);
  return t.Take();
}

std::string Upper(const char* s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return u;
}

// ---- bitmaps ----------------------------------------------------------------------------------

constexpr COLORREF Transparent = RGB(255, 0, 255);

struct TCanvas {
  HDC Dc = nullptr;
  HBITMAP Bitmap = nullptr;
  HGDIOBJ Old = nullptr;
  TCanvas(int w, int h) {
    HDC screen = GetDC(nullptr);
    Dc = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    Bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    Old = SelectObject(Dc, Bitmap);
    Fill({0, 0, w, h}, Transparent);
  }
  HBITMAP Take() {
    SelectObject(Dc, Old);
    DeleteDC(Dc);
    return Bitmap;
  }
  void Fill(RECT r, COLORREF c) {
    HBRUSH b = CreateSolidBrush(c);
    FillRect(Dc, &r, b);
    DeleteObject(b);
  }
  void Frame(RECT r, COLORREF c) {
    HBRUSH b = CreateSolidBrush(c);
    FrameRect(Dc, &r, b);
    DeleteObject(b);
  }
  void Ellipse(RECT r, COLORREF fill, COLORREF edge) {
    HBRUSH b = CreateSolidBrush(fill);
    HPEN p = CreatePen(PS_SOLID, 1, edge);
    HGDIOBJ ob = SelectObject(Dc, b), op = SelectObject(Dc, p);
    ::Ellipse(Dc, r.left, r.top, r.right, r.bottom);
    SelectObject(Dc, ob);
    SelectObject(Dc, op);
    DeleteObject(b);
    DeleteObject(p);
  }
  void Line(int x0, int y0, int x1, int y1, COLORREF c, int width = 1) {
    HPEN p = CreatePen(PS_SOLID, width, c);
    HGDIOBJ op = SelectObject(Dc, p);
    MoveToEx(Dc, x0, y0, nullptr);
    LineTo(Dc, x1, y1);
    SelectObject(Dc, op);
    DeleteObject(p);
  }
};

HBITMAP ErrorPicture() {
  TCanvas c(32, 32);
  c.Ellipse({1, 1, 31, 31}, RGB(200, 30, 30), RGB(120, 10, 10));
  c.Ellipse({4, 3, 26, 20}, RGB(226, 70, 60), RGB(226, 70, 60));
  c.Ellipse({6, 6, 26, 26}, RGB(200, 30, 30), RGB(200, 30, 30));
  c.Line(10, 10, 22, 22, RGB(255, 255, 255), 3);
  c.Line(22, 10, 10, 22, RGB(255, 255, 255), 3);
  return c.Take();
}

// A sheet of paper with a coloured mark: the row icons tell libraries, packages, the program and
// source-level entries apart at a glance.
HBITMAP RowIcon(int kind) {
  TCanvas c(16, 16);
  c.Fill({3, 1, 13, 15}, RGB(255, 255, 255));
  c.Frame({3, 1, 13, 15}, RGB(96, 96, 96));
  switch (kind) {
    case 0:  // library: a gear-grey block
      c.Fill({5, 8, 11, 13}, RGB(128, 128, 160));
      c.Fill({7, 4, 9, 8}, RGB(128, 128, 160));
      break;
    case 1:  // package: a green box
      c.Fill({5, 6, 11, 13}, RGB(40, 150, 60));
      c.Line(5, 9, 11, 9, RGB(230, 230, 230));
      break;
    case 2:  // the program: a small window
      c.Fill({4, 4, 12, 13}, RGB(230, 230, 230));
      c.Frame({4, 4, 12, 13}, RGB(40, 70, 160));
      c.Fill({4, 4, 12, 6}, RGB(40, 70, 160));
      break;
    default:  // source: lines of text
      for (int y = 4; y < 13; y += 2) c.Line(5, y, y % 4 ? 11 : 9, y, RGB(200, 120, 0));
      break;
  }
  return c.Take();
}

HBITMAP Sign(bool plus) {
  TCanvas c(13, 13);
  c.Fill({2, 2, 11, 11}, RGB(255, 255, 255));
  c.Frame({2, 2, 11, 11}, RGB(128, 128, 128));
  c.Line(4, 6, 9, 6, RGB(0, 0, 0));
  if (plus) c.Line(6, 4, 6, 9, RGB(0, 0, 0));
  return c.Take();
}

}  // namespace

const DLGTEMPLATE* FaultDialogTemplate(const char* name) {
  static std::mutex lock;
  static std::map<std::string, std::vector<uint8_t>> made;
  const std::string key = Upper(name);
  std::lock_guard<std::mutex> guard(lock);
  auto it = made.find(key);
  if (it == made.end()) {
    std::vector<uint8_t> bytes;
    if (key == "FL_DIALOG") bytes = MainTemplate();
    else if (key == "FL_REQUEST") bytes = RequestTemplate();
    else if (key == "FL_SERVER") bytes = ServerTemplate();
    else if (key == "FL_TAB_GENERAL" || key == "FL_TAB_CPU") bytes = TextPage(true);
    else if (key == "FL_TAB_CUSTOMDATA") bytes = TextPage(false);
    else if (key == "FL_TAB_CALLSTACK" || key == "FL_TAB_MODULESLIST") bytes = ListPage();
    else return nullptr;
    it = made.emplace(key, std::move(bytes)).first;
  }
  return reinterpret_cast<const DLGTEMPLATE*>(it->second.data());
}

HBITMAP LoadFaultBitmap(const char* name) {
  const std::string key = Upper(name);
  if (key == "FL_ERROR") return ErrorPicture();
  if (key == "FL_DLL") return RowIcon(0);
  if (key == "FL_BPL") return RowIcon(1);
  if (key == "FL_VCL") return RowIcon(2);
  if (key == "FL_PAS") return RowIcon(3);
  if (key == "FL_PLUS") return Sign(true);
  if (key == "FL_MINUS") return Sign(false);
  return nullptr;
}

void DrawTransparentBitmap(HDC dc, HBITMAP bitmap, int x, int y) {
  if (!bitmap) return;
  BITMAP bm{};
  GetObject(bitmap, sizeof bm, &bm);
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(source, bitmap);
  const COLORREF key = GetPixel(source, 0, 0);
  TransparentBlt(dc, x, y, bm.bmWidth, bm.bmHeight, source, 0, 0, bm.bmWidth, bm.bmHeight, key);
  SelectObject(source, old);
  DeleteDC(source);
}
