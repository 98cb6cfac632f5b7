#include <algorithm>
#include <set>

#include "faultline/report/report_format.h"
#include "faultline/ui/dialog_resources.h"
#include "faultline/ui/dialog_style.h"
#include "faultline/ui/exception_dialog.h"

namespace {

enum : int { IdOk = 2, IdLabel = 100, IdEdit = 101 };
enum : UINT_PTR { TimerAutoClose = 2, TimerTopMost = 3 };

struct TRequestDialog {
  explicit TRequestDialog(const TFaultModuleOptions& options) : Options(options) {}
  const TFaultModuleOptions& Options;
  std::string Result;
  HWND Dialog = nullptr;
  TDialogFonts Fonts;
  HBRUSH Background = nullptr;
  int CloseCount = 0;
  std::set<HWND> Snapshot;
};
TRequestDialog* request = nullptr;
HHOOK requestHook = nullptr;

BOOL CALLBACK CollectOwn(HWND w, LPARAM list) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == GetCurrentProcessId()) reinterpret_cast<std::set<HWND>*>(list)->insert(w);
  return TRUE;
}

void Init(TRequestDialog& d, HWND w) {
  d.Dialog = w;
  ApplyCommonStyle(w, d.Options, true);
  d.Fonts.Create();
  d.Background = CreateSolidBrush(d.Options.DialogFlags() & 0x80 ? RGB(212, 208, 200) : GetSysColor(COLOR_BTNFACE));
  SetWindowTextA(w, d.Options.Text(81).c_str());
  HWND label = GetDlgItem(w, IdLabel), edit = GetDlgItem(w, IdEdit), ok = GetDlgItem(w, IdOk);
  const std::string prompt = d.Options.Text(82);
  SetWindowTextA(label, prompt.c_str());
  SetWindowTextA(ok, d.Options.Text(83).c_str());
  SendMessageA(label, WM_SETFONT, WPARAM(d.Fonts.Message), FALSE);
  SendMessageA(ok, WM_SETFONT, WPARAM(d.Fonts.Message), FALSE);
  SendMessageA(edit, WM_SETFONT, WPARAM(d.Fonts.Text), FALSE);

  RECT r;
  GetWindowRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const int u = width - 27;
  HDC dc = GetDC(w);
  HGDIOBJ old = SelectObject(dc, d.Fonts.Message);
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  int l = 0;
  size_t start = 0;
  for (;;) {
    const size_t end = prompt.find('\n', start);
    std::string line = prompt.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    l += ((std::max(TextWidthOf(dc, line), 1) - 1) / u + 1) * tm.tmHeight;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  SelectObject(dc, old);
  ReleaseDC(w, dc);
  const int editHeight = height - l - 83;
  SetWindowPos(w, nullptr, 0, 0, width, height + l - 10, SWP_NOMOVE | SWP_NOZORDER);
  MoveWindow(label, 10, 10, u, l, TRUE);
  MoveWindow(edit, 10, l + 14, u, editHeight, TRUE);
  MoveWindow(ok, u - 65, l + editHeight + 20, 75, 23, TRUE);
  // Centred on the screen.
  GetWindowRect(w, &r);
  SetWindowPos(w, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SetForegroundWindow(w);
  SetFocus(edit);
  if (d.Options.DialogCloseSeconds() > 0) SetTimer(w, TimerAutoClose, 1000, nullptr);
  EnumWindows(CollectOwn, LPARAM(&d.Snapshot));
  d.Snapshot.erase(w);
  SetTimer(w, TimerTopMost, 10, nullptr);
}

void Finish(TRequestDialog& d) {
  const int n = GetWindowTextLengthA(GetDlgItem(d.Dialog, IdEdit));
  std::string text(size_t(std::max(n, 0)) + 1, '\0');
  GetDlgItemTextA(d.Dialog, IdEdit, text.data(), n + 1);
  text.resize(size_t(std::max(n, 0)));
  d.Result = TrimBlanks(text);
  EndDialog(d.Dialog, IdOk);
}

INT_PTR CALLBACK RequestProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  TRequestDialog* d = request;
  if (!d) return FALSE;
  switch (msg) {
    case WM_INITDIALOG:
      Init(*d, w);
      return FALSE;
    case WM_COMMAND:
      d->CloseCount = 0;
      if (LOWORD(wp) == IdOk) Finish(*d);  // OK or Escape (the button carries the cancel id)
      return TRUE;
    case WM_CLOSE:
      Finish(*d);
      return TRUE;
    case WM_TIMER:
      if (wp == TimerAutoClose && ++d->CloseCount >= d->Options.DialogCloseSeconds()) {
        PostMessageA(w, WM_CLOSE, 0, 0);
      } else if (wp == TimerTopMost && !(d->Options.DialogFlags() & 0x40)) {
        HWND f = GetForegroundWindow();
        DWORD pid = 0;
        if (f && f != w) GetWindowThreadProcessId(f, &pid);
        if (pid == GetCurrentProcessId() && d->Snapshot.count(f)) SetForegroundWindow(w);
      }
      return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      if (!(d->Options.DialogFlags() & 0x80)) return FALSE;
      SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wp), RGB(0, 0, 0));
      return INT_PTR(d->Background);
    case WM_NCPAINT:
    case WM_NCACTIVATE:
      return (d->Options.DialogFlags() & 0x80) && HandleOwnFrame(w, msg, wp, lp, d->Fonts, d->Options.Text(81));
    case WM_DESTROY:
      KillTimer(w, TimerAutoClose);
      KillTimer(w, TimerTopMost);
      d->Fonts.Destroy();
      if (d->Background) DeleteObject(d->Background);
      return FALSE;
  }
  return FALSE;
}

LRESULT CALLBACK RequestInput(int code, WPARAM wp, LPARAM lp) {
  if (code >= 0 && request) {
    const UINT m = reinterpret_cast<const MSG*>(lp)->message;
    if (m == WM_KEYDOWN || m == WM_CHAR || m == WM_LBUTTONDOWN || m == WM_RBUTTONDOWN || m == WM_MOUSEWHEEL ||
        m == WM_NCLBUTTONDOWN)
      request->CloseCount = 0;
  }
  return CallNextHookEx(requestHook, code, wp, lp);
}

}  // namespace

bool RequestDialogWanted(const TFaultModuleOptions& options, const TDialogReport& report, bool sending) {
  return (options.LogSections() & 0x02) && !report.ConsoleProgram && !report.WebApplication && !report.Duplicate &&
         (sending || options.LogSaved());
}

std::string ShowRequestDialog(const TFaultModuleOptions& options) {
  TRequestDialog dialog(options);
  request = &dialog;
  requestHook = SetWindowsHookExA(WH_MSGFILTER, RequestInput, nullptr, GetCurrentThreadId());
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), FaultDialogTemplate("FL_REQUEST"), nullptr, RequestProc, 0);
  if (requestHook) UnhookWindowsHookEx(requestHook);
  requestHook = nullptr;
  request = nullptr;
  return dialog.Result;
}
