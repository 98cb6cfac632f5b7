#pragma once
// The notification events of a report: the program (and other modules of the process) take part
// in it through them. Each event has three sinks, called in this order: the exported procedure of
// that name in the module where the exception happened (not when that is this module), the
// handlers the program registered (the last registered first), and the process-wide procedure
// variable. While a report runs on its own thread, events run on the waiting main thread.
// Exceptions inside an event are swallowed. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

// The exception a report is about, as every event gets it.
struct TFaultExceptionContext {
  const std::exception_ptr* Exception = nullptr;
  uintptr_t Address = 0;
  uint32_t ThreadId = 0;
};

// Actions of the action event.
enum TFaultAction : int {
  ActionBeforeDialog = 0,  // go-on false: no dialog
  ActionAfterDialog = 1,
  ActionBeforeLogSave = 2, // go-on false: the log is not saved
  ActionAfterLogSave = 3,
};
// Errors of the error event.
enum TFaultError : int { ErrorLogSave = 3 };  // retry true: the save runs again

// Handlers registered by the program.
struct TFaultEventHandlers {
  std::function<void(const TFaultExceptionContext&, bool& handle)> ExceptionNotify;
  std::function<void(const TFaultExceptionContext&, int action, bool& goOn)> ActionNotify;
  std::function<void(const TFaultExceptionContext&, int error, bool& retry)> ErrorNotify;
  std::function<void(const TFaultExceptionContext&, std::string& data)> CustomDataRequest;
  // Raised by a delivery whenever it builds its attachment list (every attempt): paths may be
  // added or removed.
  std::function<void(const TFaultExceptionContext&, std::vector<std::string>& files)> AttachedFilesRequest;
  // Raised at the start of every HTTP(S) upload attempt: form fields to send with the files, name i
  // pairing with value i.
  std::function<void(const TFaultExceptionContext&, std::vector<std::string>& names, std::vector<std::string>& values)>
      CustomFieldsRequest;
};
// Returns an id for UnregisterFaultEventHandlers.
int RegisterFaultEventHandlers(TFaultEventHandlers handlers);
void UnregisterFaultEventHandlers(int id);

// The process-wide procedure variables (called after the registered handlers).
struct TFaultEventVariables {
  void (*ExceptionNotify)(const TFaultExceptionContext* context, BOOL* handle) = nullptr;
  void (*ActionNotify)(const TFaultExceptionContext* context, int action, BOOL* goOn) = nullptr;
  void (*ErrorNotify)(const TFaultExceptionContext* context, int error, BOOL* retry) = nullptr;
  // Writes up to size - 1 characters and a terminator into data.
  void (*CustomDataRequest)(const TFaultExceptionContext* context, char* data, int size) = nullptr;
  // Lists travel as text: one item a line (CR LF between items), zero-terminated, in a buffer of
  // size bytes with room to add items.
  void (*AttachedFilesRequest)(const TFaultExceptionContext* context, char* files, int size) = nullptr;
  void (*CustomFieldsRequest)(const TFaultExceptionContext* context, char* names, int namesSize, char* values,
                              int valuesSize) = nullptr;
};
TFaultEventVariables& FaultEventVariables();

// Raising an event: the three sinks, on the waiting main thread when a report thread raises it.
// faultingModule is the module of the exception address (its exported procedure is the first sink).
bool RaiseExceptionNotify(const TFaultExceptionContext& context, HMODULE faultingModule);
bool RaiseActionNotify(const TFaultExceptionContext& context, HMODULE faultingModule, int action);
bool RaiseErrorNotify(const TFaultExceptionContext& context, HMODULE faultingModule, int error);
std::string RaiseCustomDataRequest(const TFaultExceptionContext& context, HMODULE faultingModule);
void RaiseAttachedFilesRequest(const TFaultExceptionContext& context, HMODULE faultingModule,
                               std::vector<std::string>& files);
void RaiseCustomFieldsRequest(const TFaultExceptionContext& context, HMODULE faultingModule,
                              std::vector<std::string>& names, std::vector<std::string>& values);

// The exported event procedures of every module: each runs its own module's registered handlers
// and procedure variable.
extern "C" {
__declspec(dllexport) void __stdcall Faultline_ExceptionNotifyEvent(const TFaultExceptionContext* context, BOOL* handle);
__declspec(dllexport) void __stdcall Faultline_ExceptionActionNotifyEvent(const TFaultExceptionContext* context,
                                                                          int action, BOOL* goOn);
__declspec(dllexport) void __stdcall Faultline_ExceptionErrorNotifyEvent(const TFaultExceptionContext* context,
                                                                         int error, BOOL* retry);
__declspec(dllexport) void __stdcall Faultline_CustomDataRequestEvent(const TFaultExceptionContext* context, char* data,
                                                                      int size);
__declspec(dllexport) void __stdcall Faultline_AttachedFilesRequestEvent(const TFaultExceptionContext* context,
                                                                         char* files, int size);
__declspec(dllexport) void __stdcall Faultline_CustomFieldsRequestEvent(const TFaultExceptionContext* context,
                                                                        char* names, int namesSize, char* values,
                                                                        int valuesSize);
}
#endif
