// The exception dialog shown with a sample report and driven through its controls from another
// thread, as a user would: the delivery boxes, the details button and the tabs, copy to clipboard,
// the terminate button with a handler that takes it back, the automatic close and its restart on
// input, the geometry remembered in "Faultline.ini" across two runs, the paint check's message box,
// the request dialog and the source location sent to listening mailslots. Pictures of every
// presentation and page go to dialog-pictures beside the test program.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "faultline/report/report_format.h"
#include "faultline/ui/exception_dialog.h"
#include "faultline/ui/screenshot.h"
#include "tests/wine_support.h"

namespace {

const char* const ChineseMessage = "文件“数据.txt”无法打开：拒绝访问。";
const wchar_t* const ChineseMessageWide = L"文件“数据.txt”无法打开：拒绝访问。";

// A report of three threads in three modules, with a Chinese message and custom data.
struct TSampleReport {
  TReportData Data;
  TReportTexts Texts;
  TDialogReport Report;
  explicit TSampleReport(const TFaultModuleOptions& options) {
    auto module = [](uint32_t base, const char* path, uint8_t type, const char* version) {
      TFaultModuleInfo m;
      m.Handle = base;
      m.Path = path;
      m.ModuleType = type;
      m.Version = version;
      m.Description = "示例模块";
      m.FileSize = 123456;
      m.ModifiedTime = EncodeDateTime(2024, 3, 5, 14, 7, 9);
      return m;
    };
    Data.Modules = {module(0x00400000, "C:\\Program Files\\Tarn\\Tarn_Import.exe", ModuleExecutable, "1.0"),
                    module(0x7C800000, "C:\\windows\\system32\\kernel32.dll", ModuleLibrary, "5.1.2600.2180"),
                    module(0x10000000, "C:\\Program Files\\Tarn\\rtl60.bpl", ModulePackage, "6.0.6.240")};
    auto entry = [&](uint32_t thread, bool running, uint32_t address, int module, uint8_t kind, const char* unit,
                     const char* cls, const char* proc, int line) {
      TFaultDebugInfo e;
      e.ThreadId = thread;
      e.Running = running;
      e.Address = address;
      e.Module = &Data.Modules[size_t(module)];
      e.Kind = kind;
      e.UnitName = unit;
      e.ClassName = cls;
      e.ProcedureName = proc;
      e.Line = line;
      e.LineOffset = line ? 3 : 0;
      return e;
    };
    Data.Stack = {entry(100, true, 0x00401234, 0, 4, "main_window_win.cpp", "TfrmMain", "btnStartClick", 212),
                  entry(100, true, 0x00402000, 0, 4, "main_win.cpp", "", "WinMain", 40),
                  entry(100, true, 0x7C816FD7, 1, 2, "", "", "RegisterWaitForInputIdle", 0),
                  entry(200, false, 0x10001000, 2, 4, "Classes.pas", "TThread", "Synchronize", 88),
                  entry(300, true, 0x00403000, 0, 4, "import_worker.cpp", "TFileManager", "Execute", 57),
                  entry(300, true, 0x7C80B729, 1, 2, "", "", "GetModuleFileNameA", 0)};
    Data.Threads = {{100, 0, 0, false, ""}, {200, 0, 1, true, "TFileManager"}, {300, 0, 2, false, ""}};
    Data.MainThreadId = 100;
    Data.ApplicationName = "Tarn导入向导";
    Data.StartDate = EncodeDateTime(2024, 6, 1, 9, 30, 0);
    Data.ExceptionDate = EncodeDateTime(2024, 6, 1, 9, 41, 17);
    Data.ExceptionType = "EFOpenError";
    Data.ExceptionMessage = ChineseMessage;
    Data.ExceptionAddress = 0x00401234;
    Data.ExceptionModule = "Tarn_Import.exe";
    Data.Cpu.HasContext = Data.Cpu.StackReadable = Data.Cpu.DumpReadable = true;
    Data.Cpu.Eax = 0x12345678;
    Data.Cpu.Esp = 0x0012FF00;
    Data.Cpu.Eip = 0x00401234;
    Data.Cpu.DumpAddress = 0x00401230;
    for (size_t i = 0; i < Data.Cpu.Dump.size(); ++i) Data.Cpu.Dump[i] = uint8_t(i * 7);
    Data.HasCustomData = true;
    Data.CustomData = "Import run: 3 of 5 tasks\r\n当前任务: 桌面整理";
    Texts = BuildReportText(Data, ReportLayoutFrom(options));
    Report.Texts = &Texts;
    Report.Data = &Data;
    Report.Message = ChineseMessage;
    Report.ErrorCount = 1;
  }
};

struct TOptions : TFaultModuleOptions {
  TOptions() : TFaultModuleOptions("", false) {
    SetMailMode(1);
    SetDialogFlags(0x01 | 0x02 | 0x04 | 0x08 | 0x10);
    SetSupportLink("http://127.0.0.1/support");
  }
};

std::string PictureDir() {
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string dir = exe;
  dir = dir.substr(0, dir.rfind('\\')) + "\\dialog-pictures";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

HWND Control(HWND dialog, int id) { return GetDlgItem(dialog, id); }
void Click(HWND dialog, int id) { SendMessageA(Control(dialog, id), BM_CLICK, 0, 0); }
bool Shown(HWND dialog, int id) { return IsWindowVisible(Control(dialog, id)) != FALSE; }

// The list of the page shown (call stack or modules): control 103 of a page inside the tabs.
HWND PageList(HWND dialog) {
  HWND page = GetWindow(Control(dialog, 1000), GW_CHILD);
  while (page && !GetDlgItem(page, 103)) page = GetWindow(page, GW_HWNDNEXT);
  return page ? GetDlgItem(page, 103) : nullptr;
}

// Shows the dialog on this thread while drive runs on another once the dialog is up. Whatever
// drive leaves open is closed.
TDialogChoices RunDialog(const TFaultModuleOptions& options, const TDialogReport& report,
                         const std::function<void(HWND)>& drive, TDialogEvents events = {}) {
  std::atomic<HWND> dialog{nullptr};
  auto created = events.Created;
  events.Created = [&](HWND w) {
    if (created) created(w);
    dialog = w;
  };
  std::thread driver([&] {
    for (int i = 0; i < 500 && !dialog; ++i) Sleep(10);
    HWND w = dialog;
    if (!w) return;
    Sleep(250);
    drive(w);
    for (int i = 0; i < 100 && IsWindow(w); ++i) Sleep(10);
    if (IsWindow(w)) PostMessageA(w, WM_CLOSE, 0, 0);
  });
  TDialogChoices choices = ShowExceptionDialog(options, report, events);
  driver.join();
  return choices;
}

void SavePicture(HWND dialog, const std::string& name) {
  SetForegroundWindow(dialog);
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(200);
  TScreenshot shot;
  if (GetForegroundWindow() == dialog && shot.Capture(true, {})) shot.Save(PictureDir() + "\\" + name + ".png");
}

std::string ClipboardText() {
  std::string text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE h = GetClipboardData(CF_TEXT)) {
    if (const char* p = static_cast<const char*>(GlobalLock(h))) text = p;
    GlobalUnlock(h);
  }
  CloseClipboard();
  return text;
}

std::string Ini() { return DialogIniFileName(); }

class ExceptionDialog : public ::testing::Test {
 protected:
  void SetUp() override { DeleteFileA(Ini().c_str()); }
};

TEST_F(ExceptionDialog, PicturesOfEachPresentationAndPageWithAndWithoutOwnFrame) {
  for (bool ownFrame : {false, true}) {
    TOptions options;
    options.SetDialogFlags(options.DialogFlags() | (ownFrame ? 0x80 : 0));
    TSampleReport sample(options);
    const std::string suffix = ownFrame ? "-ownframe" : "";
    std::wstring shownMessage;
    int pictures = 0;
    RunDialog(options, sample.Report, [&](HWND w) {
      wchar_t text[256] = {};
      GetWindowTextW(Control(w, 101), text, 256);
      shownMessage = text;
      SavePicture(w, "compact" + suffix);
      Click(w, 4);
      Sleep(300);
      HWND tabs = Control(w, 1000);
      static const char* const pages[5] = {"general", "callstack", "modules", "cpu", "custom"};
      for (int tab = 0; tab < 5; ++tab) {
        SendMessageA(tabs, TCM_SETCURFOCUS, WPARAM(tab), 0);
        Sleep(200);
        SavePicture(w, std::string("detailed-") + pages[tab] + suffix);
        ++pictures;
      }
      Click(w, 2);
    });
    EXPECT_EQ(shownMessage, ChineseMessageWide) << "the message in the program's code page";
    EXPECT_EQ(pictures, 5);
  }
}

TEST_F(ExceptionDialog, DeliveryBoxesHandBackWhatTheUserLeftChecked) {
  struct TCase {
    const char* Name;
    bool Duplicate;
    bool ClickSend, ClickScreenshot;
    bool Send, Screenshot;
  };
  for (const TCase& c : {TCase{"as offered", false, false, false, true, true},
                         TCase{"send unchecked", false, true, false, false, false},
                         TCase{"screenshot unchecked", false, false, true, true, false},
                         TCase{"duplicate", true, false, false, false, false}}) {
    SCOPED_TRACE(c.Name);
    TOptions options;
    TSampleReport sample(options);
    sample.Report.Duplicate = c.Duplicate;
    bool sendShown = false, screenshotEnabledAfter = false;
    const TDialogChoices choices = RunDialog(options, sample.Report, [&](HWND w) {
      sendShown = Shown(w, 3000) && Shown(w, 4000);
      if (c.ClickSend) Click(w, 3000);
      if (c.ClickScreenshot) Click(w, 4000);
      screenshotEnabledAfter = IsWindowEnabled(Control(w, 4000));
      Click(w, 2);
    });
    EXPECT_EQ(sendShown, !c.Duplicate);
    EXPECT_EQ(screenshotEnabledAfter, !c.ClickSend && !c.Duplicate);
    EXPECT_EQ(choices.Send, c.Send);
    EXPECT_EQ(choices.Screenshot, c.Screenshot);
    EXPECT_TRUE(choices.Painted);
    EXPECT_FALSE(choices.Terminate);
  }
}

TEST_F(ExceptionDialog, CopyToClipboardPutsTheReportThere) {
  TOptions options;
  TSampleReport sample(options);
  OpenClipboard(nullptr);
  EmptyClipboard();
  CloseClipboard();
  const TDialogChoices choices = RunDialog(options, sample.Report, [&](HWND w) {
    Click(w, 5000);
    Click(w, 2);
  });
  EXPECT_TRUE(choices.CopyToClipboard);
  EXPECT_EQ(ClipboardText(), sample.Texts.Report);
}

TEST_F(ExceptionDialog, TerminateTakenBackByAHandlerShowsTheDialogAgain) {
  TOptions options;
  options.SetTerminateButtonAfter(2);
  TSampleReport sample(options);
  sample.Report.ErrorCount = 3;
  int asked = 0, shown = 0;
  TDialogEvents events;
  events.TerminateAction = [&](bool& terminate) {
    if (++asked == 1) terminate = false;
  };
  events.Created = [&](HWND) { ++shown; };
  std::thread driver([&] {
    for (int r = 0; r < 2; ++r) {
      HWND w = nullptr;
      for (int i = 0; i < 500 && !(w = CurrentExceptionDialog()); ++i) Sleep(10);
      Sleep(300);
      if (w && IsWindowVisible(Control(w, 3))) Click(w, 3);
      for (int i = 0; i < 300 && IsWindow(w); ++i) Sleep(10);
    }
  });
  const TDialogChoices choices = ShowExceptionDialog(options, sample.Report, events);
  driver.join();
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(choices.Terminate);

  // Below the threshold the button is not there.
  sample.Report.ErrorCount = 2;
  bool visible = true;
  RunDialog(options, sample.Report, [&](HWND w) {
    visible = IsWindowVisible(Control(w, 3));
    Click(w, 2);
  });
  EXPECT_FALSE(visible);
}

TEST_F(ExceptionDialog, ClosesItselfAfterItsSecondsAndInputRestartsTheCount) {
  TOptions options;
  options.SetDialogCloseSeconds(2);
  TSampleReport sample(options);
  for (bool click : {false, true}) {
    SCOPED_TRACE(click ? "clicked" : "left alone");
    const DWORD start = GetTickCount();
    DWORD clickedAt = 0;
    RunDialog(options, sample.Report, [&](HWND w) {
      if (!click) return;
      Sleep(1100);  // about 1.5 s after the dialog opened
      clickedAt = GetTickCount();
      PostMessageA(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 5));
      PostMessageA(w, WM_LBUTTONUP, 0, MAKELPARAM(200, 5));
    });
    const DWORD end = GetTickCount();
    if (!click) {
      EXPECT_GE(end - start, 1900u);
      EXPECT_LT(end - start, 3500u);
    } else {
      EXPECT_GE(end - clickedAt, 1900u) << "the count started again at the click";
      EXPECT_LT(end - clickedAt, 3500u);
    }
  }
}

TEST_F(ExceptionDialog, SizePositionAndColumnsAreRememberedAcrossRuns) {
  TOptions options;
  options.SetDialogFlags(options.DialogFlags() | 0x20 | 0x40);  // detailed from the start, top-most
  options.SetFirstDialogPage(1);                               // the call stack
  TSampleReport sample(options);
  RunDialog(options, sample.Report, [&](HWND w) {
    MoveWindow(w, 60, 40, 700, 430, TRUE);
    if (HWND list = PageList(w)) ListView_SetColumnWidth(list, 4, 250);
    Click(w, 2);
  });
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "Width"), "700");
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "Left"), "60");
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "Top"), "40");
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "WindowsState"), "1");
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "Col4"), "250");
  EXPECT_EQ(wine_test::IniRead(Ini(), "Coordinates", "Col0"), "89");

  RECT second{};
  int column = 0;
  RunDialog(options, sample.Report, [&](HWND w) {
    GetWindowRect(w, &second);
    if (HWND list = PageList(w)) column = ListView_GetColumnWidth(list, 4);
    Click(w, 2);
  });
  EXPECT_EQ(second.left, 60);
  EXPECT_EQ(second.top, 40);
  EXPECT_EQ(second.right - second.left, 700);
  EXPECT_EQ(second.bottom - second.top, 430) << "the same size again, not smaller by the bottom area";
  EXPECT_EQ(column, 250);
}

// A development environment listens on mailslots "Faultline0" to "Faultline3" of this computer;
// activating a call-stack row (double click) sends each open one the row's source location.
TEST_F(ExceptionDialog, ActivatingACallStackRowSendsItsSourceLocationToTheListeningMailslots) {
  HANDLE listeners[2] = {CreateMailslotA("\\\\.\\mailslot\\Faultline1", 0, 0, nullptr),
                         CreateMailslotA("\\\\.\\mailslot\\Faultline3", 0, 0, nullptr)};
  ASSERT_NE(listeners[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(listeners[1], INVALID_HANDLE_VALUE);
  TOptions options;
  options.SetDialogFlags(options.DialogFlags() | 0x20);  // detailed from the start
  options.SetFirstDialogPage(1);                        // the call stack
  TSampleReport sample(options);
  sample.Data.Modules[0].BuildTime = 45123.5;
  RunDialog(options, sample.Report, [&](HWND w) {
    HWND list = PageList(w);
    RECT row{};
    row.left = LVIR_BOUNDS;
    // Row 0 is the exception thread's header, row 1 btnStartClick's entry.
    if (list && SendMessageA(list, LVM_GETITEMRECT, 1, LPARAM(&row))) {
      const LPARAM at = MAKELPARAM(row.left + 200, (row.top + row.bottom) / 2);
      SendMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
      SendMessageA(list, WM_LBUTTONUP, 0, at);
      SendMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
      SendMessageA(list, WM_LBUTTONUP, 0, at);
    }
    Click(w, 2);
  });
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  for (HANDLE slot : listeners) {
    DWORD next = 0, count = 0;
    ASSERT_TRUE(GetMailslotInfo(slot, nullptr, &next, &count, nullptr));
    ASSERT_EQ(count, 1u) << "one message on each listening mailslot";
    std::string message(next, '\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(slot, message.data(), next, &read, nullptr));
    ASSERT_EQ(read, 376u);
    auto text = [&](size_t at) { return std::string(message.c_str() + at); };
    auto number = [&](size_t at) {
      int32_t v;
      std::memcpy(&v, message.data() + at, 4);
      return v;
    };
    EXPECT_EQ(text(0), std::string(exe).substr(0, 89));
    EXPECT_EQ(text(90), "main_window_win.cpp");
    EXPECT_EQ(text(180), "TfrmMain");
    EXPECT_EQ(text(270), "btnStartClick");
    EXPECT_EQ(number(360), 212);
    EXPECT_EQ(number(364), -1) << "no offset shown in the line cell";
    double built;
    std::memcpy(&built, message.data() + 368, 8);
    EXPECT_EQ(built, 45123.5) << "the build time of the module the address lies in";
    CloseHandle(slot);
  }
}

WNDPROC unpaintedOriginal = nullptr;
LRESULT CALLBACK SwallowPaint(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_PAINT) {
    ValidateRect(h, nullptr);
    return 0;
  }
  return CallWindowProcA(unpaintedOriginal, h, m, wp, lp);
}

// A message box of this process with the caption: a dialog with a message box's text control (the
// exception dialog has the same caption, so the caption alone does not tell them apart).
struct TBoxSearch {
  std::string Caption;
  HWND Found = nullptr;
};
BOOL CALLBACK MatchMessageBox(HWND w, LPARAM data) {
  auto* s = reinterpret_cast<TBoxSearch*>(data);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  char cls[16] = {}, caption[64] = {};
  GetClassNameA(w, cls, sizeof cls);
  GetWindowTextA(w, caption, sizeof caption);
  if (pid != GetCurrentProcessId() || std::string(cls) != "#32770" || s->Caption != caption || !GetDlgItem(w, 0xFFFF))
    return TRUE;
  s->Found = w;
  return FALSE;
}

TEST_F(ExceptionDialog, ADialogThatNeverPaintsFallsBackToTheMessageBox) {
  TOptions options;
  TSampleReport sample(options);
  TDialogEvents events;
  // Every paint of the dialog is swallowed before it reaches the dialog, as when the window
  // never gets on screen.
  events.Created = [](HWND w) {
    unpaintedOriginal = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(w, GWLP_WNDPROC));
    SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SwallowPaint));
  };
  int warning = 0;
  std::string warningText;
  events.Warning = [&](int code, const std::string& text) {
    warning = code;
    warningText = text;
  };
  std::wstring boxText;
  std::thread driver([&] {
    // The message box: caption text 2.
    TBoxSearch search{options.Text(2)};
    for (int i = 0; i < 3000 && !search.Found; ++i) {
      EnumWindows(MatchMessageBox, reinterpret_cast<LPARAM>(&search));
      if (!search.Found) Sleep(10);
    }
    if (!search.Found) {
      if (HWND w = CurrentExceptionDialog()) PostMessageA(w, WM_CLOSE, 0, 0);  // no box came
      return;
    }
    Sleep(200);
    wchar_t text[256] = {};
    GetDlgItemTextW(search.Found, 0xFFFF, text, 256);
    boxText = text;
    PostMessageA(search.Found, WM_COMMAND, IDOK, 0);
  });
  const TDialogChoices choices = ShowExceptionDialog(options, sample.Report, events);
  driver.join();
  EXPECT_FALSE(choices.Painted);
  EXPECT_EQ(warning, 1);
  EXPECT_EQ(warningText, "Cannot show the DialogBox window.");
  EXPECT_EQ(boxText, ChineseMessageWide);
}

TEST_F(ExceptionDialog, RequestDialogReturnsTheTrimmedText) {
  TOptions options;
  options.SetLogSections(options.LogSections() | 0x02);
  TSampleReport sample(options);
  EXPECT_TRUE(RequestDialogWanted(options, sample.Report, false));
  sample.Report.Duplicate = true;
  EXPECT_FALSE(RequestDialogWanted(options, sample.Report, true));
  std::thread driver([&] {
    HWND w = nullptr;
    for (int i = 0; i < 500 && !(w = FindWindowA("#32770", options.Text(81).c_str())); ++i) Sleep(10);
    Sleep(300);
    SendMessageA(GetDlgItem(w, 101), WM_SETTEXT, 0, LPARAM("  点击开始导入后程序崩溃\r\n  "));
    SavePicture(w, "request");
    SendMessageA(GetDlgItem(w, 2), BM_CLICK, 0, 0);
  });
  const std::string text = ShowRequestDialog(options);
  driver.join();
  EXPECT_EQ(text, "点击开始导入后程序崩溃");
}

TEST_F(ExceptionDialog, IniMovesToTheProfileFolderWhenTheWindowsFolderCannotTakeIt) {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  const std::string blocked = std::string(windows) + "\\Faultline.ini";
  DeleteFileA(blocked.c_str());
  EXPECT_EQ(DialogIniFileName(), blocked);
  // A folder where the file should be: the file cannot be opened there.
  ASSERT_TRUE(CreateDirectoryA(blocked.c_str(), nullptr));
  const std::string moved = DialogIniFileName();
  RemoveDirectoryA(blocked.c_str());
  char profile[1024] = {};
  GetEnvironmentVariableA("UserProfile", profile, sizeof profile);
  EXPECT_EQ(moved, std::string(profile) + "\\Faultline\\Faultline.ini");
}

}  // namespace
