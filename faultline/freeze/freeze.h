#pragma once
// The freeze detector: a thread of its own probes the program's main window and, when the window
// has not answered for FreezeSeconds, reports an EFrozenApplication as if the main thread had
// raised it at the instruction it was executing. The main thread then goes on and the detector
// counts again from zero. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rtl/exception.h"

class EFrozenApplication : public Exception {
 public:
  using Exception::Exception;
};

// What the detector needs from the report flow above it.
struct TFreezeReporting {
  // Takes the report lock unless a report runs now (never waits: the main thread may be the one
  // reporting, holding the lock); false skips this cycle.
  std::function<bool()> TryBeginReport;
  std::function<void()> EndReport;
  // Reports text as an EFrozenApplication of the main thread, whose context and stack (copied from
  // its stack pointer up; empty when unreadable) were read while it was held. The main thread
  // runs again by then: the report reads nothing of its live stack.
  std::function<void(const CONTEXT& context, const std::vector<uint8_t>& stack, uintptr_t stackTop,
                     const std::string& text)>
      Report;
  // Marks the detector's thread busy while it holds the main thread (the thread notices then
  // ignore it).
  std::function<void(bool busy)> SetBusy;
};

// Starts the detector (never twice); stops and frees it. Stopping waits for the thread.
void StartFreezeDetector(const TFreezeReporting& reporting);
void StopFreezeDetector();
bool FreezeDetectorRunning();

// The process's main window: the first visible top-level window of the process without an owner
// other than the desktop (a tool window's owner counts through to its own owner), and not a tool
// window unless it also has the application-window style. Null when there is none.
HWND FindMainWindow(DWORD processId);
#endif
