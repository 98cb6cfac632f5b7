#include "faultline/freeze/freeze.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "faultline/lists/own_thread.h"
#include "faultline/lists/threads_list.h"
#include "faultline/options/options.h"
#include "rtl/cpu_context.h"

namespace {

constexpr DWORD ProbeMilliseconds = 50;
// The most of the main thread's stack a freeze report copies (from its stack pointer up).
constexpr size_t FrozenStackCopy = 100 * 1024;

struct TWindowSearch {
  DWORD ProcessId;
  HWND Found;
};

bool IsToolWindow(HWND window) { return (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0; }

// The owner that counts: through tool windows to their own owners; the desktop counts as none.
HWND EffectiveOwner(HWND window) {
  HWND owner = GetWindow(window, GW_OWNER);
  for (int i = 0; owner && IsToolWindow(owner) && i < 16; ++i) owner = GetWindow(owner, GW_OWNER);
  return owner == GetDesktopWindow() ? nullptr : owner;
}

BOOL CALLBACK MatchMainWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TWindowSearch*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->ProcessId || !IsWindowVisible(window) || EffectiveOwner(window)) return TRUE;
  const LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  if ((exStyle & WS_EX_TOOLWINDOW) && !(exStyle & WS_EX_APPWINDOW)) return TRUE;
  search->Found = window;
  return FALSE;
}

class TFreezeThread : public TFaultlineThread {
 public:
  explicit TFreezeThread(TFreezeReporting reporting) : TFaultlineThread(true), reporting_(std::move(reporting)) {}

 protected:
  void Execute() override {
    try {
      Watch();
    } catch (...) {
      // The options went away under the detector (the program is ending): nothing more to watch.
    }
    SignalEnded();
  }

 private:
  void Watch() {
    HWND window = nullptr;
    while (!Terminated() && !(window = FindMainWindow(GetCurrentProcessId()))) Sleep(ProbeMilliseconds);
    // Silence is counted by the clock from the first unanswered probe: a probe of a window that
    // is gone or hung may return before its time-out.
    bool silent = false;
    DWORD silentSince = 0;
    while (!Terminated()) {
      DWORD_PTR answer = 0;
      const DWORD sent = GetTickCount();
      const bool answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                                                ProbeMilliseconds, &answer) != 0;
      // A probe of a window the system knows as hung returns at once: the detector still probes
      // only every 50 ms.
      const DWORD spent = GetTickCount() - sent;
      if (!answered && spent < ProbeMilliseconds) Sleep(static_cast<DWORD>(ProbeMilliseconds - spent));
      if (answered || !IsWindow(window)) {
        silent = false;
        for (int i = 0; i < 5 && !Terminated(); ++i) Sleep(ProbeMilliseconds);
        if (!IsWindow(window)) {
          // The main window went away (another may come): look for it again.
          window = nullptr;
          while (!Terminated() && !(window = FindMainWindow(GetCurrentProcessId()))) Sleep(ProbeMilliseconds);
        }
        continue;
      }
      const DWORD now = GetTickCount();
      if (!silent) {
        silent = true;
        silentSince = sent;
      }
      const int32_t seconds = std::max<int32_t>(CurrentFaultlineOptions().FreezeSeconds(), 1);
      if (now - silentSince < static_cast<DWORD>(seconds) * 1000) continue;
      ReportFreeze();
      silent = false;
    }
  }

  void ReportFreeze() {
    if (!reporting_.TryBeginReport || !reporting_.TryBeginReport()) return;  // a report runs: not now
    struct TEnd {
      const TFreezeReporting& r;
      ~TEnd() {
        if (r.EndReport) r.EndReport();
      }
    } end{reporting_};
    TFaultThreadsList* threads = FaultThreads();
    if (!threads) return;
    HANDLE main = nullptr;
    uintptr_t stackTop = 0;
    {
      TFaultThreadsList::TReadLock lock(*threads);
      const int i = threads->IndexOfId(FaultMainThreadId());
      if (i >= 0) {
        DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>((*threads)[i].Handle), GetCurrentProcess(), &main,
                        0, FALSE, DUPLICATE_SAME_ACCESS);
        stackTop = (*threads)[i].StackTop;
      }
    }
    if (!main) return;
    // Room for the copy first: while the main thread is held nothing may allocate (it may own
    // the heap's lock).
    std::vector<uint8_t> stack;
    stack.reserve(FrozenStackCopy);
    CONTEXT context{};
    bool taken = false;
    if (reporting_.SetBusy) reporting_.SetBusy(true);
    // Held only for as long as it takes to read its registers and copy its stack: it may own the
    // heap, the loader's lock or a lock of the window system, all of which the report needs.
    // (GetThreadContext also waits until the suspension has taken effect.)
    if (SuspendThread(main) != static_cast<DWORD>(-1)) {
      context.ContextFlags = CONTEXT_FULL;
      if (GetThreadContext(main, &context) && ContextInstruction(context) && ContextStack(context)) {
        CopyHeldStack(ContextStack(context), stackTop, stack);
        taken = true;
      }
      ResumeThread(main);
    }
    if (taken && reporting_.Report) {
      try {
        reporting_.Report(context, stack, stackTop, CurrentFaultlineOptions().FreezeText());
      } catch (...) {
      }
    }
    if (reporting_.SetBusy) reporting_.SetBusy(false);
    CloseHandle(main);
  }

  TFreezeReporting reporting_;
};

std::mutex detectorLock;
std::unique_ptr<TFreezeThread> detector;

}  // namespace

HWND FindMainWindow(DWORD processId) {
  TWindowSearch search{processId, nullptr};
  EnumWindows(MatchMainWindow, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

void StartFreezeDetector(const TFreezeReporting& reporting) {
  std::lock_guard<std::mutex> guard(detectorLock);
  if (detector) return;
  detector = std::make_unique<TFreezeThread>(reporting);
  detector->Start();
}

void StopFreezeDetector() {
  std::unique_ptr<TFreezeThread> stopping;
  {
    std::lock_guard<std::mutex> guard(detectorLock);
    stopping = std::move(detector);
  }
  if (!stopping) return;
  // Bounded (see StopWithin); one that has not ended keeps its object.
  if (!stopping->StopWithin(5000)) stopping.release();
}

bool FreezeDetectorRunning() {
  std::lock_guard<std::mutex> guard(detectorLock);
  return detector != nullptr;
}
