#include <windows.h>

#include <stdexcept>

#include "rtl/application.h"
#include "rtl/thread.h"

TThread::TThread(bool createSuspended) {
  DWORD id = 0;
  handle_ = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &id);
  if (!handle_) throw std::runtime_error("Thread creation error: " + std::to_string(GetLastError()));
  threadId_ = id;
  if (!createSuspended) Start();
}

TThread::~TThread() {
  // A thread never started would keep its suspended stack until process exit: let it end
  // without running its body (which may want the main thread, the very thread waiting here).
  if (handle_ && !started_ && GetCurrentThreadId() != threadId_) {
    cancelled_ = true;
    freeOnTerminate_ = false;
    started_ = true;
    ResumeThread(handle_);
    WaitForSingleObject(handle_, INFINITE);
  }
  if (handle_) CloseHandle(handle_);
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  ResumeThread(handle_);
}

void TThread::WaitFor() {
  if (handle_) WaitForSingleObject(handle_, INFINITE);
}

unsigned long __stdcall TThread::ThreadProc(void* param) {
  auto* self = static_cast<TThread*>(param);
  if (self->cancelled_) return 0;
  try {
    self->Execute();
  } catch (...) {
    self->fatal_ = std::current_exception();
  }
  if (self->freeOnTerminate_) delete self;
  return 0;
}

void TThread::RunOnMainThread(const std::function<void()>& call) {
  Application().RunOnMainThread(call);
}
