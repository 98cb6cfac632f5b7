#pragma once
// The application object: the main thread's message loop, the hidden window through which other
// threads hand calls to the main thread, and the exception handler that every window procedure and
// the loop pass their exceptions to. HandleException and ShowException are deliberately plain,
// out-of-line functions: the reporting layer finds them by address.
#include <windows.h>

#include <exception>
#include <functional>
#include <string>

class TApplication {
 public:
  static TApplication& Instance();

  void Initialize();
  void SetTitle(const std::string& title);
  const std::string& Title() const { return title_; }

  // The main window: its closing ends Run().
  void SetMainWindow(HWND hwnd) { mainWindow_ = hwnd; }
  HWND MainWindow() const { return mainWindow_; }
  HWND Handle() const { return handle_; }
  DWORD MainThreadId() const { return mainThreadId_; }
  bool InMainThread() const { return GetCurrentThreadId() == mainThreadId_; }

  void Run();
  void ProcessMessages();
  void Terminate() { PostQuitMessage(0); }

  // Called with every exception that reaches a window procedure or the message loop.
  void HandleException(std::exception_ptr e);
  // The default presentation: a message box with the exception's message.
  void ShowException(std::exception_ptr e);

  // Runs call on the main thread and waits (see TThread::RunOnMainThread).
  void RunOnMainThread(const std::function<void()>& call);

 private:
  TApplication() = default;
  static LRESULT CALLBACK HiddenWndProc(HWND, UINT, WPARAM, LPARAM);

  std::string title_;
  HWND handle_ = nullptr;
  HWND mainWindow_ = nullptr;
  DWORD mainThreadId_ = 0;
};

inline TApplication& Application() { return TApplication::Instance(); }

// Runs body; an exception is handed to the application's handler instead of leaving a window
// procedure (where it would unwind through the system's code).
template <class F>
LRESULT GuardedWndProc(F&& body, LRESULT onException = 0) {
  try {
    return body();
  } catch (...) {
    Application().HandleException(std::current_exception());
    return onException;
  }
}

// The class name of an exception object, demangled ("std::out_of_range", "EHookError").
std::string ExceptionClassName(std::exception_ptr e);
// The message of an exception object: what() for std::exception, else the class name.
std::string ExceptionMessage(std::exception_ptr e);
