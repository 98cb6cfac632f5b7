// The thread list fed by the real thread procedures of this program (its import entries of
// CreateThread, ResumeThread and ExitThread point at the replacements), and the module list over
// the real modules of the process, under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "faultline/capture/raise_state.h"
#include "faultline/hooks/hooks.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/own_thread.h"
#include "faultline/lists/threads_list.h"
#include "rtl/thread.h"

// Memory that runs out on demand: the n-th allocation from now on the calling thread fails, or
// every allocation of at least a size.
thread_local int failAllocationIn = 0;
thread_local size_t failAllocationsFrom = SIZE_MAX;
void* operator new(size_t size) {
  if (failAllocationIn > 0 && --failAllocationIn == 0) throw std::bad_alloc();
  if (size >= failAllocationsFrom) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

struct TReported {
  std::string Message;
  DWORD ThreadId = 0;
  DWORD RecordThreadId = 0;
  uintptr_t ThreadObject = 0;
};
std::mutex reportedLock;
std::vector<TReported> reported;

bool ReportSeam(std::exception_ptr e, const TFaultThreadRecord& record) {
  TReported r;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    r.Message = x.what();
  } catch (...) {
    r.Message = "?";
  }
  r.ThreadId = GetCurrentThreadId();
  r.RecordThreadId = record.ThreadId;
  r.ThreadObject = record.ThreadObject;
  std::lock_guard<std::mutex> guard(reportedLock);
  reported.push_back(r);
  return true;
}

std::string ModuleName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return std::filesystem::path(path).filename().string();
}

// Reporting is active and this program's thread procedures go through the replacements for the
// whole program run (as they will from start-up on).
class ThreadsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    FHookInit();
    CreateFaultThreads();
    CreateFaultModules();
    FaultThreadServices().ReportingActive = [] { return true; };
    FaultThreadServices().ReportThreadException = ReportSeam;
    void* original = nullptr;
    const std::vector<std::string> modules = {ModuleName()};
    ASSERT_TRUE(HookImport(modules, "kernel32.dll", false, &original, reinterpret_cast<void*>(&FaultCreateThread), "CreateThread"));
    ASSERT_TRUE(HookImport(modules, "kernel32.dll", false, &original, reinterpret_cast<void*>(&FaultResumeThread), "ResumeThread"));
    ASSERT_TRUE(HookImport(modules, "kernel32.dll", false, &original, reinterpret_cast<void*>(&FaultExitThread), "ExitThread"));
  }
  void TearDown() override {
    FaultThreadServices() = TFaultThreadServices();
    FHookDone();
    DestroyFaultModules();
    DestroyFaultThreads();
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ThreadsEnvironment);

// A copy of the record of a thread, taken under the read lock.
bool RecordOf(DWORD id, TFaultThreadRecord& out) {
  TFaultThreadsList* list = FaultThreads();
  list->LockRead();
  const int i = list->IndexOfId(id);
  if (i >= 0) out = (*list)[i];
  list->UnlockRead();
  return i >= 0;
}

struct TGate {
  HANDLE Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE Go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~TGate() {
    CloseHandle(Started);
    CloseHandle(Go);
  }
};

DWORD WINAPI GatedThread(LPVOID parameter) {
  auto* gate = static_cast<TGate*>(parameter);
  SetEvent(gate->Started);
  WaitForSingleObject(gate->Go, INFINITE);
  return 7;
}

TEST(ThreadList, MainThreadIsListedWithItsStackTop) {
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(GetCurrentThreadId(), r));
  EXPECT_EQ(FaultMainThreadId(), GetCurrentThreadId());
  EXPECT_EQ(ClassifyThread(r, FaultMainThreadId()), TFaultThreadClass::Main);
  EXPECT_EQ(r.StackTop, CurrentStackTop());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(reinterpret_cast<HANDLE>(r.Handle), &code));  // a handle of its own
}

TEST(ThreadList, PlainThreadIsListedWithStartAddressAndParameter) {
  TGate gate;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, GatedThread, &gate, 0, &id);
  ASSERT_TRUE(h);
  ASSERT_EQ(WaitForSingleObject(gate.Started, 5000), WAIT_OBJECT_0);
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(id, r));
  EXPECT_EQ(r.StartAddress, Address(reinterpret_cast<void*>(&GatedThread)));
  EXPECT_EQ(r.Parameter, Address(&gate));
  EXPECT_EQ(r.ThreadObject, 0u);
  EXPECT_EQ(ClassifyThread(r, FaultMainThreadId()), TFaultThreadClass::Other);
  EXPECT_NE(r.StackTop, 0u);  // the wrapper stored it when the thread began
  EXPECT_EQ(r.Priority, ThreadPriorityUnknown);
  SetEvent(gate.Go);
  WaitForSingleObject(h, 5000);
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 7u);  // the program's function ran, with its result
  CloseHandle(h);
}

TEST(ThreadList, ThreadWhoseCreatorClosedItsHandleStillRunsAndIsListed) {
  // The creator lets go of its handle at once; a later creation removes ended threads, which must
  // not drop this one or keep it from running.
  TGate gate;
  DWORD id = 0;
  CloseHandle(CreateThread(nullptr, 0, GatedThread, &gate, 0, &id));
  TGate other;
  SetEvent(other.Go);
  HANDLE h2 = CreateThread(nullptr, 0, GatedThread, &other, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(gate.Started, 5000), WAIT_OBJECT_0);
  TFaultThreadRecord r;
  EXPECT_TRUE(RecordOf(id, r));
  SetEvent(gate.Go);
  WaitForSingleObject(h2, 5000);
  CloseHandle(h2);
}

DWORD WINAPI QuickThread(LPVOID) { return 0; }

TEST(ThreadList, EndedThreadsAreRemovedTwoInOnePass) {
  DWORD id1 = 0, id2 = 0;
  HANDLE a = CreateThread(nullptr, 0, QuickThread, nullptr, 0, &id1);
  HANDLE b = CreateThread(nullptr, 0, QuickThread, nullptr, 0, &id2);
  WaitForSingleObject(a, 5000);
  WaitForSingleObject(b, 5000);
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(id1, r));  // the procedures returned: no one removed them yet
  ASSERT_TRUE(RecordOf(id2, r));
  FaultThreads()->RemoveEndedThreads();
  EXPECT_FALSE(RecordOf(id1, r));
  EXPECT_FALSE(RecordOf(id2, r));
  EXPECT_TRUE(RecordOf(GetCurrentThreadId(), r));
  CloseHandle(a);
  CloseHandle(b);
}

DWORD WINAPI ExitingThread(LPVOID parameter) {
  auto* gate = static_cast<TGate*>(parameter);
  SetEvent(gate->Started);
  WaitForSingleObject(gate->Go, INFINITE);
  ExitThread(3);
}

TEST(ThreadList, ExitThreadRemovesTheRecord) {
  TGate gate;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, ExitingThread, &gate, 0, &id);
  WaitForSingleObject(gate.Started, 5000);
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(id, r));
  SetEvent(gate.Go);
  WaitForSingleObject(h, 5000);
  EXPECT_FALSE(RecordOf(id, r));
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 3u);
  CloseHandle(h);
}

TEST(ThreadList, ResumeOfAThreadNotListedPassesStraightThrough) {
  using TCreate = decltype(&CreateThread);
  auto systemCreate = reinterpret_cast<TCreate>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread")));
  TGate gate;
  SetEvent(gate.Go);
  DWORD id = 0;
  HANDLE h = systemCreate(nullptr, 0, GatedThread, &gate, CREATE_SUSPENDED, &id);
  const int before = FaultThreads()->Count();
  EXPECT_EQ(ResumeThread(h), 1u);
  EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  TFaultThreadRecord r;
  EXPECT_FALSE(RecordOf(id, r));
  EXPECT_EQ(FaultThreads()->Count(), before);
  CloseHandle(h);
}

class TWorker : public TThread {
 public:
  explicit TWorker(bool fail) : TThread(true), fail_(fail) {}
  std::atomic<DWORD> RanOn{0};
  TFaultThreadRecord SeenInside{};

 protected:
  void Execute() override {
    RanOn = GetCurrentThreadId();
    RecordOf(GetCurrentThreadId(), SeenInside);
    if (fail_) throw std::runtime_error("escaped from Execute");
  }

 private:
  bool fail_;
};

// Starts a thread from a frame whose stack holds a marker, so that the creation-stack copy can
// be recognised.
__attribute__((noinline)) void StartWithMarker(TThread& t, uint32_t marker) {
  volatile uint32_t onStack[4] = {marker, marker, marker, marker};
  t.Start();
  (void)onStack[0];
}

TEST(ThreadList, TThreadIsWrappedAndKeepsItsCreatorsStack) {
  TWorker worker(false);
  TFaultThreadRecord atCreation;
  ASSERT_TRUE(RecordOf(worker.ThreadId(), atCreation));
  EXPECT_EQ(atCreation.ThreadObject, Address(&worker));
  EXPECT_EQ(atCreation.ThreadFunction, Address(reinterpret_cast<void*>(&TThread::ThreadProc)));
  EXPECT_EQ(ClassifyThread(atCreation, FaultMainThreadId()), TFaultThreadClass::Framework);

  const uint32_t marker = 0x5EC0DE11;
  StartWithMarker(worker, marker);
  worker.WaitFor();
  EXPECT_EQ(worker.RanOn.load(), worker.ThreadId());
  // The Execute wrapper ran: the record carried the stack top and the class's own Execute.
  EXPECT_NE(worker.SeenInside.StackTop, 0u);
  EXPECT_NE(worker.SeenInside.OwnExecute, 0u);
  EXPECT_EQ(worker.SeenInside.ResumerId, GetCurrentThreadId());
  ASSERT_NE(worker.SeenInside.StackCopy, 0u);
  ASSERT_GT(worker.SeenInside.StackCopySize, 16u);
  EXPECT_LT(worker.SeenInside.StackCopySize, 1u << 20);
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(worker.ThreadId(), r));
  ASSERT_NE(r.StackCopy, 0u);
  const auto* copy = reinterpret_cast<const uint32_t*>(r.StackCopy);
  bool found = false;
  for (uint32_t i = 0; i + 4 <= r.StackCopySize / 4; ++i)
    if (copy[i] == marker && copy[i + 1] == marker && copy[i + 2] == marker && copy[i + 3] == marker) found = true;
  EXPECT_TRUE(found) << "the creation-stack copy holds the starting frame";
}

TEST(ThreadList, ExceptionEscapingExecuteReachesTheReportWithItsThread) {
  {
    std::lock_guard<std::mutex> guard(reportedLock);
    reported.clear();
  }
  TWorker worker(true);
  worker.Start();
  worker.WaitFor();
  ASSERT_TRUE(worker.FatalException());  // still passed on to the thread object afterwards
  std::lock_guard<std::mutex> guard(reportedLock);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].Message, "escaped from Execute");
  EXPECT_EQ(reported[0].ThreadId, worker.ThreadId());
  EXPECT_EQ(reported[0].RecordThreadId, worker.ThreadId());
  EXPECT_EQ(reported[0].ThreadObject, Address(&worker));
}

class TOwnThread : public TFaultlineThread {
 public:
  TOwnThread() : TFaultlineThread(true) {}

 protected:
  void Execute() override {}
};

TEST(ThreadList, OwnThreadsAreNotListed) {
  TOwnThread own;
  own.Start();
  own.WaitFor();
  TFaultThreadRecord r;
  EXPECT_FALSE(RecordOf(own.ThreadId(), r));
}

TEST(ThreadList, CopiesDoNotOwnStackCopiesOrHandles) {
  TWorker worker(false);
  worker.Start();
  worker.WaitFor();
  {
    TFaultThreadsList copy(*FaultThreads());
    EXPECT_TRUE(copy.IsCopy());
    EXPECT_EQ(copy.Count(), FaultThreads()->Count());
  }
  TFaultThreadRecord r;
  ASSERT_TRUE(RecordOf(worker.ThreadId(), r));
  EXPECT_TRUE(IsReadable(reinterpret_cast<const void*>(r.StackCopy), r.StackCopySize));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(reinterpret_cast<HANDLE>(r.Handle), &code));
}

TEST(ThreadList, ACopyKeepsHandlesOfItsOwnWhenThreadsEnd) {
  TWorker worker(false);
  worker.Start();
  worker.WaitFor();
  TFaultThreadsList copy(*FaultThreads());
  const int i = copy.IndexOfId(worker.ThreadId());
  ASSERT_GE(i, 0);
  // The list forgets the ended thread and closes its handle; the copy's handle still names it.
  FaultThreads()->RemoveEndedThreads();
  TFaultThreadRecord r;
  EXPECT_FALSE(RecordOf(worker.ThreadId(), r));
  EXPECT_EQ(GetThreadId(reinterpret_cast<HANDLE>(copy[i].Handle)), worker.ThreadId());
}

// ---------------------------------------------------------------------------------------------

TEST(ModuleList, ProgramAndSystemLibraries) {
  TFaultModulesList& list = *FaultModules();
  TFaultModuleInfo* exe = list.Lookup(GetModuleHandleA(nullptr));
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe->ModuleType, ModuleExecutable);
  EXPECT_EQ(std::filesystem::path(exe->Path).filename().string(), ModuleName());
  EXPECT_TRUE(exe->Functions.empty());
  EXPECT_GT(exe->FileSize, 0u);
  EXPECT_TRUE(exe->DebugInfo.has_value());  // every test program carries a container
  EXPECT_EQ(list.LookupByAddress(Address(reinterpret_cast<void*>(&ReportSeam))), exe);

  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  TFaultModuleInfo* k = list.Lookup(kernel);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->ModuleType, ModuleLibrary);
  EXPECT_FALSE(k->Version.empty());
  EXPECT_FALSE(k->DebugInfo.has_value());
  ASSERT_GT(k->Functions.size(), 100u);
  // The system's own lookup is the judge of every address; lengths end at a return.
  size_t withLength = 0;
  for (size_t i = 0; i < k->Functions.size(); ++i) {
    const TFaultFunctionInfo& f = k->Functions[i];
    if (i > 0) {
      EXPECT_LE(k->Functions[i - 1].Address, f.Address);
    }
    EXPECT_EQ(Address(reinterpret_cast<void*>(GetProcAddress(kernel, f.Name.c_str()))), f.Address) << f.Name;
    if (f.Size > 1) ++withLength;
  }
  EXPECT_GT(withLength, k->Functions.size() / 2);
  const auto it = std::find_if(k->Functions.begin(), k->Functions.end(),
                               [](const TFaultFunctionInfo& f) { return f.Name == "GetTickCount"; });
  ASSERT_NE(it, k->Functions.end());
  const uint8_t* code = reinterpret_cast<const uint8_t*>(it->Address);
  EXPECT_TRUE(code[it->Size - 1] == 0xC3 || (it->Size >= 3 && code[it->Size - 3] == 0xC2)) << it->Size;
}

std::string TempCopy(const std::string& name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string dir = std::string(temp) + "lists_test_" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  std::string path = dir + "\\" + name;
  EXPECT_TRUE(CopyFileA(LISTS_DLL, path.c_str(), FALSE));
  return path;
}

TEST(ModuleList, LibraryWithItsOwnContainer) {
  const std::string path = TempCopy("listsdll.dll");
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_TRUE(dll);
  TFaultModuleInfo* m = FaultModules()->Lookup(dll);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->ModuleType, ModuleLibrary);
  EXPECT_EQ(m->Description, "Faultline lists test library");
  EXPECT_EQ(m->Version, "1.2.3.4");
  ASSERT_TRUE(m->Options);
  EXPECT_EQ(m->Options->MailTo(), "lists-dll@example.invalid");
  EXPECT_EQ(m->Options->LogMaxReports(), 7);
  ASSERT_TRUE(m->DebugInfo.has_value());
  EXPECT_FALSE(m->DebugInfo->empty());
  EXPECT_TRUE(m->PasswordAccepted);
  EXPECT_GT(m->BuildTime, 40000.0);
  std::vector<std::string> names;
  for (const auto& f : m->Functions) names.push_back(f.Name);
  // A stdcall export keeps its decorated name in a 32-bit library; 64-bit code has one convention.
  const char* add = sizeof(void*) == 8 ? "ListsDllAdd" : "ListsDllAdd@8";
  EXPECT_NE(std::find(names.begin(), names.end(), add), names.end()) << ::testing::PrintToString(names);
  EXPECT_NE(std::find(names.begin(), names.end(), "ListsDllTwice"), names.end());
  FreeLibrary(dll);
  DeleteFileA(path.c_str());
}

TEST(ModuleList, ChangedLibraryIsRegisteredAnew) {
  const std::string path = TempCopy("changing.dll");
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_TRUE(dll);
  TFaultModulesList& list = *FaultModules();
  const double first = list.Lookup(dll)->ModifiedTime;
  FreeLibrary(dll);
  list.Refresh();
  EXPECT_LT(list.IndexOf(dll), 0) << "unloaded modules leave the list";

  // The file changes (a newer build lands at the same path) and is loaded again.
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  FILETIME later;
  GetSystemTimeAsFileTime(&later);
  ULARGE_INTEGER t;
  std::memcpy(&t, &later, sizeof t);
  t.QuadPart += 36000000000ull;  // an hour on
  std::memcpy(&later, &t, sizeof t);
  SetFileTime(f, nullptr, nullptr, &later);
  CloseHandle(f);
  dll = LoadLibraryA(path.c_str());
  ASSERT_TRUE(dll);
  TFaultModuleInfo* again = list.Lookup(dll);
  ASSERT_TRUE(again);
  // Still loaded at the same place with the old record: drop changed notices the new file.
  if (again->ModifiedTime == first) {
    list.DropChanged();
    EXPECT_LT(list.IndexOf(dll), 0);
    again = list.Lookup(dll);
  }
  ASSERT_TRUE(again);
  EXPECT_GT(again->ModifiedTime, first);
  FreeLibrary(dll);
  DeleteFileA(path.c_str());
}

TEST(ModuleList, RefreshRegistersLightlyAndLookupCompletes) {
  TFaultModulesList& list = *FaultModules();
  list.Refresh();
  EXPECT_FALSE(list.LightMode());
  HMODULE user = GetModuleHandleA("user32.dll");
  ASSERT_TRUE(user);
  for (int i = 1; i < list.Count(); ++i) EXPECT_LT(list[i - 1].Handle, list[i].Handle);
  const int i = list.IndexOf(user);
  ASSERT_GE(i, 0);
  if (list[i].ModuleType == ModuleLight) {
    EXPECT_TRUE(list[i].Functions.empty());
  }
  TFaultModuleInfo* full = list.Lookup(user);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->ModuleType, ModuleLibrary);
  EXPECT_FALSE(full->Functions.empty());
}

TEST(ModuleList, DamagedImageInMemoryGivesNoExports) {
  // A page of "image" whose name table points into an inaccessible page after it.
  auto* block = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_TRUE(block);
  DWORD old;
  VirtualProtect(block + 0x1000, 0x1000, PAGE_NOACCESS, &old);
  block[0] = 'M';
  block[1] = 'Z';
  const uint32_t pe = 0x40;
  std::memcpy(block + 60, &pe, 4);
  std::memcpy(block + pe, "PE\0\0", 4);
  const uint16_t magic = 0x10B, sections = 1, optSize = 224;
  std::memcpy(block + pe + 6, &sections, 2);
  std::memcpy(block + pe + 20, &optSize, 2);
  std::memcpy(block + pe + 24, &magic, 2);
  const uint32_t rvaCount = 16, exportRva = 0x800, exportSize = 0x100, sectionSize = 0x2000;
  std::memcpy(block + pe + 24 + 92, &rvaCount, 4);
  std::memcpy(block + pe + 24 + 96, &exportRva, 4);
  std::memcpy(block + pe + 24 + 100, &exportSize, 4);
  std::memcpy(block + pe + 24 + 224 + 8, &sectionSize, 4);  // one section over everything
  const uint32_t dir[10] = {0, 0, 0, 0, 0, 2, 2, 0x900, 0x1800, 0x950};
  std::memcpy(block + exportRva, dir, sizeof dir);
  TFaultFunctionsList functions;
  EXPECT_TRUE(LoadModuleExports(Address(block), ReadProcessBytes, functions));
  EXPECT_TRUE(functions.empty());
  block[pe + 1] = 'X';  // wrong signature
  EXPECT_FALSE(LoadModuleExports(Address(block), ReadProcessBytes, functions));
  VirtualFree(block, 0, MEM_RELEASE);
}

DWORD WINAPI TakeListLock(LPVOID) {
  TFaultThreadsList::TWriteLock lock(*FaultThreads());
  return 0;
}

// Listing a thread allocates. When memory runs out there the thread still starts (unlisted), no
// exception escapes into the program's CreateThread, and the list's lock is not left taken.
TEST(ThreadList, ThreadsStartAndTheListStaysUsableWhenMemoryRunsOut) {
  std::vector<HANDLE> started;
  TGate gate;
  const auto listUsable = [] {
    HANDLE h = CreateUnlistedThread(TakeListLock, nullptr);
    const bool done = WaitForSingleObject(h, 5000) == WAIT_OBJECT_0;
    CloseHandle(h);
    return done;
  };
  // The record (first allocation); then the list's room for it, which grows now and then: threads
  // are started and left running until one start has had to grow it.
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    bool failed = false;
    for (int tries = 0; tries < 200 && !failed; ++tries) {
      failAllocationIn = nth;
      HANDLE h = nullptr;
      EXPECT_NO_THROW(h = CreateThread(nullptr, 0, GatedThread, &gate, 0, nullptr));
      failed = failAllocationIn == 0;
      failAllocationIn = 0;
      ASSERT_TRUE(h);
      started.push_back(h);
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(WaitForSingleObject(gate.Started, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(listUsable());
  }
  SetEvent(gate.Go);
  for (HANDLE h : started) {
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    CloseHandle(h);
  }
}

struct TRaiseOutcome {
  bool CaughtOwn = false;
  bool LaterRecorded = false;
};
DWORD WINAPI ThrowWithoutMemory(LPVOID parameter) {
  auto* o = static_cast<TRaiseOutcome*>(parameter);
  const std::runtime_error own("the program's own");  // its text is allocated here
  failAllocationsFrom = MaxRaiseStack;
  try {
    throw own;
  } catch (const std::runtime_error&) {
    o->CaughtOwn = true;
  } catch (...) {
  }
  failAllocationsFrom = SIZE_MAX;
  try {
    throw std::logic_error("later");
  } catch (const std::logic_error&) {
    o->LaterRecorded = ThreadRaise().Type == &typeid(std::logic_error);
  }
  return 0;
}

// Every throw passes the raise recorder, which keeps a copy of the thrower's stack in a buffer it
// makes on the thread's first throw. Without memory for it the program's own exception is thrown
// (not an allocation failure of the recorder), and later throws are recorded again.
TEST(RaiseRecorder, ThrowsWhatWasThrownWhenMemoryRunsOut) {
  SetRaiseRecording(true);
  TRaiseOutcome outcome;
  HANDLE h = CreateUnlistedThread(ThrowWithoutMemory, &outcome);
  ASSERT_TRUE(h);
  EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  CloseHandle(h);
  SetRaiseRecording(false);
  EXPECT_TRUE(outcome.CaughtOwn);
  EXPECT_TRUE(outcome.LaterRecorded);
}

}  // namespace
