#pragma once
// The program's thread class: a Win32 thread created suspended, with a terminate request polled by
// the body, optional self-release when the body returns, and RunOnMainThread, which runs a call on
// the window thread and blocks the calling thread until it has returned.
#include <atomic>
#include <exception>
#include <functional>

class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  // Resumes the suspended thread. Once only.
  void Start();
  // Sets the terminate request and returns at once; the body reads it at its own check points.
  void RequestStop() { terminated_.store(true, std::memory_order_relaxed); }
  bool Terminated() const { return terminated_.load(std::memory_order_relaxed); }
  const std::atomic<bool>& TerminateFlag() const { return terminated_; }

  // Waits for the body to return (not for a self-releasing thread, which may already be gone).
  void WaitFor();
  unsigned long ThreadId() const { return threadId_; }
  void* Handle() const { return handle_; }

  // Runs call on the main thread and waits for it. An exception thrown by call is rethrown here.
  static void RunOnMainThread(const std::function<void()>& call);

  // The exception that ended the body, if any (kept for the reporting layer).
  std::exception_ptr FatalException() const { return fatal_; }

  // Start routine of every thread of this class.
  static unsigned long __stdcall ThreadProc(void* self);

 protected:
  explicit TThread(bool createSuspended = true);
  virtual void Execute() = 0;
  void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }

 private:
  void* handle_ = nullptr;
  unsigned long threadId_ = 0;
  std::atomic<bool> terminated_{false};
  bool freeOnTerminate_ = false;
  bool started_ = false;
  bool cancelled_ = false;  // destroyed before it was started: the body never runs
  std::exception_ptr fatal_;
};
