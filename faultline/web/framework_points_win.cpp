#include <windows.h>

#include <exception>
#include <mutex>

#include "faultline/stack/stack.h"
#include "faultline/web/framework_points.h"

namespace {

// The C++ counterparts of the frameworks' handlers take the object and the exception; the web
// framework's controller constructor takes the object and returns it.
using THandler = void(__attribute__((thiscall)) *)(void* self, std::exception_ptr e);
using TConstructor = void*(__attribute__((thiscall)) *)(void* self);
using TExceptionManager = BOOL(__stdcall*)(const std::exception_ptr*, void*, int, HMODULE);

enum : int { KindGeneral = 0, KindApplication = 1, KindWebServer = 2 };

HMODULE reportingModule = nullptr;
TExceptionManager exceptionManager = nullptr;
void* originals[11] = {};
std::mutex installedLock;
std::vector<uint8_t> installed;
void* controllerObject = nullptr;
void* messageDisplay = nullptr;  // the web framework's message display (used by its error event)
// Set while the cross-platform handler runs its original: the display it calls shows an
// exception that was reported already.
thread_local bool insideHandler = false;

bool Report(const std::exception_ptr& e, int kind) {
  if (!exceptionManager || !e) return true;
  return exceptionManager(&e, __builtin_return_address(0), kind, reportingModule) != FALSE;
}

std::exception_ptr Current(std::exception_ptr e) { return e ? e : std::current_exception(); }

// Cross-platform application object: its handler, then its display.
void __attribute__((thiscall)) CrossHandler(void* self, std::exception_ptr e) {
  if (!Report(Current(e), KindApplication)) return;
  insideHandler = true;
  struct TReset {
    ~TReset() { insideHandler = false; }
  } reset;
  reinterpret_cast<THandler>(originals[2])(self, e);
}
void __attribute__((thiscall)) CrossDisplay(void* self, std::exception_ptr e) {
  if (insideHandler || Report(Current(e), KindApplication)) reinterpret_cast<THandler>(originals[3])(self, e);
}
template <int Id>
void __attribute__((thiscall)) WebHandler(void* self, std::exception_ptr e) {
  if (Report(Current(e), KindWebServer)) reinterpret_cast<THandler>(originals[Id])(self, e);
}
void* __attribute__((thiscall)) ControllerConstructor(void* self) {
  void* object = reinterpret_cast<TConstructor>(originals[6])(self);
  controllerObject = object;
  return object;
}
// The service's log procedure sees the exception being handled, when there is one.
void __attribute__((thiscall)) ServiceLog(void* self, std::exception_ptr e) {
  if (std::exception_ptr current = Current(e)) Report(current, KindGeneral);
  reinterpret_cast<THandler>(originals[9])(self, e);
}
void __attribute__((thiscall)) ThreadException(void* self, std::exception_ptr e) {
  if (Report(Current(e), KindGeneral)) reinterpret_cast<THandler>(originals[10])(self, e);
}

void* Replacement(uint8_t id) {
  switch (id) {
    case 2: return reinterpret_cast<void*>(&CrossHandler);
    case 3: return reinterpret_cast<void*>(&CrossDisplay);
    case 4: return reinterpret_cast<void*>(&WebHandler<4>);
    case 5: return reinterpret_cast<void*>(&WebHandler<5>);
    case 6: return reinterpret_cast<void*>(&ControllerConstructor);
    case 9: return reinterpret_cast<void*>(&ServiceLog);
    case 10: return reinterpret_cast<void*>(&ThreadException);
    default: return nullptr;
  }
}

void Install(uint8_t id, const TFrameworkExport& fallback) {
  void* trampoline = HookSymbol(id, Replacement(id), fallback.Package, fallback.Export);
  if (!trampoline) return;
  originals[id] = trampoline;
  installed.push_back(id);
}

}  // namespace

TFrameworkPackages& FrameworkPackages() {
  static TFrameworkPackages packages;
  return packages;
}

std::vector<uint8_t> InstallFrameworkPoints(HMODULE module) {
  std::lock_guard<std::mutex> guard(installedLock);
  reportingModule = module;
  exceptionManager = reinterpret_cast<TExceptionManager>(
      reinterpret_cast<void*>(GetProcAddress(module, "ExceptionManager")));
  installed.clear();
  const TFrameworkPackages& p = FrameworkPackages();
  const TFrameworkExport none;
  // Ids 0 and 1, the application object's pair, belong to the start-up of the reporting itself.
  Install(5, none);
  Install(4, none);
  Install(2, p.Points[2]);
  Install(3, p.Points[3]);
  // The web framework's package carries a number that changes with its build: the first one
  // loaded is it.
  TFrameworkExport web;
  if (!SymbolAddress(6) && !p.IntraWebVersion.empty() && !p.Points[6].Export.empty()) {
    for (int n = 10; n < 99 && web.Package.empty(); ++n) {
      const std::string name = p.IntraWebPrefix + std::to_string(n) + "_" + p.IntraWebVersion + ".bpl";
      if (GetModuleHandleA(name.c_str())) web = {name, p.Points[6].Export};
    }
  }
  Install(6, web);
  messageDisplay = SymbolAddress(7, web.Package, web.Package.empty() ? std::string() : p.Points[7].Export);
  // The response output (id 8) copies the framework's response stream, which has no counterpart
  // in this program's runtime: it is looked up but never hooked.
  Install(9, p.Points[9]);
  Install(10, p.Points[10]);
  return installed;
}

std::vector<uint8_t> InstalledFrameworkPoints() {
  std::lock_guard<std::mutex> guard(installedLock);
  return installed;
}

bool WebFrameworkControllerSeen() { return controllerObject != nullptr; }
