// The scenarios. Each faulting function stands alone on its own lines so that the report's call
// stack can be checked against this file: the test script looks for the function's name, this
// file's name and the line of the marked statement ("fault line").
#include "tools/faultlab/scenarios.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "faultline/capture/capture.h"
#include "faultline/capture/events.h"
#include "faultline/delivery/kept_resend.h"
#include "faultline/include/faultline/faultline.h"
#include "faultline/options/module_options.h"
#include "faultline/options/options.h"
#include "rtl/thread.h"

// The filtered exception classes are named by the options: they live outside any namespace.
class EQuietBase : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EQuiet : public EQuietBase {
 public:
  using EQuietBase::EQuietBase;
};
class EShown : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace {

// handled: thrown and caught by the program itself. No report; exit code 0.
__attribute__((noinline)) int Handled() {
  try {
    throw std::runtime_error("caught by the program");
  } catch (const std::exception&) {
    return 0;
  }
}

// uncaught: thrown on the main thread and caught by nobody. One report; exit code 1.
__attribute__((noinline)) void ThrowUncaught() {
  throw std::runtime_error("uncaught on the main thread");  // fault line
}

// thread-uncaught: thrown by a thread made with plain CreateThread, caught by nobody. One report,
// the thread ends, the program goes on; exit code 0.
__attribute__((noinline)) DWORD WINAPI PlainThreadBody(LPVOID) {
  throw std::logic_error("uncaught in a plain thread");  // fault line
}

// std-thread-lock: a std::thread takes a lock and throws, caught by nobody; the main thread then
// wants the lock. The exception leaves the thread without unwinding it (the runtime finds no
// handler), so the lock stays taken: one report, and the process ends as the runtime would end
// it; exit code 1 (it used to end the thread alone and leave the main thread waiting forever).
std::mutex sharedLock;
std::atomic<bool> lockTaken{false};
__attribute__((noinline)) void ThrowHoldingLock() {
  std::lock_guard<std::mutex> guard(sharedLock);
  lockTaken = true;
  throw std::runtime_error("thrown holding a lock");  // fault line
}

// tthread: thrown out of a TThread's Execute. One report, the program goes on; exit code 0.
class TFailingThread : public TThread {
 public:
  TFailingThread() : TThread(true) {}

 protected:
  void Execute() override { FailInExecute(); }
  __attribute__((noinline)) static void FailInExecute() {
    throw std::out_of_range("escaped from Execute");  // fault line
  }
};

// null-write: an access violation on the main thread that no code handles. One report of an
// EAccessViolation; exit code 1.
__attribute__((noinline)) void WriteThroughNull() {
  volatile int* volatile p = nullptr;
  *p = 1;  // fault line
}

// overflow: unbounded recursion on the main thread. One report of an EStackOverflow; exit code 1.
int (*volatile recurse)(int);
__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);  // fault line: the first write past the end of the stack
  if (depth < 0) return 0;
  return recurse(depth + 1) + frame[0];
}

// storm: eight plain threads throw at the same moment, caught by nobody. Eight reports, none
// lost, made one at a time; exit code 0.
HANDLE stormStart = nullptr;
__attribute__((noinline)) DWORD WINAPI StormThreadBody(LPVOID) {
  WaitForSingleObject(stormStart, INFINITE);
  throw std::runtime_error("one of a storm");  // fault line
}

// heap-busy: one thread allocates in a tight loop, holding the heap's lock most of the time, while
// the main thread faults; the report holds the other threads suspended and must still complete.
// One report; exit code 1.
std::atomic<bool> allocating{true};
DWORD WINAPI AllocateForever(LPVOID) {
  HANDLE heap = GetProcessHeap();
  while (allocating.load(std::memory_order_relaxed)) {
    HeapLock(heap);
    for (int i = 0; i < 200; ++i) delete new std::string(200, 'a');
    HeapUnlock(heap);
  }
  return 0;
}
__attribute__((noinline)) void FaultWhileAllocating() {
  throw std::runtime_error("fault while another thread allocates");  // fault line
}

// throw-busy and loader-busy: like heap-busy, but the busy thread throws and catches in a loop (it
// holds the unwinder's and the exception dispatcher's locks much of the time) or loads and frees a
// library in a loop (it holds the loader's lock); the report, which throws, reads module names and
// version resources, must still complete with every other thread held. One report; exit code 1.
DWORD WINAPI ThrowForever(LPVOID) {
  while (allocating.load(std::memory_order_relaxed)) {
    try {
      throw std::runtime_error("thrown and caught");
    } catch (const std::exception&) {
    }
  }
  return 0;
}
DWORD WINAPI LoadForever(LPVOID) {
  while (allocating.load(std::memory_order_relaxed)) {
    HMODULE library = LoadLibraryA("msimg32.dll");
    if (library) FreeLibrary(library);
  }
  return 0;
}
__attribute__((noinline)) void FaultWhileBusy() {
  throw std::runtime_error("fault while another thread is busy");  // fault line
}

// foreign-av: an access violation inside a system library (the C runtime's memcpy reading from a
// null pointer) on the main thread. One report of an EAccessViolation at an address of that
// library, with this program's caller on the stack; exit code 1.
void* (*volatile copyBytes)(void*, const void*, size_t) = &std::memcpy;
__attribute__((noinline)) void CopyFromNull() {
  char target[16];
  copyBytes(target, nullptr, sizeof target);  // fault line
  asm volatile("" ::"r"(target) : "memory");
}

// Bad input, each thrown on the main thread and caught by nobody: one report each, the log stays
// readable; exit code 1.
// big-message: a message of 1 MB.
__attribute__((noinline)) void ThrowBigMessage() {
  throw std::runtime_error(std::string(1 << 20, 'M'));  // fault line
}
// odd-message: line breaks, tabs and bytes of every value in the message.
__attribute__((noinline)) void ThrowOddMessage() {
  std::string text = "first line\r\nsecond\tline\n";
  for (int c = 1; c < 256; ++c) text += static_cast<char>(c);
  throw std::runtime_error(text);  // fault line
}
// empty-message: an empty message.
__attribute__((noinline)) void ThrowEmptyMessage() {
  throw std::runtime_error("");  // fault line
}
// not-std: an object that is no std::exception at all.
__attribute__((noinline)) void ThrowInt() {
  throw 42;  // fault line
}

// filter-silent: an exception whose class descends from one the options filter out with no
// text: not reported at all; the program still ends as an uncaught exception ends it; exit code 1.
__attribute__((noinline)) void ThrowFiltered() {
  throw EQuiet("filtered out");  // fault line
}

// filter-message: a class the options filter out with a text: only a message box with that text
// is shown, nothing is reported; exit code 1. Nobody watches the laboratory, so a thread of its
// own reads the box (its text goes to "messagebox.txt" beside the program) and presses OK.
std::string BesideProgram(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p(path);
  return p.substr(0, p.find_last_of('\\') + 1) + name;
}

// Reads every message box of the process into "messagebox.txt" beside the program (one line:
// caption|text, line breaks shown as "\n") and answers it: No where it asks, else OK.
BOOL CALLBACK AnswerMessageBox(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (process != GetCurrentProcessId() || std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  char caption[256] = {}, text[2048] = {};
  GetWindowTextA(window, caption, sizeof caption);
  GetDlgItemTextA(window, 0xFFFF, text, sizeof text);  // the message box's text control
  std::string line = std::string(caption) + "|";
  for (const char* c = text; *c; ++c) {
    if (*c == '\r') continue;
    line += *c == '\n' ? std::string("\\n") : std::string(1, *c);
  }
  line += "\n";
  HANDLE f = CreateFileA(BesideProgram("messagebox.txt").c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
  }
  PostMessageA(window, WM_COMMAND, GetDlgItem(window, IDNO) ? IDNO : IDOK, 0);
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

// Answers message boxes until the program ends.
DWORD WINAPI MessageBoxAnswerer(LPVOID) {
  for (;;) {
    bool found = false;
    EnumWindows(AnswerMessageBox, reinterpret_cast<LPARAM>(&found));
    Sleep(found ? 200 : 10);  // an answered box takes a moment to go
  }
}
void StartMessageBoxAnswerer() { CloseHandle(CreateThread(nullptr, 0, MessageBoxAnswerer, nullptr, 0, nullptr)); }

__attribute__((noinline)) void ThrowFilteredWithText() {
  StartMessageBoxAnswerer();
  throw EShown("filtered out, with a text");  // fault line
}

// thread-overflow: unbounded recursion on a plain thread. One report of an EStackOverflow (made by
// a thread of Faultline's own, the overflowed one has no stack left); exit code 1.
int (*volatile recurseOnThread)(int);
__attribute__((noinline)) int RecurseOnThread(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);  // fault line
  if (depth < 0) return 0;
  return recurseOnThread(depth + 1) + frame[0];
}
DWORD WINAPI OverflowThreadBody(LPVOID) {
  recurseOnThread = RecurseOnThread;
  return static_cast<DWORD>(RecurseOnThread(0));
}

// raise-exception: the program raises an exception code of its own with RaiseException and
// nothing handles it. One report (EExternalException), at the raising call; exit code 1.
__attribute__((noinline)) void RaiseOwnCode() {
  RaiseException(0xE0424242, EXCEPTION_NONCONTINUABLE, 0, nullptr);  // fault line
  asm volatile("" ::: "memory");  // a call, not a tail jump: this frame is where it was raised
}

// internal-error: a report step fails (the console the report is written to is gone) while a
// debugger is attached (simulated): that failure is not reported through the failing flow; the
// self-diagnosis "faultlab-console.log" is written beside the program, the debugger output gets
// its line, and the offer to mail it is declined (the laboratory answers No). No report is
// saved; exit code 1.
// internal-quiet: the same without a debugger: nothing at all is written; exit code 1.
__attribute__((noinline)) void FailInsideReport(bool debugger) {
  if (debugger) SetDebuggerPresentProbe([] { return true; });
  StartMessageBoxAnswerer();
  SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  throw std::runtime_error("the report of this one fails");  // fault line
}

// bad-what: an uncaught exception whose what() returns a pointer to nowhere: reading the message
// faults inside the C runtime, on the report's own thread. That report ends as an internal error
// (the self-diagnosis: debugger line, diagnosis file, offer declined) and the faulting thread goes
// on to its end: no report, no hang; exit code 1.
struct TBadWhat : std::exception {
  const char* what() const noexcept override { return reinterpret_cast<const char*>(uintptr_t{16}); }
};

__attribute__((noinline)) void ThrowBadWhat() {
  SetDebuggerPresentProbe([] { return true; });
  StartMessageBoxAnswerer();
  throw TBadWhat();  // fault line
}

// null-this: a method called through a null pointer faults at its very first instruction (at -O2
// it reads the member at once). The fault is thrown from there as if that instruction had called
// the throw; unwinding must see the method, not the procedure before it. null-this-caught: the
// caller catches it and goes on: no report, exit code 0. null-this: nobody catches it: one report
// whose first row is the method, exit code 1.
struct TNode {
  int Value;
  __attribute__((noinline)) int Get() const { return Value; }  // fault line
};
TNode* volatile nowhere = nullptr;

__attribute__((noinline)) int ReadThroughNullThis(bool catchIt) {
  if (!catchIt) return nowhere->Get();
  try {
    return nowhere->Get();
  } catch (const std::exception&) {
    return 0;
  }
}

// pure-virtual: a base class's constructor calls a pure virtual method through its object: one
// report (EPureVirtualCall) at that call, then the C++ runtime ends the program; exit code 1.
// terminate: std::terminate without an exception: one report (ETerminate) naming the caller;
// exit code 1. abort: abort() (as a failed assert ends): one report (EAbort) naming the caller,
// then the C runtime ends the program; exit code 3.
}  // namespace

struct TShapeBase;
int AreaOf(const TShapeBase* shape);
// Through a pointer, so that the compiler cannot see which object's method is called. (Outside
// the anonymous namespace: the compiler must not assume it knows every class derived from it.)
int (*volatile areaOf)(const TShapeBase*) = &AreaOf;
volatile int areaSeen = 0;
struct TShapeBase {
  TShapeBase() { areaSeen = areaOf(this); }
  virtual ~TShapeBase() = default;
  virtual int Area() const = 0;
};
__attribute__((noinline)) int AreaOf(const TShapeBase* shape) {
  return shape->Area() + 1;  // fault line
}
struct TSquare : TShapeBase {
  int Area() const override { return 4; }
};

namespace {

__attribute__((noinline)) void CallTerminate() {
  std::terminate();  // fault line
}

__attribute__((noinline)) void CallAbort() {
  std::abort();  // fault line
}

// log-race: four instances of this program fault at the same moment into the same log (each
// waits for one event, then throws, caught by nobody). Every instance saves under the log's lock
// and replaces the log whole: all four reports are in it; the starting instance's exit code 0.
__attribute__((noinline)) void RaceChild() {
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, "FaultlabLogRace");
  if (go) WaitForSingleObject(go, 30000);
  throw std::runtime_error("one of four at once");  // fault line
}

int StartRace() {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "FaultlabLogRace");
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, sizeof program);
  std::vector<HANDLE> children;
  for (int i = 0; i < 4; ++i) {
    std::string command = std::string("\"") + program + "\" log-race-child";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 2;
    CloseHandle(pi.hThread);
    children.push_back(pi.hProcess);
  }
  Sleep(1000);  // every instance has started and waits
  SetEvent(go);
  WaitForMultipleObjects(static_cast<DWORD>(children.size()), children.data(), TRUE, 60000);
  for (HANDLE h : children) CloseHandle(h);
  CloseHandle(go);
  return 0;
}

// dll: the laboratory's DLL (which carries Faultline too) throws and nobody catches it. The DLL
// leaves the report to this program: one report, made here (it holds this program's custom
// data), whose call stack begins in the DLL's own source; exit code 1.
__attribute__((noinline)) void CallIntoDll() {
  TFaultEventHandlers handlers;
  handlers.CustomDataRequest = [](const TFaultExceptionContext&, std::string& data) { data = "made by the executable"; };
  RegisterFaultEventHandlers(handlers);
  HMODULE dll = LoadLibraryA("faultlab-dll.dll");
  using TThrow = void(__stdcall*)();
  auto call = dll ? reinterpret_cast<TThrow>(reinterpret_cast<void*>(GetProcAddress(dll, "FaultlabDllThrow"))) : nullptr;
  if (call) call();
}

// A DER certificate the HTTPS server of the test presents, trusted as a root of this machine (the
// test's own Wine prefix), as an administrator would install a company's certificate.
bool TrustCertificate(const char* variable) {
  char path[MAX_PATH] = {};
  if (!GetEnvironmentVariableA(variable, path, sizeof path)) return false;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE der[8192];
  DWORD size = 0;
  const BOOL read = ReadFile(file, der, sizeof der, &size, nullptr);
  CloseHandle(file);
  HCERTSTORE store = read ? CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root")
                          : nullptr;
  if (!store) return false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

// The HTTP upload also carries what the program adds: a file of its own (through a registered
// handler) and two form fields, one from a handler and one from the procedure variable, which
// gets the lists as text.
void AddUploadExtras() {
  static std::string extra;
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  extra = std::string(path, std::strrchr(path, '\\') + 1) + "extra.txt";
  HANDLE file = CreateFileA(extra.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, "attached by the program", 23, &written, nullptr);
  CloseHandle(file);
  TFaultEventHandlers handlers;
  handlers.AttachedFilesRequest = [](const TFaultExceptionContext&, std::vector<std::string>& files) {
    files.push_back(extra);
  };
  handlers.CustomFieldsRequest = [](const TFaultExceptionContext&, std::vector<std::string>& names,
                                    std::vector<std::string>& values) {
    names.push_back("build");
    values.push_back("1234");
  };
  RegisterFaultEventHandlers(handlers);
  FaultEventVariables().CustomFieldsRequest = [](const TFaultExceptionContext*, char* names, int namesSize,
                                                 char* values, int valuesSize) {
    std::strncat(names, "channel\r\n", namesSize - std::strlen(names) - 1);
    std::strncat(values, "nightly\r\n", valuesSize - std::strlen(values) - 1);
  };
}

// Options that send by SMTP through the test's server on 127.0.0.1 at port.
void SendBySmtpOnLoopback(TFaultModuleOptions& options, const char* port) {
  options.SetMailMode(2);
  options.SetMailServer("127.0.0.1");
  options.SetMailServerPort(static_cast<uint16_t>(std::atoi(port)));
  options.SetMailSender("faultlab@tarn-import.test");
  options.SetMailTo("developers@tarn-import.test");
  options.SetMailSubject("faultlab report");
  options.SetMailFallbackDns("127.0.0.1:9");  // never the built-in public server
}

// send-smtp, send-smtp-background, send-http, send-https, send-ftp, send-mail: the program's
// options send reports through one transport (send-smtp-background: in the background, which a
// fault that ends the process must not cut off) to a server on 127.0.0.1 whose port FAULTLAB_PORT names (the HTTPS
// server's certificate is the DER file FAULTLAB_TRUST), or through the mail client the test
// registered; the main thread faults. One report, saved and delivered (the server or the mail
// client receives it); exit code 1.
__attribute__((noinline)) void FaultAndSend(const std::string& transport) {
  char port[16] = {};
  GetEnvironmentVariableA("FAULTLAB_PORT", port, sizeof port);
  if (transport == "https" && !TrustCertificate("FAULTLAB_TRUST")) ExitProcess(3);
  TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
  InUpdate(options, [&] {
    if (transport == "mail") {
      options.SetMailMode(1);
      options.SetMailTo("developers@tarn-import.test");
      options.SetMailSubject("faultlab report");
    } else if (transport == "smtp" || transport == "smtp-background") {
      if (transport == "smtp-background") options.SetSendFlags(static_cast<uint16_t>(options.SendFlags() | 0x80));
      SendBySmtpOnLoopback(options, port);
    } else {
      options.SetUploadMode(transport == "http" ? 1 : transport == "https" ? 2 : 3);
      options.SetUploadUrl(transport == "ftp" ? "ftp://127.0.0.1/reports/" : transport + "://127.0.0.1/reports/upload");
      options.SetUploadPort(static_cast<uint32_t>(std::atoi(port)));
      options.SetUploadUser("faultlab");
      options.SetUploadPassword("secret");
    }
  });
  if (transport == "http") {
    AddUploadExtras();
    faultline::SetValue("release", "7.1 beta");  // a value of the program's goes as a form field too
    faultline::SetOptions("MinidumpMode=1");        // the report's minidump travels with it
  }
  throw std::runtime_error("sent by " + transport);  // fault line
}

// resend-kept: the options deliver by SMTP (FAULTLAB_TRANSPORT "smtp", the default) or by HTTP
// ("http") to 127.0.0.1 at the port FAULTLAB_PORT names, keep a compressed copy beside the program
// when delivery fails (HandlingFlags 0x40) and send the kept copies again when reporting starts
// (ResendKept). With FAULTLAB_FAULT set the main thread throws with that message (the test's
// server is down then: the copy is kept); exit code 1. Without it, reporting starts again with
// these options and the program waits until no kept copy and no claim is left beside it, at most
// 60 s: exit code 0, or 4 when some are still there.
void SetResendOptions() {
  char port[16] = {}, transport[16] = {};
  GetEnvironmentVariableA("FAULTLAB_PORT", port, sizeof port);
  GetEnvironmentVariableA("FAULTLAB_TRANSPORT", transport, sizeof transport);
  TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
  InUpdate(options, [&] {
    if (std::string(transport) == "http") {
      options.SetUploadMode(1);
      options.SetUploadUrl("http://127.0.0.1/reports/upload");
      options.SetUploadPort(static_cast<uint32_t>(std::atoi(port)));
    } else {
      SendBySmtpOnLoopback(options, port);
    }
    // Keep a copy on failure; no clipboard copy (nobody reads it here).
    options.SetHandlingFlags(static_cast<uint8_t>((options.HandlingFlags() | 0x40) & ~0x20));
    options.SetResendKept(true);
  });
}

__attribute__((noinline)) void FaultAndKeep(const std::string& message) {
  throw std::runtime_error(message);  // fault line
}

bool KeptCopiesLeft() {
  bool left = false;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(BesideProgram("*.tgz").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    std::string owner, kept;
    left = left || IsKeptArchiveName(data.cFileName) || ParseKeptClaimName(data.cFileName, owner, kept);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return left;
}

int ResendKept() {
  SetResendOptions();
  char message[256] = {};
  if (GetEnvironmentVariableA("FAULTLAB_FAULT", message, sizeof message)) FaultAndKeep(message);
  // The options now ask for the resend: reporting starts again with them.
  FaultlineStop();
  FaultlineStart();
  for (int waited = 0; waited < 600 && KeptCopiesLeft(); ++waited) Sleep(100);
  return KeptCopiesLeft() ? 4 : 0;
}

// thread-churn: threads begin and end all the time (some end while the report holds them) while
// the main thread faults. One report, nothing hangs; exit code 1.
std::atomic<bool> churning{true};
DWORD WINAPI ShortLived(LPVOID) { return 0; }
DWORD WINAPI Churn(LPVOID) {
  while (churning.load()) {
    HANDLE h = CreateThread(nullptr, 0, ShortLived, nullptr, 0, nullptr);
    if (h) CloseHandle(h);
  }
  return 0;
}
__attribute__((noinline)) void FaultWhileThreadsChurn() {
  for (int i = 0; i < 3; ++i) CloseHandle(CreateThread(nullptr, 0, Churn, nullptr, 0, nullptr));
  Sleep(100);
  throw std::runtime_error("fault while threads come and go");  // fault line
}

// crash-restart: with the crash rule on (five errors within a minute restart the program), five
// threads fault one after the other. Five reports; the fifth restarts the program (the new
// instance, told by its environment, only leaves "restarted.txt" beside the program) and this
// one ends with exit code 1.
__attribute__((noinline)) DWORD WINAPI CrashThreadBody(LPVOID) {
  throw std::runtime_error("one of five errors within a minute");  // fault line
}

int CrashRestart() {
  char restarted[16];
  if (GetEnvironmentVariableA("FAULTLAB_RESTARTED", restarted, sizeof restarted)) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string marker(path);
    marker = marker.substr(0, marker.find_last_of('\\') + 1) + "restarted.txt";
    HANDLE f = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return 0;
  }
  SetEnvironmentVariableA("FAULTLAB_RESTARTED", "1");
  TFaultModuleOptionsEx& options = FaultLoadOwnOptions();
  InUpdate(options, [&] {
    options.SetHandlingFlags(static_cast<uint8_t>(options.HandlingFlags() | 0x01));
    options.SetCrashCount(5);
    options.SetCrashMinutes(1);
    options.SetCrashAction(1);
  });
  for (int i = 0; i < 5; ++i) {
    HANDLE h = CreateThread(nullptr, 0, CrashThreadBody, nullptr, 0, nullptr);
    WaitForSingleObject(h, 30000);
    CloseHandle(h);
  }
  return 0;  // not reached: the fifth report ends the program
}

// nested: a notification handler throws while the report runs. That exception is not reported
// (and does not end the report): one report; exit code 1.
__attribute__((noinline)) void ThrowWithThrowingHandler() {
  TFaultEventHandlers handlers;
  handlers.ExceptionNotify = [](const TFaultExceptionContext&, bool&) { throw std::logic_error("inside an event"); };
  RegisterFaultEventHandlers(handlers);
  throw std::runtime_error("reported although an event handler throws");  // fault line
}

// nested-av: a notification handler writes through a null pointer while the report runs (on the
// thread that waits for the report). That fault ends the handler, not the report: one report;
// exit code 1.
volatile int* volatile nullTarget = nullptr;
__attribute__((noinline)) void FaultInHandler() {
  TFaultEventHandlers handlers;
  handlers.ExceptionNotify = [](const TFaultExceptionContext&, bool&) { *nullTarget = 1; };
  RegisterFaultEventHandlers(handlers);
  throw std::runtime_error("reported although an event handler faults");  // fault line
}

// event-cancel: the program's handler takes the exception back: no report is saved; the exception
// still ends the program; exit code 1.
__attribute__((noinline)) void ThrowWithCancellingHandler() {
  TFaultEventHandlers handlers;
  handlers.ExceptionNotify = [](const TFaultExceptionContext&, bool& handle) { handle = false; };
  RegisterFaultEventHandlers(handlers);
  throw std::runtime_error("taken back by the program");  // fault line
}

// report-no-crash: the program reports through its public interface without ending anything: an
// exception it caught (reported where it was thrown) and a message of its own (reported at the
// call), each with the values it attached (the second with one changed, from another thread).
// Two reports; exit code 0.
__attribute__((noinline)) void ThrowToCatch() {
  throw std::runtime_error("caught, then reported");  // fault line
}
DWORD WINAPI ChangeValue(LPVOID) {
  faultline::SetValue("channel", "beta\r\nsecond line");
  return 0;
}
__attribute__((noinline)) int ReportWithoutCrash() {
  // Options set in code: lines judged together; a refused text changes nothing (exit code 3).
  try {
    faultline::SetOptions("LogMaxReports=50\nMailMode=2");  // SMTP without a server nor recipients
    return 3;
  } catch (const std::invalid_argument&) {
  }
  if (faultline::Options().find("LogMaxReports=50") != std::string::npos) return 3;
  faultline::SetOptions("LogMaxReports=50");
  if (faultline::Options().find("LogMaxReports=50") == std::string::npos) return 3;
  faultline::SetValue("build", "1234");
  faultline::SetValue("channel", "nightly");
  try {
    ThrowToCatch();
  } catch (...) {
    faultline::Report(std::current_exception());
  }
  HANDLE h = CreateThread(nullptr, 0, ChangeValue, nullptr, 0, nullptr);
  WaitForSingleObject(h, 10000);
  CloseHandle(h);
  faultline::ReportMessage("reported by the program");  // fault line
  return 0;
}

// minidump: the program asks for minidumps in code (MinidumpMode=1), reports a message on the
// main thread, then asks for dumps of all memory (MinidumpMode=2) and a thread writes through
// null. Two reports, each with a dump beside the log that it names; the program writes the two threads' ids to minidump.txt beside itself (the test
// reads the dumps with independent readers); exit code 0.
__attribute__((noinline)) DWORD WINAPI WriteThroughNullOnThread(LPVOID) {
  volatile int* volatile p = nullptr;
  *p = 2;  // fault line
  return 0;
}
__attribute__((noinline)) int ReportWithMinidumps() {
  faultline::SetOptions("MinidumpMode=1");
  faultline::ReportMessage("reported with a minidump");
  faultline::SetOptions("MinidumpMode=2");
  DWORD faultingId = 0;
  HANDLE h = CreateThread(nullptr, 0, WriteThroughNullOnThread, nullptr, 0, &faultingId);
  if (!h || WaitForSingleObject(h, 60000) != WAIT_OBJECT_0) return 3;
  CloseHandle(h);
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string facts(path);
  facts = facts.substr(0, facts.find_last_of('\\') + 1) + "minidump.txt";
  const std::string text = "main " + std::to_string(GetCurrentThreadId()) + "\nfaulting " +
                           std::to_string(faultingId) + "\n";
  HANDLE f = CreateFileA(facts.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
  return 0;
}

// custom-data: the program adds data of its own to the report, in a section of its own: one
// report holding it; exit code 1.
__attribute__((noinline)) void ThrowWithCustomData() {
  TFaultEventHandlers handlers;
  handlers.CustomDataRequest = [](const TFaultExceptionContext& c, std::string& data) {
    data = "data from the program, thread " + std::to_string(c.ThreadId);
  };
  RegisterFaultEventHandlers(handlers);
  throw std::runtime_error("with custom data");  // fault line
}

}  // namespace

// stress: one run of the stress campaign (tests/faultlab/stress.py). FAULTLAB_STRESS is
// "SEED FLAGS": the report options' HandlingFlags are FLAGS (which threads a report holds), and
// the seed chooses everything else. While three threads allocate, load and free a library, and
// throw and catch, 4 to 12 faults of mixed kinds happen on new threads (an exception escaping a
// plain thread, an access violation in one, an exception escaping a TThread's Execute), one or
// two at a time; each is reported once and its thread ends; in about one run of three the main
// thread first stops answering its window for longer than the freeze detector allows (one report,
// and the program goes on). Then the run ends with a fatal fault
// (an uncaught exception on the main thread, an access violation there, a stack overflow on a
// thread: exit code 1) or exits 0. Its plan goes to standard error first:
// "stress-plan throws=N violations=N threads=N freezes=N fatal=KIND".
namespace stress {

uint32_t state = 1;
uint32_t Next() {  // xorshift32: the same sequence for a seed on every machine
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

__attribute__((noinline)) DWORD WINAPI ThrowBody(LPVOID n) {
  throw std::runtime_error("stress fault " + std::to_string(reinterpret_cast<uintptr_t>(n)));  // fault line
}
__attribute__((noinline)) DWORD WINAPI ViolationBody(LPVOID n) {
  // The address written names the fault: each report's message is its own.
  volatile int* volatile p = reinterpret_cast<int*>(reinterpret_cast<uintptr_t>(n) * 16);
  *p = 1;  // fault line
  return 0;
}
class TFailing : public TThread {
 public:
  explicit TFailing(uintptr_t n) : TThread(true), n_(n) {}

 protected:
  void Execute() override { throw std::out_of_range("stress fault " + std::to_string(n_)); }

 private:
  uintptr_t n_;
};

// The busy threads work in bursts, leaving the two cores of a test machine to the reports too.
DWORD WINAPI Allocate(LPVOID) {
  while (allocating.load(std::memory_order_relaxed)) {
    for (int i = 0; i < 200; ++i) delete new std::string(200, 'a');
    Sleep(1);
  }
  return 0;
}
DWORD WINAPI Load(LPVOID) {
  while (allocating.load(std::memory_order_relaxed)) {
    if (HMODULE library = LoadLibraryA("msimg32.dll")) FreeLibrary(library);
    Sleep(1);
  }
  return 0;
}
DWORD WINAPI ThrowAndCatch(LPVOID) {
  while (allocating.load(std::memory_order_relaxed)) {
    for (int i = 0; i < 20; ++i) {
      try {
        throw std::runtime_error("thrown and caught");
      } catch (const std::exception&) {
      }
    }
    Sleep(1);
  }
  return 0;
}

// Lets the main thread's window answer for a while.
void Pump(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(10);
  }
}

// A freeze: the main thread, whose window has answered, stops answering for longer than the
// detector allows (one report of an EFrozenApplication), then answers again until the report is
// saved. The detector watches only now: elsewhere the main thread waits for the fault threads.
void Freeze(HWND& window) {
  if (!window)
    window = CreateWindowExA(0, "STATIC", "faultlab stress", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                             nullptr, GetModuleHandleA(nullptr), nullptr);
  TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
  const long before = CaptureCounters().Reports;
  InUpdate(options, [&] {
    options.SetFreezeSeconds(1);
    options.SetFreezeWatch(true);
  });
  Pump(400);
  Sleep(1800);  // frozen
  for (int i = 0; i < 300 && CaptureCounters().Reports == before; ++i) Pump(10);
  InUpdate(options, [&] { options.SetFreezeWatch(false); });
}

int Run() {
  char text[64] = {};
  GetEnvironmentVariableA("FAULTLAB_STRESS", text, sizeof text);
  unsigned long seed = 1, flags = 0x30;
  std::sscanf(text, "%lu %lx", &seed, &flags);
  state = static_cast<uint32_t>(seed) * 2654435761u | 1;
  TFaultModuleOptionsEx& options = CurrentFaultlineOptions();
  InUpdate(options, [&] {
    options.SetHandlingFlags(static_cast<uint8_t>(flags));
    options.SetCrashCount(1000);  // the crash rule keeps its list, and never ends a run
  });
  HANDLE noise[3] = {CreateThread(nullptr, 0, Allocate, nullptr, 0, nullptr),
                     CreateThread(nullptr, 0, Load, nullptr, 0, nullptr),
                     CreateThread(nullptr, 0, ThrowAndCatch, nullptr, 0, nullptr)};
  const int count = 4 + static_cast<int>(Next() % 9);
  const char* const fatalKinds[] = {"none", "throw", "violation", "overflow"};
  const int fatal = static_cast<int>(Next() % 4);
  std::vector<int> kinds;
  int totals[3] = {};
  for (int i = 0; i < count; ++i) {
    kinds.push_back(static_cast<int>(Next() % 3));
    ++totals[kinds.back()];
  }
  // A freeze in about one run of three, before the faults.
  const int freezes = Next() % 3 == 0 ? 1 : 0;
  std::fprintf(stderr, "stress-plan throws=%d violations=%d threads=%d freezes=%d fatal=%s\n", totals[0], totals[1],
               totals[2], freezes, fatalKinds[fatal]);
  std::fflush(stderr);
  HWND window = nullptr;
  if (freezes) Freeze(window);
  for (int i = 0; i < count;) {
    // One or two faults at a time, on threads made for them.
    const int together = std::min(count - i, 1 + static_cast<int>(Next() % 2));
    std::vector<HANDLE> plain;
    std::vector<TFailing*> objects;
    for (int k = 0; k < together; ++k, ++i) {
      const uintptr_t n = static_cast<uintptr_t>(i + 1);
      if (kinds[i] == 2) {
        objects.push_back(new TFailing(n));
        objects.back()->Start();
      } else {
        plain.push_back(CreateThread(nullptr, 0, kinds[i] == 0 ? ThrowBody : ViolationBody,
                                     reinterpret_cast<LPVOID>(n), 0, nullptr));
      }
    }
    for (HANDLE h : plain) {
      if (WaitForSingleObject(h, 60000) != WAIT_OBJECT_0) return 4;
      CloseHandle(h);
    }
    for (TFailing* t : objects) {
      t->WaitFor();
      delete t;
    }
  }
  if (fatal == 1) FaultWhileBusy();
  if (fatal == 2) WriteThroughNull();
  if (fatal == 3) {
    HANDLE h = CreateThread(nullptr, 0, OverflowThreadBody, nullptr, 0, nullptr);
    WaitForSingleObject(h, 60000);
    return 4;  // the overflow ends the process
  }
  allocating = false;
  WaitForMultipleObjects(3, noise, TRUE, 10000);
  return 0;
}

}  // namespace stress

int RunScenario(const std::string& name) {
  if (name == "stress") return stress::Run();
  if (name == "nested") ThrowWithThrowingHandler();
  if (name == "nested-av") FaultInHandler();
  if (name == "log-race") return StartRace();
  if (name == "log-race-child") RaceChild();
  if (name == "event-cancel") ThrowWithCancellingHandler();
  if (name == "custom-data") ThrowWithCustomData();
  if (name == "report-no-crash") return ReportWithoutCrash();
  if (name == "minidump") return ReportWithMinidumps();
  if (name == "crash-restart") return CrashRestart();
  if (name == "big-message") ThrowBigMessage();
  if (name == "odd-message") ThrowOddMessage();
  if (name == "empty-message") ThrowEmptyMessage();
  if (name == "not-std") ThrowInt();
  if (name == "filter-silent") ThrowFiltered();
  if (name == "filter-message") ThrowFilteredWithText();
  if (name == "thread-churn") FaultWhileThreadsChurn();
  if (name == "raise-exception") RaiseOwnCode();
  if (name == "send-smtp" || name == "send-smtp-background" || name == "send-http" || name == "send-https" ||
      name == "send-ftp" || name == "send-mail")
    FaultAndSend(name.substr(5));
  if (name == "resend-kept") return ResendKept();
  if (name == "internal-error") FailInsideReport(true);
  if (name == "dll") {
    CallIntoDll();
    return 2;  // the DLL could not be loaded
  }
  if (name == "internal-quiet") FailInsideReport(false);
  if (name == "bad-what") ThrowBadWhat();
  if (name == "null-this") return ReadThroughNullThis(false);
  if (name == "null-this-caught") return ReadThroughNullThis(true);
  if (name == "pure-virtual") {
    TSquare square;
    return square.Area();
  }
  if (name == "terminate") CallTerminate();
  if (name == "abort") CallAbort();
  if (name == "thread-overflow") {
    HANDLE h = CreateThread(nullptr, 0, OverflowThreadBody, nullptr, 0, nullptr);
    WaitForSingleObject(h, 60000);
    return 0;  // not reached: the overflow ends the program
  }
  if (name == "foreign-av") {
    CopyFromNull();
    return 0;
  }
  if (name == "heap-busy") {
    HANDLE h = CreateThread(nullptr, 0, AllocateForever, nullptr, 0, nullptr);
    Sleep(50);
    FaultWhileAllocating();
    allocating = false;
    WaitForSingleObject(h, INFINITE);
    return 0;
  }
  if (name == "throw-busy" || name == "loader-busy") {
    HANDLE h = CreateThread(nullptr, 0, name == "throw-busy" ? ThrowForever : LoadForever, nullptr, 0, nullptr);
    Sleep(50);
    FaultWhileBusy();
    allocating = false;
    WaitForSingleObject(h, INFINITE);
    return 0;
  }
  if (name == "overflow") {
    recurse = Recurse;
    return Recurse(0) == 0 ? 0 : 0;
  }
  if (name == "storm") {
    stormStart = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[8];
    for (HANDLE& h : threads) h = CreateThread(nullptr, 0, StormThreadBody, nullptr, 0, nullptr);
    SetEvent(stormStart);
    WaitForMultipleObjects(8, threads, TRUE, 60000);
    for (HANDLE h : threads) CloseHandle(h);
    CloseHandle(stormStart);
    return 0;
  }
  if (name == "handled") return Handled();
  if (name == "uncaught") {
    ThrowUncaught();
    return 0;
  }
  if (name == "thread-uncaught" || name == "thread-uncaught-event") {
    if (name == "thread-uncaught-event") {
      // A notification handler that throws and catches an exception of its own, on the thread
      // that waits for the report (the faulting one): the report still names the first exception's
      // place, and it is reported once.
      TFaultEventHandlers handlers;
      handlers.ExceptionNotify = [](const TFaultExceptionContext&, bool&) {
        try {
          throw std::runtime_error("thrown and caught by the handler");
        } catch (const std::exception&) {
        }
      };
      RegisterFaultEventHandlers(handlers);
    }
    HANDLE h = CreateThread(nullptr, 0, PlainThreadBody, nullptr, 0, nullptr);
    if (!h) return 2;
    WaitForSingleObject(h, 30000);
    CloseHandle(h);
    return 0;
  }
  if (name == "std-thread-lock") {
    std::thread worker(ThrowHoldingLock);
    while (!lockTaken) Sleep(1);
    std::lock_guard<std::mutex> guard(sharedLock);  // waits while the worker's exception is reported
    worker.join();
    return 0;
  }
  if (name == "tthread") {
    TFailingThread thread;
    thread.Start();
    thread.WaitFor();
    return 0;
  }
  if (name == "null-write") {
    WriteThroughNull();
    return 0;
  }
  return -1;
}

const char* ScenarioNames() { return "handled uncaught thread-uncaught thread-uncaught-event std-thread-lock tthread null-write overflow storm heap-busy throw-busy loader-busy foreign-av big-message odd-message empty-message not-std filter-silent filter-message thread-overflow thread-churn raise-exception internal-error internal-quiet bad-what null-this null-this-caught pure-virtual terminate abort dll send-smtp send-smtp-background send-http send-https send-ftp send-mail resend-kept crash-restart nested nested-av log-race event-cancel custom-data report-no-crash minidump stress"; }
