#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "faultline/capture/capture.h"
#include "faultline/capture/events.h"
#include "faultline/options/module_options.h"

namespace {

std::mutex handlersLock;
std::vector<std::pair<int, TFaultEventHandlers>> handlers;
int nextId = 1;

// A copy of the handlers, the last registered first, taken under the lock.
std::vector<TFaultEventHandlers> HandlersLastFirst() {
  std::lock_guard<std::mutex> guard(handlersLock);
  std::vector<TFaultEventHandlers> copy;
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) copy.push_back(it->second);
  return copy;
}

template <typename F>
void Swallowing(F&& call) {
  try {
    call();
  } catch (...) {
  }
}

// The faulting module's own exported procedure, when that module is another one.
template <typename T>
T ForeignExport(HMODULE module, const char* name) {
  if (!module || module == FaultRunningModule()) return nullptr;
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

int RegisterFaultEventHandlers(TFaultEventHandlers h) {
  std::lock_guard<std::mutex> guard(handlersLock);
  handlers.emplace_back(nextId, std::move(h));
  return nextId++;
}

void UnregisterFaultEventHandlers(int id) {
  std::lock_guard<std::mutex> guard(handlersLock);
  for (auto it = handlers.begin(); it != handlers.end(); ++it)
    if (it->first == id) {
      handlers.erase(it);
      return;
    }
}

TFaultEventVariables& FaultEventVariables() {
  static TFaultEventVariables variables;
  return variables;
}

extern "C" void __stdcall Faultline_ExceptionNotifyEvent(const TFaultExceptionContext* context, BOOL* handle) {
  if (!context || !handle) return;
  bool flag = *handle != FALSE;
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.ExceptionNotify) Swallowing([&] { h.ExceptionNotify(*context, flag); });
  BOOL b = flag;
  if (FaultEventVariables().ExceptionNotify) Swallowing([&] { FaultEventVariables().ExceptionNotify(context, &b); });
  *handle = b;
}

extern "C" void __stdcall Faultline_ExceptionActionNotifyEvent(const TFaultExceptionContext* context, int action,
                                                               BOOL* goOn) {
  if (!context || !goOn) return;
  bool flag = *goOn != FALSE;
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.ActionNotify) Swallowing([&] { h.ActionNotify(*context, action, flag); });
  BOOL b = flag;
  if (FaultEventVariables().ActionNotify) Swallowing([&] { FaultEventVariables().ActionNotify(context, action, &b); });
  *goOn = b;
}

extern "C" void __stdcall Faultline_ExceptionErrorNotifyEvent(const TFaultExceptionContext* context, int error,
                                                              BOOL* retry) {
  if (!context || !retry) return;
  bool flag = *retry != FALSE;
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.ErrorNotify) Swallowing([&] { h.ErrorNotify(*context, error, flag); });
  BOOL b = flag;
  if (FaultEventVariables().ErrorNotify) Swallowing([&] { FaultEventVariables().ErrorNotify(context, error, &b); });
  *retry = b;
}

extern "C" void __stdcall Faultline_CustomDataRequestEvent(const TFaultExceptionContext* context, char* data,
                                                           int size) {
  if (!context || !data || size <= 0) return;
  std::string text(data, strnlen(data, static_cast<size_t>(size)));
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.CustomDataRequest) Swallowing([&] { h.CustomDataRequest(*context, text); });
  const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(data, text.data(), n);
  data[n] = '\0';
  if (FaultEventVariables().CustomDataRequest)
    Swallowing([&] { FaultEventVariables().CustomDataRequest(context, data, size); });
  data[size - 1] = '\0';
}

bool RaiseExceptionNotify(const TFaultExceptionContext& context, HMODULE faultingModule) {
  BOOL handle = TRUE;
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, BOOL*);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_ExceptionNotifyEvent")) Swallowing([&] { p(&context, &handle); });
    Faultline_ExceptionNotifyEvent(&context, &handle);
  });
  return handle != FALSE;
}

bool RaiseActionNotify(const TFaultExceptionContext& context, HMODULE faultingModule, int action) {
  BOOL goOn = TRUE;
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, int, BOOL*);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_ExceptionActionNotifyEvent"))
      Swallowing([&] { p(&context, action, &goOn); });
    Faultline_ExceptionActionNotifyEvent(&context, action, &goOn);
  });
  return goOn != FALSE;
}

bool RaiseErrorNotify(const TFaultExceptionContext& context, HMODULE faultingModule, int error) {
  BOOL retry = FALSE;
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, int, BOOL*);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_ExceptionErrorNotifyEvent"))
      Swallowing([&] { p(&context, error, &retry); });
    Faultline_ExceptionErrorNotifyEvent(&context, error, &retry);
  });
  return retry != FALSE;
}

std::string RaiseCustomDataRequest(const TFaultExceptionContext& context, HMODULE faultingModule) {
  std::vector<char> data(64 * 1024, '\0');
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, char*, int);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_CustomDataRequestEvent"))
      Swallowing([&] { p(&context, data.data(), static_cast<int>(data.size())); });
    Faultline_CustomDataRequestEvent(&context, data.data(), static_cast<int>(data.size()));
  });
  data.back() = '\0';
  return std::string(data.data());
}
