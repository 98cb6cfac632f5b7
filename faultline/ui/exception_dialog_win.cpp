#include "faultline/ui/exception_dialog.h"

#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "faultline/report/report_format.h"
#include "faultline/ui/dialog_model.h"
#include "faultline/ui/dialog_resources.h"
#include "faultline/ui/dialog_style.h"
#include "faultline/ui/list_view_items.h"

namespace {

enum : int {
  IdOk = 2,
  IdTerminate = 3,
  IdDetails = 4,
  IdMessage = 101,
  IdTabs = 1000,
  IdSeparator = 2000,
  IdSend = 3000,
  IdScreenshot = 4000,
  IdCopy = 5000,
  IdPageTitle = 102,
  IdPageBody = 103,
};
enum : UINT_PTR { TimerPaintCheck = 1, TimerAutoClose = 2, TimerTopMost = 3 };

const char* const Section = "Coordinates";
const char* const StackColumnKeys[6] = {"Col0", "Col1", "Col2", "Col3", "Col4", "Col5"};
const int StackColumnDefaults[6] = {89, 92, 126, 126, 200, 61};
// The modules list keeps the path column's width under "ColMod5" and the modified column's under
// "ColMod6".
const char* const ModuleColumnKeys[7] = {"ColMod0", "ColMod1", "ColMod2", "ColMod3", "ColMod4", "ColMod6", "ColMod5"};
const int ModuleColumnDefaults[7] = {80, 96, 175, 50, 54, 80, 712};

HWND currentDialog = nullptr;

struct TExceptionDialog;
TExceptionDialog* session = nullptr;

int IniInt(const std::string& file, const char* key, int fallback, bool* found = nullptr) {
  char buffer[2048] = {};
  GetPrivateProfileStringA(Section, key, "", buffer, sizeof buffer, file.c_str());
  char* end = nullptr;
  const long v = std::strtol(buffer, &end, 10);
  const bool ok = buffer[0] && end && *end == '\0';
  if (found) *found = ok;
  return ok ? int(v) : fallback;
}

void IniWrite(const std::string& file, const char* key, int value) {
  WritePrivateProfileStringA(Section, key, std::to_string(value).c_str(), file.c_str());
}

struct TRtfSource {
  const std::string* Text;
  size_t Pos;
};

DWORD CALLBACK StreamRtf(DWORD_PTR cookie, LPBYTE buffer, LONG want, LONG* got) {
  auto* s = reinterpret_cast<TRtfSource*>(cookie);
  const size_t n = std::min<size_t>(size_t(want), s->Text->size() - s->Pos);
  std::copy_n(s->Text->data() + s->Pos, n, buffer);
  s->Pos += n;
  *got = LONG(n);
  return 0;
}

void LoadRichText(HWND edit, const std::string& rtf) {
  TRtfSource source{&rtf, 0};
  EDITSTREAM es{};
  es.dwCookie = DWORD_PTR(&source);
  es.pfnCallback = StreamRtf;
  SendMessageA(edit, EM_STREAMIN, SF_RTF, LPARAM(&es));
}

// The windows of this process that are on screen when the dialog opens: only these are kept
// behind it.
BOOL CALLBACK CollectOwnWindows(HWND w, LPARAM list) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == GetCurrentProcessId()) reinterpret_cast<std::set<HWND>*>(list)->insert(w);
  return TRUE;
}

struct TExceptionDialog {
  const TFaultModuleOptions& Options;
  const TDialogReport& Report;
  const TDialogEvents& Events;
  TDialogChoices& Choices;
  std::string Ini;

  TExceptionDialog(const TFaultModuleOptions& options, const TDialogReport& report, const TDialogEvents& events,
                   TDialogChoices& choices, std::string ini)
      : Options(options), Report(report), Events(events), Choices(choices), Ini(std::move(ini)) {}

  HWND Dialog = nullptr;
  TDialogFonts Fonts;
  HBRUSH Background = nullptr;
  HBRUSH White = nullptr;
  HBITMAP ErrorBitmap = nullptr;
  bool OwnFrame = false;
  bool Detailed = false;
  bool SendOffered = false, ScreenshotOffered = false, CopyOffered = false, LinkOffered = false;
  int Bottom = 0;
  int ButtonWidth = 75;
  RECT LinkRect{0, 0, 0, 0};
  bool OverLink = false;
  TDialogTabs Tabs;
  int Page = -1;
  HWND PageWindow = nullptr;
  std::unique_ptr<TListViewItems> ListItems;
  int CloseCount = 0;
  std::set<HWND> Snapshot;
  // The recorded geometry of the detailed presentation.
  bool WidthRecorded = false;
  int RecWidth = 0, RecHeight = 0, RecLeft = 0, RecTop = 0, RecState = 1;
  bool LeftRecorded = false;
  bool Painted = false;

  std::string Text(int n) const { return Options.Text(n); }
  HWND Item(int id) const { return GetDlgItem(Dialog, id); }

  void RestartCount() { CloseCount = 0; }

  void Init(HWND w) {
    Dialog = w;
    currentDialog = w;
    OwnFrame = (Options.DialogFlags() & 0x80) != 0;
    ApplyCommonStyle(w, Options, false);
    const bool delivery = Options.MailMode() != 0 || Options.UploadMode() != 0;
    SendOffered = delivery && !Report.Duplicate;
    ScreenshotOffered = (Options.SendFlags() & 0x0010) && SendOffered;
    CopyOffered = (Options.DialogFlags() & 0x08) != 0;
    LinkOffered = !TrimBlanks(Options.SupportLink()).empty();
    Bottom = BottomAreaHeight(SendOffered, ScreenshotOffered, CopyOffered, LinkOffered);
    SetForegroundWindow(w);
    Detailed = (Options.DialogFlags() & 0x20) != 0;
    ErrorBitmap = LoadFaultBitmap("FL_Error");
    Background = CreateSolidBrush(OwnFrame ? RGB(212, 208, 200) : GetSysColor(COLOR_BTNFACE));
    White = CreateSolidBrush(RGB(255, 255, 255));
    Fonts.Create();

    for (int id : {IdMessage, IdOk, IdTerminate, IdDetails, IdTabs, IdSend, IdScreenshot, IdCopy})
      SendMessageA(Item(id), WM_SETFONT, WPARAM(Fonts.Message), FALSE);
    SetWindowTextA(Item(IdOk), Text(14).c_str());
    SetWindowTextA(Item(IdTerminate), Text(Options.TerminateAction() != 0 ? 16 : 15).c_str());
    // The choices start from the report flow's values; a box that is not offered is not chosen.
    const bool send = SendOffered;
    const bool screenshot = ScreenshotOffered;
    CheckDlgButton(w, IdSend, send && (Options.DialogFlags() & 0x02) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(w, IdScreenshot, screenshot && (Options.DialogFlags() & 0x04) ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(Item(IdScreenshot), IsDlgButtonChecked(w, IdSend) == BST_CHECKED);
    ShowWindow(Item(IdSend), SendOffered ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IdScreenshot), SendOffered && ScreenshotOffered ? SW_SHOW : SW_HIDE);
    CheckDlgButton(w, IdCopy, BST_UNCHECKED);
    ShowWindow(Item(IdCopy), CopyOffered ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IdTerminate),
               Options.TerminateButtonShown() && Report.ErrorCount > Options.TerminateButtonAfter() ? SW_SHOW
                                                                                                      : SW_HIDE);
    ShowWindow(Item(IdDetails), Options.DialogFlags() & 0x10 ? SW_SHOW : SW_HIDE);
    SetWindowTextA(w, Text(2).c_str());

    ButtonWidth = 75;
    HDC dc = GetDC(w);
    HGDIOBJ old = SelectObject(dc, Fonts.Message);
    for (int n : {14, 15, 16, 17}) ButtonWidth = std::max(ButtonWidth, TextWidthOf(dc, Text(n) + "O"));
    SelectObject(dc, old);
    ReleaseDC(w, dc);

    Tabs.Modules = (Options.LogSections() & 0x10) != 0;
    Tabs.Cpu = (Options.LogSections() & 0x20) != 0;
    Tabs.Custom = Report.Data && Report.Data->HasCustomData;
    HWND tabs = Item(IdTabs);
    static const int tabText[5] = {4, 6, 8, 10, 12};
    int index = 0;
    for (int page : Tabs.Pages()) {
      std::string caption = Text(tabText[page]);
      TCITEMA ti{};
      ti.mask = TCIF_TEXT;
      ti.pszText = caption.data();
      SendMessageA(tabs, TCM_INSERTITEMA, WPARAM(index++), LPARAM(&ti));
    }
    const int first = Tabs.FirstPage(Options.FirstDialogPage());
    TabCtrl_SetCurSel(tabs, Tabs.TabOf(first));
    SetFocus(Item(IdOk));
    ShowPage(first);
    ApplyPresentation();
    SetTimer(w, TimerPaintCheck, 1, nullptr);
    if (Options.DialogCloseSeconds() > 0) SetTimer(w, TimerAutoClose, 1000, nullptr);
    EnumWindows(CollectOwnWindows, LPARAM(&Snapshot));
    Snapshot.erase(w);
    SetTimer(w, TimerTopMost, 10, nullptr);
    if (Events.Created) Events.Created(w);
  }

  void SetStyleBits(LONG add, LONG remove) {
    LONG style = GetWindowLongA(Dialog, GWL_STYLE);
    style = (style | add) & ~remove;
    SetWindowLongA(Dialog, GWL_STYLE, style);
  }

  void ApplyPresentation() {
    for (int id : {IdOk, IdTerminate, IdDetails, IdSend, IdScreenshot, IdCopy}) {
      HWND b = Item(id);
      LONG style = GetWindowLongA(b, GWL_STYLE);
      style = OwnFrame ? (style | BS_FLAT) : (style & ~BS_FLAT);
      SetWindowLongA(b, GWL_STYLE, style);
    }
    HWND message = Item(IdMessage);
    if (Detailed) {
      SetStyleBits(WS_THICKFRAME | WS_MAXIMIZEBOX | (OwnFrame ? 0 : WS_SYSMENU), 0);
      SetWindowTextA(Item(IdDetails), ("<< " + Text(17)).c_str());
      SetWindowTextA(message, Text(3).c_str());
      LoadState();
      ShowWindow(Item(IdTabs), SW_SHOW);
      if (PageWindow) ShowWindow(PageWindow, SW_SHOW);
    } else {
      if (IsZoomed(Dialog)) ShowWindow(Dialog, SW_RESTORE);
      SetStyleBits(0, WS_THICKFRAME | WS_MAXIMIZEBOX | WS_SYSMENU);
      SetWindowTextA(Item(IdDetails), (Text(17) + " >>").c_str());
      SetWindowTextA(message, Report.Message.c_str());
      ShowWindow(Item(IdTabs), SW_HIDE);
      if (PageWindow) ShowWindow(PageWindow, SW_HIDE);
      CompactSize();
    }
    SetWindowPos(Dialog, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    RECT client;
    GetClientRect(Dialog, &client);
    Layout(client.right, client.bottom);
    InvalidateRect(Dialog, nullptr, TRUE);
  }

  int FrameWidth() const {
    return GetSystemMetrics((GetWindowLongA(Dialog, GWL_STYLE) & WS_THICKFRAME) ? SM_CXSIZEFRAME : SM_CXFIXEDFRAME);
  }
  int FrameHeight() const {
    return GetSystemMetrics((GetWindowLongA(Dialog, GWL_STYLE) & WS_THICKFRAME) ? SM_CYSIZEFRAME : SM_CYFIXEDFRAME);
  }

  void CompactSize() {
    const int f = 2 * FrameWidth() + 58;
    const int limit = 640 - f;
    HDC dc = GetDC(Dialog);
    HGDIOBJ old = SelectObject(dc, Fonts.Message);
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    const int lineHeight = tm.tmHeight;
    std::vector<int> widths;
    std::string text = Report.Message;
    size_t start = 0;
    for (;;) {
      size_t end = text.find('\n', start);
      std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      widths.push_back(TextWidthOf(dc, line.empty() ? std::string(" ") : line));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    widths.push_back(TextWidthOf(dc, Text(18) + "    " + Text(20)));
    SelectObject(dc, Fonts.Link);
    const int linkWidth = TextWidthOf(dc, Text(21));
    SelectObject(dc, old);
    ReleaseDC(Dialog, dc);
    int widest = 0;
    for (int wd : widths) widest = std::max(widest, wd);
    const int w = std::min(widest + 16, limit);
    int h = 0;
    for (int wd : widths) {
      h += lineHeight;
      if (wd > w) h += ((wd - w + 16) / w + 1) * lineHeight;
    }
    int windowWidth = std::max(w + f, 250);
    // The support link ends 4 from the right, on the screenshot box's row when the copy box takes
    // the first row, else on the send box's row; each box spans about half the client width. A
    // narrow dialog would put the box over the link (hiding part of it and taking its clicks), so
    // the dialog is widened until both fit.
    int clientNeeded = 0;
    if (LinkOffered && CopyOffered && ScreenshotOffered) clientNeeded = 2 * (linkWidth + 4 + 4 + 23);
    if (LinkOffered && !CopyOffered && SendOffered) clientNeeded = 2 * (linkWidth + 4 + 4 + 4);
    windowWidth = std::max(windowWidth, clientNeeded + 2 * FrameWidth());
    // The measured height counts a line for the boxes below the buttons; the message itself takes
    // the rest, and the window is made tall enough that it ends above the buttons (a message of
    // one or two lines would otherwise run under them).
    const int messageHeight = std::max(h - lineHeight, lineHeight);
    MoveWindow(Item(IdMessage), 48, 8, windowWidth - f, messageHeight, FALSE);
    const int nonClient = 2 * FrameHeight() + CaptionMetric(Options);
    const int needed = std::max(8 + messageHeight, 8 + 32) + 8 + 32 + Bottom;
    const int windowHeight = std::max(std::max(h - 39, 0) + 86, needed) + nonClient;
    const int sx = GetSystemMetrics(SM_CXSCREEN), sy = GetSystemMetrics(SM_CYSCREEN);
    MoveWindow(Dialog, (sx - windowWidth) / 2, (sy - windowHeight) / 2, windowWidth, windowHeight, TRUE);
  }

  void Layout(int w, int h) {
    const int dx = w - 466, dy = h - 252, b = Bottom;
    HWND tabs = Item(IdTabs);
    MoveWindow(tabs, 4, 52, 451 + dx + 7, 131 + dy - b + 31, FALSE);
    InvalidateRect(tabs, nullptr, TRUE);
    if (Detailed) MoveWindow(Item(IdMessage), 48, 8, 410 + dx, 42, TRUE);
    const int y = h - b - 32;
    MoveWindow(Item(IdOk), (w - ButtonWidth) / 2, y, ButtonWidth, 25, TRUE);
    MoveWindow(Item(IdTerminate), 5, y, ButtonWidth, 25, TRUE);
    if (Options.DialogFlags() & 0x10) MoveWindow(Item(IdDetails), w - ButtonWidth - 5, y, ButtonWidth, 25, TRUE);
    ShowWindow(Item(IdSeparator), SW_HIDE);
    const int c = (w - 8) / 2;
    MoveWindow(Item(IdSend), 4, y + 34, c, 16, TRUE);
    MoveWindow(Item(IdCopy), w - c - 4, y + 34, c, 16, TRUE);
    MoveWindow(Item(IdScreenshot), 23, y + 50, w / 2, 16, TRUE);
    SetWindowTextA(Item(IdSend), Text(18).c_str());
    SetWindowTextA(Item(IdScreenshot), Text(19).c_str());
    SetWindowTextA(Item(IdCopy), Text(20).c_str());
    HDC dc = GetDC(Dialog);
    HGDIOBJ old = SelectObject(dc, Fonts.Link);
    const int linkWidth = TextWidthOf(dc, Text(21));
    SelectObject(dc, old);
    ReleaseDC(Dialog, dc);
    const int linkTop = y + 34 + (CopyOffered ? 16 : 0);
    LinkRect = {w - linkWidth - 4, linkTop, w - 4, linkTop + 13};
    if (IsZoomed(Dialog)) {
      RecState = 3;
    } else if (IsIconic(Dialog)) {
      RecState = 6;
    } else if (Detailed) {
      RecState = 1;
      RECT r;
      GetWindowRect(Dialog, &r);
      RecWidth = r.right - r.left;
      RecHeight = r.bottom - r.top;
      WidthRecorded = true;
    }
    FitPage();
  }

  void RecordPosition() {
    if (!Detailed || IsZoomed(Dialog) || IsIconic(Dialog)) return;
    RECT r;
    GetWindowRect(Dialog, &r);
    RecLeft = r.left;
    RecTop = r.top;
    LeftRecorded = true;
  }

  void LoadState() {
    const int sx = GetSystemMetrics(SM_CXSCREEN), sy = GetSystemMetrics(SM_CYSCREEN);
    const int width = IniInt(Ini, "Width", 745);
    const int height = IniInt(Ini, "Height", 468);
    bool hasLeft = false, hasTop = false;
    const int left = IniInt(Ini, "Left", 0, &hasLeft);
    const int top = IniInt(Ini, "Top", 0, &hasTop);
    const int state = IniInt(Ini, "WindowsState", 1);
    const TDialogGeometry g = PlaceDialog(sx, sy, width, height, hasLeft ? &left : nullptr, hasTop ? &top : nullptr,
                                          state, Bottom);
    // The bottom area is left out of the height that is saved: it is added back here, so that the
    // dialog opens as large as it was closed.
    MoveWindow(Dialog, g.Left, g.Top, g.Width, g.Height + Bottom, TRUE);
    RecordPosition();
    if (g.WindowState == 3) ShowWindow(Dialog, SW_MAXIMIZE);
  }

  void SaveState() {
    if (!WidthRecorded) return;
    if (RecState == 1) {
      IniWrite(Ini, "Width", RecWidth);
      IniWrite(Ini, "Height", RecHeight - Bottom);
      if (LeftRecorded) {
        IniWrite(Ini, "Left", RecLeft);
        IniWrite(Ini, "Top", RecTop);
      }
    }
    IniWrite(Ini, "WindowsState", RecState);
  }

  // ---- pages ---------------------------------------------------------------------------------

  void ShowPage(int page);
  void DestroyPage();
  void FitPage() {
    if (!PageWindow) return;
    HWND tabs = Item(IdTabs);
    RECT r;
    GetClientRect(tabs, &r);
    TabCtrl_AdjustRect(tabs, FALSE, &r);
    OffsetRect(&r, -3, -1);
    MoveWindow(PageWindow, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    MoveWindow(GetDlgItem(PageWindow, IdPageTitle), 3, 3, r.right - r.left - 8, 14, TRUE);
    MoveWindow(GetDlgItem(PageWindow, IdPageBody), 3, 20, r.right - r.left - 8, r.bottom - r.top - 24, TRUE);
  }

  // ---- painting ------------------------------------------------------------------------------

  void Paint() {
    Painted = true;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Dialog, &ps);
    DrawTransparentBitmap(dc, ErrorBitmap, 8, 8);
    if (LinkOffered) {
      FillRect(dc, &LinkRect, Background);
      HGDIOBJ old = SelectObject(dc, Fonts.Link);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(0, 0, 128));
      const std::string link = Text(21);
      RECT r = LinkRect;
      DrawTextA(dc, link.c_str(), int(link.size()), &r, DT_SINGLELINE | DT_LEFT | DT_NOPREFIX);
      SelectObject(dc, old);
    }
    EndPaint(Dialog, &ps);
  }

  void KeepOnTop() {
    if (Options.DialogFlags() & 0x40) return;
    HWND foreground = GetForegroundWindow();
    if (!foreground || foreground == Dialog) return;
    DWORD pid = 0;
    GetWindowThreadProcessId(foreground, &pid);
    if (pid == GetCurrentProcessId() && Snapshot.count(foreground)) SetForegroundWindow(Dialog);
  }

  void End() { EndDialog(Dialog, IdOk); }

  void Destroy() {
    KillTimer(Dialog, TimerPaintCheck);
    KillTimer(Dialog, TimerAutoClose);
    KillTimer(Dialog, TimerTopMost);
    Choices.Send = SendOffered && IsDlgButtonChecked(Dialog, IdSend) == BST_CHECKED;
    Choices.Screenshot = Choices.Send && ScreenshotOffered && IsDlgButtonChecked(Dialog, IdScreenshot) == BST_CHECKED;
    Choices.CopyToClipboard = CopyOffered && IsDlgButtonChecked(Dialog, IdCopy) == BST_CHECKED;
    DestroyPage();
    if (Detailed) SaveState();
    Fonts.Destroy();
    DeleteObject(Background);
    DeleteObject(White);
    DeleteObject(ErrorBitmap);
    currentDialog = nullptr;
  }

  INT_PTR Proc(UINT msg, WPARAM wp, LPARAM lp);
};

// ---- pages ------------------------------------------------------------------------------------

INT_PTR CALLBACK PageProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);

void ListColumns(HWND list, const std::string& ini, const TFaultModuleOptions& options, bool modules) {
  const int count = modules ? 7 : 6;
  for (int c = 0; c < count; ++c) {
    std::string title = options.Text((modules ? 84 : 62) + c);
    LVCOLUMNA col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    const bool right = modules ? (c == 3 || c == 4) : c == 5;
    col.fmt = right ? LVCFMT_RIGHT : LVCFMT_LEFT;
    col.cx = modules ? IniInt(ini, ModuleColumnKeys[c], ModuleColumnDefaults[c])
                     : IniInt(ini, StackColumnKeys[c], StackColumnDefaults[c]);
    col.pszText = title.data();
    SendMessageA(list, LVM_INSERTCOLUMNA, WPARAM(c), LPARAM(&col));
  }
}

void SaveListColumns(HWND list, const std::string& ini, bool modules) {
  const int count = modules ? 7 : 6;
  for (int c = 0; c < count; ++c)
    IniWrite(ini, modules ? ModuleColumnKeys[c] : StackColumnKeys[c], ListView_GetColumnWidth(list, c));
}

void TExceptionDialog::ShowPage(int page) {
  DestroyPage();
  RestartCount();
  static const char* const templates[5] = {"FL_TAB_GENERAL", "FL_TAB_CALLSTACK", "FL_TAB_MODULESLIST", "FL_TAB_CPU",
                                           "FL_TAB_CUSTOMDATA"};
  static const int titles[5] = {5, 7, 9, 11, 13};
  Page = page;
  PageWindow = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), FaultDialogTemplate(templates[page]),
                                          Item(IdTabs), PageProc, 0);
  if (!PageWindow) return;
  HWND title = GetDlgItem(PageWindow, IdPageTitle);
  HWND body = GetDlgItem(PageWindow, IdPageBody);
  SendMessageA(title, WM_SETFONT, WPARAM(Fonts.Message), FALSE);
  SetWindowTextA(title, Text(titles[page]).c_str());
  const std::string empty;
  switch (page) {
    case PageGeneral:
    case PageCpu: {
      SendMessageA(body, WM_SETFONT, WPARAM(Fonts.Text), FALSE);
      SendMessageA(body, EM_SETBKGNDCOLOR, 0, RGB(255, 255, 255));
      const std::string& text = Report.Texts ? (page == PageGeneral ? Report.Texts->General : Report.Texts->Cpu) : empty;
      std::string rtf;
      if (page == PageGeneral) {
        rtf = GeneralRichText(text, Fonts.Charset, Fonts.FixedFace, Fonts.Size);
      } else {
        HDC dc = GetDC(body);
        HGDIOBJ old = SelectObject(dc, Fonts.Text);
        const int tab = TextWidthOf(dc, std::string(CpuStackColumnChars(text), '-')) * 15;
        SelectObject(dc, old);
        ReleaseDC(body, dc);
        rtf = CpuRichText(text, Fonts.Charset, Fonts.FixedFace, Fonts.Size, tab);
      }
      LoadRichText(body, rtf);
      break;
    }
    case PageCallStack:
    case PageModules: {
      const bool modules = page == PageModules;
      SendMessageA(body, WM_SETFONT, WPARAM(Fonts.List), FALSE);
      ListView_SetExtendedListViewStyle(body, LVS_EX_FULLROWSELECT);
      ListView_SetBkColor(body, RGB(255, 255, 255));
      ListView_SetTextColor(body, RGB(0, 0, 0));
      ListColumns(body, Ini, Options, modules);
      ListItems = std::make_unique<TListViewItems>(body, Fonts.List);
      if (Report.Data) {
        TReportLayout layout = ReportLayoutFrom(Options);
        for (TListRowSpec& row : modules ? ModuleRows(Report.Data->Modules, Report.Data->WideAddresses) : CallStackRows(*Report.Data, layout))
          ListItems->AddRow(std::move(row));
      }
      break;
    }
    case PageCustom: {
      SendMessageA(body, WM_SETFONT, WPARAM(Fonts.Text), FALSE);
      SetWindowTextA(body, Report.Data ? Report.Data->CustomData.c_str() : "");
      break;
    }
  }
  FitPage();
  if (Detailed) ShowWindow(PageWindow, SW_SHOW);
}

void TExceptionDialog::DestroyPage() {
  if (!PageWindow) return;
  if (Page == PageCallStack || Page == PageModules)
    SaveListColumns(GetDlgItem(PageWindow, IdPageBody), Ini, Page == PageModules);
  ListItems.reset();
  DestroyWindow(PageWindow);
  PageWindow = nullptr;
}

// Sends the source location of a call-stack row to every development environment listening.
void SendSourceLocation(const TExceptionDialog& d, const TListRowSpec& row) {
  if (row.Cells.size() < 6) return;
  int32_t line = 0, offset = -1;
  if (!ParseLineCell(row.Cells[5], line, offset)) return;
  double buildTime = 0;
  if (d.Report.Data) buildTime = ModuleBuildTimeAt(d.Report.Data->Modules, row.Address);
  char program[MAX_PATH] = {};
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&SendSourceLocation), &self);
  GetModuleFileNameA(self, program, sizeof program);
  const std::string message =
      SourceLocationMessage(program, row.Cells[2], row.Cells[3], row.Cells[4], line, offset, buildTime);
  char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof computer;
  GetComputerNameA(computer, &size);
  for (int n = 0; n < 4; ++n) {
    const std::string name = "\\mailslot\\Faultline" + std::to_string(n);
    const std::string slot = std::string("\\\\") + computer + name;
    HANDLE h = CreateFileA(slot.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    // Where the computer's name does not lead to its own mailslots (Wine), the local name reaches
    // the same listener; on Windows the first name opens and this is never tried.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND)
      h = CreateFileA(("\\\\." + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD written = 0;
    WriteFile(h, message.data(), DWORD(message.size()), &written, nullptr);
    CloseHandle(h);
  }
}

void ActivateRow(TExceptionDialog& d, HWND list, int item) {
  if (!d.ListItems || item < 0) return;
  const int row = d.ListItems->RowOfItem(item);
  if (row < 0) return;
  const TListRowSpec& spec = d.ListItems->Model().Rows()[size_t(row)].Spec;
  if (spec.Header) {
    d.ListItems->Toggle(item, {0, 0}, false);
  } else if (d.Page == PageCallStack) {
    SendSourceLocation(d, spec);
  }
}

INT_PTR CALLBACK PageProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  TExceptionDialog* d = session;
  if (!d) return FALSE;
  switch (msg) {
    case WM_INITDIALOG:
      return FALSE;
    case WM_COMMAND:
    case WM_KEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_MOUSEWHEEL:
      d->RestartCount();
      return FALSE;
    case WM_NOTIFY: {
      d->RestartCount();
      const NMHDR* h = reinterpret_cast<const NMHDR*>(lp);
      if (h->idFrom != IdPageBody || !d->ListItems) return FALSE;
      if (h->code == NM_CLICK) {
        const auto* a = reinterpret_cast<const NMITEMACTIVATE*>(lp);
        LVHITTESTINFO hit{};
        hit.pt = a->ptAction;
        const int item = ListView_HitTest(h->hwndFrom, &hit);
        if (item >= 0) d->ListItems->Toggle(item, a->ptAction, true);
      } else if (h->code == NM_DBLCLK) {
        const auto* a = reinterpret_cast<const NMITEMACTIVATE*>(lp);
        LVHITTESTINFO hit{};
        hit.pt = a->ptAction;
        ActivateRow(*d, h->hwndFrom, ListView_HitTest(h->hwndFrom, &hit));
      } else if (h->code == NM_RETURN) {
        ActivateRow(*d, h->hwndFrom, ListView_GetNextItem(h->hwndFrom, -1, LVNI_FOCUSED));
      }
      return FALSE;
    }
    case WM_DRAWITEM: {
      const auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (di->CtlType == ODT_LISTVIEW && d->ListItems) {
        d->ListItems->Draw(*di);
        SetWindowLongPtrA(w, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORDLG: {
      HDC dc = reinterpret_cast<HDC>(wp);
      const bool body = GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == IdPageBody;
      SetTextColor(dc, RGB(0, 0, 0));
      if (body) {
        SetBkColor(dc, RGB(255, 255, 255));
        return INT_PTR(d->White);
      }
      if (!d->OwnFrame) return FALSE;
      SetBkMode(dc, TRANSPARENT);
      return INT_PTR(d->Background);
    }
  }
  return FALSE;
}

INT_PTR TExceptionDialog::Proc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      Init(Dialog);
      return FALSE;  // the focus was given to the OK button
    case WM_PAINT:
      Paint();
      return TRUE;
    case WM_SIZE:
      if (wp != SIZE_MINIMIZED) Layout(LOWORD(lp), HIWORD(lp));
      else RecState = 6;
      return TRUE;
    case WM_MOVE:
      RecordPosition();
      return FALSE;
    case WM_TIMER:
      switch (wp) {
        case TimerPaintCheck:
          KillTimer(Dialog, TimerPaintCheck);
          if (!Painted) End();
          break;
        case TimerAutoClose:
          if (++CloseCount >= Options.DialogCloseSeconds()) PostMessageA(Dialog, WM_CLOSE, 0, 0);
          break;
        case TimerTopMost:
          KeepOnTop();
          break;
      }
      return TRUE;
    case WM_CLOSE:
      End();
      return TRUE;
    case WM_COMMAND:
      RestartCount();
      switch (LOWORD(wp)) {
        case IdOk:  // also Escape: the OK button carries the cancel id
          End();
          return TRUE;
        case IdTerminate:
          Choices.Terminate = true;
          End();
          return TRUE;
        case IdDetails:
          if (Detailed) SaveState();
          Detailed = !Detailed;
          ApplyPresentation();
          return TRUE;
        case IdSend:
          EnableWindow(Item(IdScreenshot), IsDlgButtonChecked(Dialog, IdSend) == BST_CHECKED);
          return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      RestartCount();
      const NMHDR* h = reinterpret_cast<const NMHDR*>(lp);
      if (h->idFrom == IdTabs && h->code == TCN_SELCHANGE) {
        const std::vector<int> pages = Tabs.Pages();
        const int tab = TabCtrl_GetCurSel(Item(IdTabs));
        if (tab >= 0 && size_t(tab) < pages.size()) ShowPage(pages[size_t(tab)]);
      }
      return FALSE;
    }
    case WM_KEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MOUSEWHEEL:
    case WM_NCLBUTTONDOWN:
      RestartCount();
      return FALSE;
    case WM_MOUSEMOVE: {
      const POINT p{short(LOWORD(lp)), short(HIWORD(lp))};
      const bool over = LinkOffered && PtInRect(&LinkRect, p);
      if (over != OverLink) OverLink = over;
      return FALSE;
    }
    case WM_SETCURSOR:
      if (OverLink && LOWORD(lp) == HTCLIENT) {
        SetCursor(LoadCursor(nullptr, IDC_HAND));
        SetWindowLongPtrA(Dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_LBUTTONUP: {
      const POINT p{short(LOWORD(lp)), short(HIWORD(lp))};
      if (LinkOffered && PtInRect(&LinkRect, p)) {
        SetWindowPos(Dialog, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        ShellExecuteA(Dialog, "open", TrimBlanks(Options.SupportLink()).c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
      }
      return FALSE;
    }
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetTextColor(dc, RGB(0, 0, 0));
      SetBkMode(dc, TRANSPARENT);
      return INT_PTR(Background);
    }
    case WM_NCPAINT:
    case WM_NCACTIVATE:
      return OwnFrame && HandleOwnFrame(Dialog, msg, wp, lp, Fonts, Text(2));
    case WM_DESTROY:
      Destroy();
      return FALSE;
  }
  return FALSE;
}

INT_PTR CALLBACK DialogProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  TExceptionDialog* d = session;
  if (!d) return FALSE;
  if (msg == WM_INITDIALOG) d->Dialog = w;
  if (d->Dialog != w) return FALSE;
  return d->Proc(msg, wp, lp);
}

// Input anywhere in the dialog, its pages and their controls restarts the automatic close.
HHOOK inputHook = nullptr;
LRESULT CALLBACK InputFilter(int code, WPARAM wp, LPARAM lp) {
  if (code >= 0 && session) {
    const MSG* m = reinterpret_cast<const MSG*>(lp);
    switch (m->message) {
      case WM_KEYDOWN:
      case WM_SYSKEYDOWN:
      case WM_LBUTTONDOWN:
      case WM_RBUTTONDOWN:
      case WM_MBUTTONDOWN:
      case WM_MOUSEWHEEL:
      case WM_NCLBUTTONDOWN:
      case WM_NCRBUTTONDOWN:
        session->RestartCount();
        break;
    }
  }
  return CallNextHookEx(inputHook, code, wp, lp);
}

}  // namespace

HWND CurrentExceptionDialog() { return currentDialog; }

std::string DialogIniFileName() {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  std::string name = std::string(windows);
  if (name.empty() || name.back() != '\\') name += '\\';
  name += "Faultline.ini";
  if (FileWritable(name)) return name;
  char profile[1024] = {};
  GetEnvironmentVariableA("UserProfile", profile, sizeof profile);
  std::string folder = profile[0] ? std::string(profile) : std::string("\\");
  if (folder.back() == '\\') folder.pop_back();
  folder += "\\Faultline";
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if ((attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) &&
      !CreateDirectoryA(folder.c_str(), nullptr))
    return name;
  const std::string candidate = folder + "\\Faultline.ini";
  return FileWritable(candidate) ? candidate : name;
}

bool CopyTextToClipboard(HWND owner, const std::string& text) {
  // Another program may hold the clipboard for a moment.
  bool open = false;
  for (int attempt = 0; attempt < 10 && !(open = OpenClipboard(owner)); ++attempt) Sleep(20);
  if (!open) return false;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  char* p = memory ? static_cast<char*>(GlobalLock(memory)) : nullptr;
  if (!p) {
    if (memory) GlobalFree(memory);
    CloseClipboard();
    return false;
  }
  std::copy(text.begin(), text.end(), p);
  p[text.size()] = '\0';
  GlobalUnlock(memory);
  EmptyClipboard();
  const bool ok = SetClipboardData(CF_TEXT, memory) != nullptr;
  if (!ok) GlobalFree(memory);
  CloseClipboard();
  return ok;
}

TDialogChoices ShowExceptionDialog(const TFaultModuleOptions& options, const TDialogReport& report,
                                   const TDialogEvents& events) {
  TDialogChoices choices;
  HMODULE richEdit = LoadLibraryA("RICHED32.DLL");
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  HWND previous = GetForegroundWindow();
  currentDialog = nullptr;
  MessageBeep(MB_ICONHAND);
  const std::string ini = DialogIniFileName();
  bool again = false;
  do {
    again = false;
    choices.Terminate = false;
    TExceptionDialog dialog(options, report, events, choices, ini);
    session = &dialog;
    inputHook = SetWindowsHookExA(WH_MSGFILTER, InputFilter, nullptr, GetCurrentThreadId());
    DialogBoxIndirectParamA(GetModuleHandleA(nullptr), FaultDialogTemplate("FL_DIALOG"), nullptr, DialogProc, 0);
    if (inputHook) UnhookWindowsHookEx(inputHook);
    inputHook = nullptr;
    session = nullptr;
    choices.Painted = dialog.Painted;
    if (!dialog.Painted) {
      MessageBoxA(nullptr, report.Message.c_str(), options.Text(2).c_str(),
                  MB_ICONHAND | MB_TASKMODAL | MB_TOPMOST | MB_SERVICE_NOTIFICATION);
    }
    if (choices.Terminate && events.TerminateAction) {
      bool terminate = true;
      events.TerminateAction(terminate);
      choices.Terminate = terminate;
      again = !terminate;
    }
    if (!dialog.Painted && events.Warning) events.Warning(1, "Cannot show the DialogBox window.");
  } while (again);
  if (previous && IsWindow(previous)) SetForegroundWindow(previous);
  if (richEdit) FreeLibrary(richEdit);
  if (choices.CopyToClipboard && report.Texts) CopyTextToClipboard(nullptr, report.Texts->Report);
  return choices;
}
