#pragma once
// Drives the real wizard from another process, as a user would: finds its window and controls,
// reads their state and clicks the button.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>

#include "app/main_window_ids.h"

class TWizardDriver {
 public:
  // Starts the program and waits for its main window.
  bool Launch(const std::string& exe, const std::string& workDir) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string cmd = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, workDir.c_str(), &si, &pi_))
      return false;
    return WaitUntil([&] { return FindMain(); }, 20000);
  }

  ~TWizardDriver() {
    if (pi_.hProcess) {
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 9);
      WaitForSingleObject(pi_.hProcess, 5000);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
  }

  HWND Main() const { return main_; }
  std::string Caption() const { return Text(button_); }
  std::string Status() const { return Text(label_); }
  std::string Title() const { return Text(main_); }
  int Position() const { return static_cast<int>(Send(progress_, PBM_GETPOS, 0, 0)); }
  long Tag() const { return static_cast<long>(GetWindowLongPtrA(button_, GWLP_USERDATA)); }
  int TaskCount() const { return static_cast<int>(Send(list_, LVM_GETITEMCOUNT, 0, 0)); }
  bool Ticked(int i) const {
    return ((Send(list_, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) >> 12) == 2;
  }
  void Click() const { Send(button_, BM_CLICK, 0, 0); }
  bool Exited(DWORD timeoutMs) const { return WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0; }
  // A control's rectangle in the main window's client coordinates (id of a direct child, or of a
  // child of a panel when panel is given).
  RECT ControlRect(int id, int panel = 0) const {
    HWND parent = panel ? GetDlgItem(main_, panel) : main_;
    RECT r{};
    GetWindowRect(GetDlgItem(parent, id), &r);
    MapWindowPoints(HWND_DESKTOP, main_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  RECT ClientRect() const {
    RECT r{};
    GetClientRect(main_, &r);
    return r;
  }

  static bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    for (DWORD start = GetTickCount();; Sleep(20)) {
      if (done()) return true;
      if (GetTickCount() - start > timeoutMs) return false;
    }
  }

 private:
  static LRESULT Send(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(w, msg, wp, lp, SMTO_NORMAL, 5000, &result);
    return static_cast<LRESULT>(result);
  }
  static std::string Text(HWND w) {
    char buffer[512] = {};
    DWORD_PTR n = 0;
    SendMessageTimeoutA(w, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, 5000, &n);
    return std::string(buffer);
  }
  struct TSearch {
    DWORD pid;
    HWND found;
  };
  static BOOL CALLBACK MatchMain(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<TSearch*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    if (pid == s->pid && lstrcmpA(cls, TARN_MAIN_WINDOW_CLASS) == 0 && IsWindowVisible(w)) {
      s->found = w;
      return FALSE;
    }
    return TRUE;
  }
  bool FindMain() {
    TSearch s{pi_.dwProcessId, nullptr};
    EnumWindows(&TWizardDriver::MatchMain, reinterpret_cast<LPARAM>(&s));
    if (!s.found) return false;
    main_ = s.found;
    button_ = GetDlgItem(main_, IDC_BTNSTART);
    progress_ = GetDlgItem(main_, IDC_PROGRESSBAR2);
    label_ = GetDlgItem(main_, IDC_LABEL1);
    list_ = GetDlgItem(GetDlgItem(main_, IDC_PANEL1), IDC_LISTVIEW1);
    return button_ && progress_ && label_ && list_;
  }

  PROCESS_INFORMATION pi_{};
  HWND main_ = nullptr, button_ = nullptr, progress_ = nullptr, label_ = nullptr, list_ = nullptr;
};
