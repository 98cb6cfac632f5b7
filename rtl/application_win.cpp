#include "rtl/application.h"

#include "rtl/exception.h"

#include <commctrl.h>
#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

constexpr UINT kRunCallMessage = WM_APP + 0x101;
constexpr char kHiddenClass[] = "TTarnApplication";

struct TPendingCall {
  const std::function<void()>* call;
  std::exception_ptr error;
};

}  // namespace

TApplication& TApplication::Instance() {
  static TApplication app;
  return app;
}

void TApplication::Initialize() {
  if (handle_) return;
  mainThreadId_ = GetCurrentThreadId();
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  WNDCLASSA wc{};
  wc.lpfnWndProc = &TApplication::HiddenWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kHiddenClass;
  RegisterClassA(&wc);
  // A hidden top-level window (not message-only) so that it also receives broadcasts.
  handle_ = CreateWindowExA(0, kHiddenClass, title_.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            wc.hInstance, nullptr);
}

void TApplication::SetTitle(const std::string& title) {
  title_ = title;
  if (handle_) SetWindowTextA(handle_, title_.c_str());
}

LRESULT CALLBACK TApplication::HiddenWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kRunCallMessage) {
    auto* pending = reinterpret_cast<TPendingCall*>(lp);
    try {
      (*pending->call)();
    } catch (...) {
      pending->error = std::current_exception();
    }
    return 1;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

void TApplication::RunOnMainThread(const std::function<void()>& call) {
  if (InMainThread()) {
    call();
    return;
  }
  // Without the hidden window nothing can reach the main thread; running the call here instead
  // would let it touch windows from the wrong thread.
  if (!handle_) throw Exception("The application has no window to run a call on the main thread");
  TPendingCall pending{&call, nullptr};
  // SendMessage blocks this thread until the main thread, in its message loop, has run the call.
  SendMessageA(handle_, kRunCallMessage, 0, reinterpret_cast<LPARAM>(&pending));
  if (pending.error) std::rethrow_exception(pending.error);
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void TApplication::Run() {
  MSG msg;
  for (;;) {
    try {
      BOOL got = GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      if (!mainWindow_ || !IsDialogMessageA(mainWindow_, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
}

void TApplication::HandleException(std::exception_ptr e) { ShowException(e); }

void TApplication::ShowException(std::exception_ptr e) {
  std::string text = ExceptionMessage(e);
  if (!text.empty() && text.back() != '.') text += '.';
  MessageBoxA(mainWindow_, text.c_str(), title_.c_str(), MB_OK | MB_ICONSTOP);
}

std::string ExceptionClassName(std::exception_ptr e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) return {};
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type->name());
  }
}

std::string ExceptionMessage(std::exception_ptr e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return ExceptionClassName(e);
  }
}
