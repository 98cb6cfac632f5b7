#include <windows.h>

#include <algorithm>
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

// Lists cross module boundaries as text: every item followed by CR LF (a lone LF ends an item too,
// and a last item without a line end still counts). A line break inside an item would split it
// and put names and values out of step, so it becomes a space.
std::string ListText(const std::vector<std::string>& items) {
  std::string text;
  for (std::string item : items) {
    for (char& c : item)
      if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    text += item;
    text += "\r\n";
  }
  return text;
}

std::vector<std::string> ListItems(const char* text, int size) {
  std::vector<std::string> items;
  const char* end = text + strnlen(text, static_cast<size_t>(size));
  const char* p = text;
  while (p < end) {
    const char* eol = std::find(p, end, '\n');
    const char* stop = eol;
    if (stop > p && stop[-1] == '\r') --stop;
    items.emplace_back(p, stop);
    p = eol == end ? end : eol + 1;
  }
  return items;
}

// A buffer holding the list, with room for a handler to add to it, and the list it holds after
// (read no further than the buffer, terminated or not).
std::vector<char> ListBuffer(const std::vector<std::string>& items) {
  const std::string text = ListText(items);
  std::vector<char> buffer(text.size() + 64 * 1024, '\0');
  std::memcpy(buffer.data(), text.data(), text.size());
  return buffer;
}
std::vector<std::string> ListItems(const std::vector<char>& buffer) {
  return ListItems(buffer.data(), static_cast<int>(buffer.size()));
}

// Runs a procedure that takes a list as text on a copy of the list.
template <typename F>
void ThroughText(std::vector<std::string>& items, F&& call) {
  std::vector<char> buffer = ListBuffer(items);
  Swallowing([&] { call(buffer.data(), static_cast<int>(buffer.size())); });
  items = ListItems(buffer);
}

// The same for a procedure that takes the two lists of form fields.
template <typename F>
void FieldsThroughText(std::vector<std::string>& names, std::vector<std::string>& values, F&& call) {
  std::vector<char> n = ListBuffer(names), v = ListBuffer(values);
  Swallowing([&] { call(n.data(), static_cast<int>(n.size()), v.data(), static_cast<int>(v.size())); });
  names = ListItems(n);
  values = ListItems(v);
}

std::vector<std::string> NonEmpty(std::vector<std::string> items) {
  items.erase(std::remove(items.begin(), items.end(), std::string()), items.end());
  return items;
}

// This module's handlers and procedure variable.
void OwnAttachedFilesSinks(const TFaultExceptionContext& context, std::vector<std::string>& files) {
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.AttachedFilesRequest) Swallowing([&] { h.AttachedFilesRequest(context, files); });
  if (auto variable = FaultEventVariables().AttachedFilesRequest)
    ThroughText(files, [&](char* text, int size) { variable(&context, text, size); });
  files = NonEmpty(std::move(files));
}

void OwnCustomFieldsSinks(const TFaultExceptionContext& context, std::vector<std::string>& names,
                          std::vector<std::string>& values) {
  for (const TFaultEventHandlers& h : HandlersLastFirst())
    if (h.CustomFieldsRequest) Swallowing([&] { h.CustomFieldsRequest(context, names, values); });
  if (auto variable = FaultEventVariables().CustomFieldsRequest)
    FieldsThroughText(names, values, [&](char* n, int nSize, char* v, int vSize) { variable(&context, n, nSize, v, vSize); });
}

// Writes a list back into a caller's buffer, whole items only.
void StoreList(const std::vector<std::string>& items, char* buffer, int size) {
  const std::string text = ListText(items);
  size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
  while (n > 0 && text[n - 1] != '\n') --n;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
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

extern "C" void __stdcall Faultline_AttachedFilesRequestEvent(const TFaultExceptionContext* context, char* files,
                                                              int size) {
  if (!context || !files || size <= 0) return;
  std::vector<std::string> list = ListItems(files, size);
  OwnAttachedFilesSinks(*context, list);
  StoreList(list, files, size);
}

extern "C" void __stdcall Faultline_CustomFieldsRequestEvent(const TFaultExceptionContext* context, char* names,
                                                             int namesSize, char* values, int valuesSize) {
  if (!context || !names || !values || namesSize <= 0 || valuesSize <= 0) return;
  std::vector<std::string> n = ListItems(names, namesSize), v = ListItems(values, valuesSize);
  OwnCustomFieldsSinks(*context, n, v);
  StoreList(n, names, namesSize);
  StoreList(v, values, valuesSize);
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

void RaiseAttachedFilesRequest(const TFaultExceptionContext& context, HMODULE faultingModule,
                               std::vector<std::string>& files) {
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, char*, int);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_AttachedFilesRequestEvent"))
      ThroughText(files, [&](char* text, int size) { p(&context, text, size); });
    OwnAttachedFilesSinks(context, files);
  });
}

void RaiseCustomFieldsRequest(const TFaultExceptionContext& context, HMODULE faultingModule,
                              std::vector<std::string>& names, std::vector<std::string>& values) {
  RunOnWaitingMainThread([&] {
    using TProc = void(__stdcall*)(const TFaultExceptionContext*, char*, int, char*, int);
    if (auto p = ForeignExport<TProc>(faultingModule, "Faultline_CustomFieldsRequestEvent"))
      FieldsThroughText(names, values, [&](char* n, int nSize, char* v, int vSize) { p(&context, n, nSize, v, vSize); });
    OwnCustomFieldsSinks(context, names, values);
  });
}
