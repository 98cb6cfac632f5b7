// The crash laboratory's windowed program: faultlab SCENARIO. It has the application object and a
// window with a button; the scenario's fault happens in the button's click handler, reached
// through the window procedure as a user's click would be. No dialog is shown (the report's
// presentation is recorded instead), so the program runs unattended; it closes its window after
// the scenario. Reports are saved in faultlab.flf beside the program.
#include <windows.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "faultline/capture/capture.h"
#include "faultline/options/options.h"
#include "faultline/ui/exception_dialog.h"
#include "faultline/ui/screenshot.h"
#include "rtl/application.h"

namespace {

std::string scenario;
constexpr int kButtonId = 100;

// event: a C++ exception escapes the button's click handler. One report (through the
// application's exception handler), the program goes on; exit code 0.
__attribute__((noinline)) void ButtonClick() {
  if (scenario == "event") throw std::runtime_error("escaped from a button handler");  // fault line
}

// av: an access violation in the program's own code, in the click handler. Reported as an
// EAccessViolation through the application's handler; the program goes on; exit code 0.
__attribute__((noinline)) void ReadThroughNull() {
  volatile int* volatile p = nullptr;
  if (*p == 42) MessageBeep(0);  // fault line
}

// divzero: an integer division by zero in the click handler. Reported as an EDivByZero; the
// program goes on; exit code 0.
volatile int zero = 0;
volatile int quotient = 0;
__attribute__((noinline)) void DivideByZero() {
  quotient = 100 / zero;  // fault line
}

// quit: the program has been asked to quit when it faults; the main thread, waiting for its
// report, takes the request out of its queue. The request must survive the wait: one report,
// then the program ends; exit code 0 (a lost request would leave it running).
__attribute__((noinline)) void FaultThenQuit() {
  PostQuitMessage(0);
  throw std::runtime_error("fault while a quit request comes");  // fault line
}

// freeze: the click handler keeps the main thread busy for 3.5 s while the freeze detector watches
// with FreezeSeconds 2. One report (EFrozenApplication with the options' text) whose call stack
// begins in the busy loop; the program goes on; exit code 0.
// answers: the same for 1 s only: the window answers again in time, no report; exit code 0.
volatile bool stopSpinning = false;
DWORD WINAPI StopSpinningAfter(LPVOID milliseconds) {
  Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(milliseconds)));
  stopSpinning = true;
  return 0;
}
__attribute__((noinline)) void SpinInHandler(DWORD milliseconds) {
  stopSpinning = false;
  CloseHandle(CreateThread(nullptr, 0, StopSpinningAfter, reinterpret_cast<LPVOID>(uintptr_t{milliseconds}), 0, nullptr));
  while (!stopSpinning) {}  // fault line
}

// freeze-alloc: the click handler allocates and frees in a loop for 3.5 s while the freeze
// detector watches: the main thread, when it is stopped, is most likely inside the allocator,
// holding the heap's lock that the report needs. One report, the program goes on; exit code 0.
volatile void* lastBlock = nullptr;
__attribute__((noinline)) void AllocateInHandler(DWORD milliseconds) {
  stopSpinning = false;
  CloseHandle(CreateThread(nullptr, 0, StopSpinningAfter, reinterpret_cast<LPVOID>(uintptr_t{milliseconds}), 0, nullptr));
  // On one line, so that wherever the main thread is stopped in the loop its row names this line.
  while (!stopSpinning) std::free(const_cast<void*>(lastBlock = std::malloc(256)));  // fault line
}

// freeze-load: the click handler loads a library whose start-up keeps the main thread busy for
// 3.5 s, holding the loader's lock, while the freeze detector watches with FreezeSeconds 2. The
// report must neither keep the main thread held nor wait for it: one report (in the library, the
// handler's call on the stack), the program goes on; exit code 0.
__attribute__((noinline)) void LoadSpinningLibrary() {
  SetEnvironmentVariableA("FAULTLAB_INIT_SPIN", "3500");
  HMODULE library = LoadLibraryA("faultlab-dll.dll");  // fault line
  SetEnvironmentVariableA("FAULTLAB_INIT_SPIN", nullptr);
  if (library) FreeLibrary(library);
}

// dialog (the demo of the README's run command): the exception dialog shows as a user sees it.
// A thread of the laboratory opens its details, saves a picture of it (to the file that
// FAULTLAB_PICTURE names) and closes it with its OK button; the program goes on; exit code 0.
DWORD WINAPI DriveDialog(LPVOID) {
  HWND dialog = nullptr;
  for (int i = 0; i < 3000 && !(dialog = CurrentExceptionDialog()); ++i) Sleep(10);
  if (!dialog) return 1;
  Sleep(500);
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(4, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, 4)));
  Sleep(1500);  // the detailed presentation lays itself out and paints
  char picture[MAX_PATH] = {};
  if (GetEnvironmentVariableA("FAULTLAB_PICTURE", picture, sizeof picture)) {
    TScreenshot shot;
    if (shot.Capture(true, TScreenshotMarks{})) shot.Save(picture);
  }
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, 2)));
  return 0;
}

__attribute__((noinline)) void OpenReportFile() {
  throw std::runtime_error("无法打开文件“月度报表.xlsx”：该文件正被另一个程序使用。");  // fault line
}

void Click() {
  if (scenario == "dialog") OpenReportFile();
  if (scenario == "freeze") SpinInHandler(3500);
  if (scenario == "freeze-load") LoadSpinningLibrary();
  if (scenario == "freeze-alloc") AllocateInHandler(3500);
  if (scenario == "answers") SpinInHandler(1000);
  if (scenario == "quit") FaultThenQuit();
  if (scenario == "av") ReadThroughNull();
  if (scenario == "divzero") DivideByZero();
  ButtonClick();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return GuardedWndProc([&]() -> LRESULT {
    switch (message) {
      case WM_COMMAND:
        if (LOWORD(w) == kButtonId) {
          // The window closes once the click is dealt with, by the handler or by the report
          // (in the quit scenario the program is asked to quit instead).
          if (scenario != "quit") PostMessageA(window, WM_CLOSE, 0, 0);
          Click();
        }
        return 0;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, w, l);
  });
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (__argc != 2) return 2;
  scenario = __argv[1];
  if (scenario != "event" && scenario != "quiet" && scenario != "av" && scenario != "divzero" && scenario != "quit" &&
      scenario != "freeze" && scenario != "freeze-load" && scenario != "freeze-alloc" &&
      scenario != "answers" && scenario != "dialog")
    return 2;
  FaultlineStart();
  if (scenario == "dialog") {
    // Nobody else may be held while the dialog shows: the thread that drives it must run.
    TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
    options.SetHandlingFlags(0);
    CloseHandle(CreateThread(nullptr, 0, DriveDialog, nullptr, 0, nullptr));
  } else {
    // The laboratory runs unattended: the report's presentation is a line in the debugger output.
    ReportSeams().ShowDialog = [](const TReportTexts&, TPresentation) {
      OutputDebugStringA("faultlab: report presented");
      // A presentation takes a while, as a dialog would: the faulting main thread waits meanwhile.
      if (scenario == "quit") Sleep(200);
      return true;
    };
  }
  if (scenario == "freeze" || scenario == "freeze-load" || scenario == "freeze-alloc" || scenario == "answers") {
    // The program turns the detector on through its options, as a program may at any time.
    TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
    options.SetFreezeSeconds(2);
    options.SetFreezeWatch(true);
  }
  Application().Initialize();
  Application().SetTitle("faultlab");
  WNDCLASSA wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = "FaultlabWindow";
  RegisterClassA(&wc);
  HWND window = CreateWindowA("FaultlabWindow", "faultlab", WS_OVERLAPPEDWINDOW, 10, 10, 300, 120, nullptr, nullptr,
                              instance, nullptr);
  HWND button = CreateWindowA("BUTTON", "Fault", WS_CHILD | WS_VISIBLE, 10, 10, 100, 30, window,
                              reinterpret_cast<HMENU>(kButtonId), instance, nullptr);
  ShowWindow(window, SW_SHOW);
  Application().SetMainWindow(window);
  // A click, as a user would make it.
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(kButtonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  Application().Run();
  FaultlineStop();
  return 0;
}
