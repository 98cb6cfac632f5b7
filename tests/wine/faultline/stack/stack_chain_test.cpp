// The call stack of a known chain of calls, captured by the program itself, and the stack of a
// waiting thread read from its register context: every entry of the chain names its source file,
// procedure and the line of its call.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "faultline/hooks/hooks.h"
#include "faultline/lists/modules_list.h"
#include "faultline/lists/threads_list.h"
#include "faultline/stack/stack.h"
#include "rtl/application.h"
#include "rtl/cpu_context.h"
#include "tests/wine/faultline/stack/chain.h"

extern "C" __declspec(dllimport) int ChainDllLine;

namespace {

class StackEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { CreateFaultModules(); }
  void TearDown() override { DestroyFaultModules(); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new StackEnvironment);

struct TExpected {
  const char* Unit;
  const char* Class;
  const char* Procedure;
  int Line;
};

std::string Show(const TFaultDebugInfo& e) {
  char text[512];
  std::snprintf(text, sizeof text, "%08llX k%d %s | %s | %s | %d (+%d)", static_cast<unsigned long long>(e.Address), e.Kind, e.UnitName.c_str(),
                e.ClassName.c_str(), e.ProcedureName.c_str(), e.Line, e.LineOffset);
  return text;
}

std::string Show(const TFaultStackList& list) {
  std::string s;
  for (const auto& e : list)
    if (e.Kind != EntryHidden) s += "  " + Show(e) + "\n";
  return s;
}

// The expected entries appear in this order among the visible ones (a raw scan also finds the
// called procedures of direct calls and older return addresses left on the stack).
void ExpectChain(const TFaultStackList& list, const std::vector<TExpected>& expected) {
  size_t at = 0;
  for (const TExpected& x : expected) {
    bool found = false;
    for (; at < list.size() && !found; ++at) {
      const TFaultDebugInfo& e = list[at];
      found = e.Kind == EntryDebugInfo && e.UnitName == x.Unit && e.ClassName == x.Class && e.ProcedureName == x.Procedure &&
              e.Line == x.Line;
    }
    EXPECT_TRUE(found) << "missing " << x.Unit << " " << x.Class << " " << x.Procedure << " line " << x.Line << "\n"
                       << Show(list);
    if (!found) return;
  }
}

const bool optimised = std::string(CHAIN_LEVEL) == "O2";

// The frames of the known chain that ChainA(1), called from TestBody, must show.
std::vector<TExpected> KnownChain(const char* testClass) {
  std::vector<TExpected> chain = {
      {"chain_a.cpp", "", "ChainCapture", callLines.Capture},
      {"chain_b.cpp", "", "ChainCallback", callLines.Callback},
      {"chain_dll.cpp", "", "ChainDllCall", ChainDllLine},
      {"chain_b.cpp", "", "CallLibrary", callLines.Thunk},
      {"chain_b.cpp", "", "ChainPointer", callLines.Pointer},
      {"chain_b.cpp", "(anonymous namespace)::TCircle", "Visit", callLines.Visit},
  };
  if (optimised) {
    // Inlined() lives on inside ChainA: the call of the virtual method is ChainA's, at its line.
    chain.push_back({"chain_a.cpp", "", "ChainA", callLines.Virtual});
  } else {
    chain.push_back({"chain_a.cpp", "", "Inlined", callLines.Virtual});
    chain.push_back({"chain_a.cpp", "", "ChainA", callLines.ChainA});
  }
  chain.push_back({"stack_chain_test.cpp", testClass, "TestBody", callLines.TestBody});
  return chain;
}

TEST(CallStack, KnownChainThroughFilesVirtualPointerThunkAndLibrary) {
  int r = (CALL_LINE(TestBody), ChainA(1));
  ASSERT_GT(r, 0);
  ASSERT_TRUE(captured);
  const std::vector<TExpected> chain =
      KnownChain("(anonymous namespace)::CallStack_KnownChainThroughFilesVirtualPointerThunkAndLibrary_Test");
  ExpectChain(*captured, chain);
  // The scan alone names the same frames.
  ASSERT_TRUE(capturedByScan);
  ExpectChain(*capturedByScan, chain);
  // The library's entries come from its own container, the program's from the program's.
  for (const auto& e : *captured) {
    if (e.UnitName == "chain_dll.cpp") {
      ASSERT_TRUE(e.Module);
      EXPECT_NE(e.Module->Path.find("chaindll.dll"), std::string::npos);
    }
  }
  // The entries belong to this thread's live stack.
  for (const auto& e : *captured) {
    EXPECT_EQ(e.ThreadId, GetCurrentThreadId());
    EXPECT_TRUE(e.Running);
  }
}

TEST(CallStack, AnotherThreadFromItsRegisterContext) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  chainThreadStackTop = 0;
  HANDLE thread = CreateThread(nullptr, 0, ChainThreadBody, event, 0, &id);
  ASSERT_TRUE(thread);
  // Let it reach its wait.
  while (chainThreadStackTop == 0 || callLines.ThreadWait == 0) Sleep(5);
  Sleep(100);
  ASSERT_NE(SuspendThread(thread), static_cast<DWORD>(-1));
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  ASSERT_TRUE(GetThreadContext(thread, &context));
  auto list = ThreadContextStack(context, chainThreadStackTop, id);
  ResumeThread(thread);
  SetEvent(event);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  CloseHandle(event);
  ExpectChain(*list, {{"chain_a.cpp", "", "ChainThreadWait", callLines.ThreadWait},
                      {"chain_a.cpp", "", "ChainThreadBody", callLines.ThreadBody}});
  // The first entry is where the thread stands: inside the system, named by its exports.
  ASSERT_FALSE(list->empty());
  EXPECT_EQ((*list)[0].Address, ContextInstruction(context));
  EXPECT_GE((*list)[0].Kind, EntryModule) << Show((*list)[0]);
  for (const auto& e : *list) EXPECT_EQ(e.ThreadId, id);
}

TEST(CallStack, RegistersAndMemoryOfAContext) {
  alignas(4) static uint8_t dump[256];
  for (int i = 0; i < 256; ++i) dump[i] = static_cast<uint8_t>(i);
  CONTEXT context = {};
  uintptr_t words[16];
  for (uintptr_t i = 0; i < 16; ++i) words[i] = 0xA0000000u + i;
  SetContextStack(context, reinterpret_cast<uintptr_t>(words));
  SetContextInstruction(context, 0x00401234);
#ifdef _WIN64
  context.Rax = 0x1122334455667788ull;
  context.R15 = 15;
  context.EFlags = 0x246;
#else
  context.Eax = 1;
#endif
  TCpuSnapshot cpu = ReadCpuSnapshot(context, reinterpret_cast<uintptr_t>(dump));
  EXPECT_TRUE(cpu.HasContext);
#ifdef _WIN64
  EXPECT_TRUE(cpu.Wide);
  EXPECT_EQ(cpu.Rax, 0x1122334455667788ull);
  EXPECT_EQ(cpu.R15, 15u);
  EXPECT_EQ(cpu.EFlags, 0x246u);
  EXPECT_EQ(cpu.Rip, 0x00401234u);
#else
  EXPECT_FALSE(cpu.Wide);
  EXPECT_EQ(cpu.Eax, 1u);
  EXPECT_EQ(cpu.Eip, 0x00401234u);
#endif
  ASSERT_TRUE(cpu.StackReadable);
  EXPECT_EQ(std::memcmp(cpu.Stack.data(), words, sizeof words), 0);  // 16 words of the program's width
  ASSERT_TRUE(cpu.DumpReadable);
  EXPECT_EQ(std::memcmp(cpu.Dump.data(), dump, 256), 0);
  // Unreadable places are left out, not read.
  SetContextStack(context, 0x10);
  cpu = ReadCpuSnapshot(context, 0x20);
  EXPECT_FALSE(cpu.StackReadable);
  EXPECT_FALSE(cpu.DumpReadable);
}

#ifdef _WIN64
// A module built without unwind data: the exact walk ends at its frame and the scan names the rest.
TEST(CallStack, ModuleWithoutUnwindDataIsScanned) {
  HMODULE plain = LoadLibraryA("chainplain.dll");
  ASSERT_TRUE(plain);
  using TCall = int(__cdecl*)(void(__cdecl*)(int), int);
  auto call = reinterpret_cast<TCall>(reinterpret_cast<void*>(GetProcAddress(plain, "ChainPlainCall")));
  auto line = reinterpret_cast<const int*>(GetProcAddress(plain, "ChainDllLine"));
  ASSERT_TRUE(call && line);
  DWORD64 base = 0;
  ASSERT_EQ(RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(call), &base, nullptr), nullptr)
      << "the library was meant to have no unwind data";
  captured.reset();
  int r = (CALL_LINE(TestBody), call(&ChainCallback, 1));
  ASSERT_GT(r, 0);
  ASSERT_TRUE(captured);
  ExpectChain(*captured, {{"chain_a.cpp", "", "ChainCapture", callLines.Capture},
                          {"chain_b.cpp", "", "ChainCallback", callLines.Callback},
                          {"chain_dll.cpp", "", "ChainPlainCall", *line},
                          {"stack_chain_test.cpp", "(anonymous namespace)::CallStack_ModuleWithoutUnwindDataIsScanned_Test",
                           "TestBody", callLines.TestBody}});
  FreeLibrary(plain);
}

// The library's unwind data damaged in place (its table entry or the unwind record it points to):
// the walk must neither crash nor lose the frames beyond it; the scan takes over there.
TEST(CallStack, DamagedUnwindDataEndsTheExactWalkOnly) {
  // The library's own procedure (ChainDllCall in this program is the linker's import jump).
  const auto call = reinterpret_cast<DWORD64>(GetProcAddress(GetModuleHandleA("chaindll.dll"), "ChainDllCall"));
  ASSERT_TRUE(call);
  DWORD64 base = 0;
  auto* entry = RtlLookupFunctionEntry(call, &base, nullptr);
  ASSERT_TRUE(entry);
  auto* record = reinterpret_cast<uint8_t*>(base + entry->UnwindData);
  const struct {
    const char* Name;
    std::function<void()> Damage;
  } cases[] = {
      {"unknown unwind record version", [&] { record[0] = static_cast<uint8_t>((record[0] & ~7) | 7); }},
      {"unwind record outside the module", [&] { entry->UnwindData = 0x7FFFFFF0; }},
      {"entry that covers nothing", [&] { entry->EndAddress = entry->BeginAddress; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const RUNTIME_FUNCTION savedEntry = *entry;
    uint8_t savedRecord[4];
    std::memcpy(savedRecord, record, sizeof savedRecord);
    DWORD oldEntry = 0, oldRecord = 0;
    ASSERT_TRUE(VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &oldEntry));
    ASSERT_TRUE(VirtualProtect(record, sizeof savedRecord, PAGE_READWRITE, &oldRecord));
    c.Damage();
    captured.reset();
    int r = (CALL_LINE(TestBody), ChainA(1));
    *entry = savedEntry;
    std::memcpy(record, savedRecord, sizeof savedRecord);
    VirtualProtect(record, sizeof savedRecord, oldRecord, &oldRecord);
    VirtualProtect(entry, sizeof *entry, oldEntry, &oldEntry);
    ASSERT_GT(r, 0);
    ASSERT_TRUE(captured);
    ExpectChain(*captured, KnownChain("(anonymous namespace)::CallStack_DamagedUnwindDataEndsTheExactWalkOnly_Test"));
  }
}
#endif

// A creation stack kept as a copy (what the thread list stores when a thread is started) names
// the frames of its creator, scanned as a stack that no longer runs.
__attribute__((noinline)) std::vector<uint8_t> CopyOwnStack(uintptr_t& from) {
  const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t top = CurrentStackTop();
  from = sp;
  return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(sp), reinterpret_cast<const uint8_t*>(top));
}

TEST(CallStack, StoredCreationStack) {
  uintptr_t from = 0;
  const int line = __LINE__ + 1;
  std::vector<uint8_t> copy = CopyOwnStack(from);
  auto list = CopiedStack(copy.data(), static_cast<uint32_t>(copy.size()), 42);
  ExpectChain(*list, {{"stack_chain_test.cpp", "(anonymous namespace)::CallStack_StoredCreationStack_Test", "TestBody",
                       line}});
  for (const auto& e : *list) {
    EXPECT_FALSE(e.Running);
    EXPECT_EQ(e.ThreadId, 42u);
  }
  EXPECT_TRUE(CopiedStack(nullptr, 0, 1)->empty());
}

TEST(CallStack, SystemProceduresAreNamedByTheirExports) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const uintptr_t address = reinterpret_cast<uintptr_t>(GetProcAddress(kernel, "GetTickCount"));
  const TFaultDebugInfo e = ResolveAddress(address + 1, 5, true);
  EXPECT_EQ(e.Kind, EntryExport) << Show(e);
  EXPECT_EQ(e.ProcedureName, "GetTickCount");
  ASSERT_TRUE(e.Module);
  EXPECT_EQ(e.Module->Handle, reinterpret_cast<uintptr_t>(kernel));
  EXPECT_EQ(ResolveAddress(0x00001000, 5, true).Kind, EntryHidden);  // in no module
}

// Linked in (the program uses the application object), so the container names its handlers.
void (TApplication::* volatile applicationHandler)(std::exception_ptr) = &TApplication::HandleException;

TEST(CallStack, SymbolIdsNameTheApplicationObjectsHandlers) {
  // Every test program carries the container; ids 0 and 1 are TApplication's handler and display.
  ASSERT_TRUE(applicationHandler);
  void* handler = SymbolAddress(0);
  ASSERT_TRUE(handler);
  const TFaultDebugInfo e = ResolveAddress(reinterpret_cast<uintptr_t>(handler), 0, true);
  EXPECT_EQ(e.ClassName, "TApplication");
  EXPECT_EQ(e.ProcedureName, "HandleException");
  EXPECT_EQ(SymbolAddress(9), nullptr);
  // The hook variant puts a real hook on it: the application's handler then runs the replacement.
  FHookInit();
  static std::atomic<int> calls{0};
  struct THook {
    static void __attribute__((thiscall)) Replacement(TApplication*, std::exception_ptr) { ++calls; }
  };
  ASSERT_TRUE(HookSymbol(0, reinterpret_cast<void*>(&THook::Replacement)));
  Application().HandleException(std::make_exception_ptr(std::runtime_error("x")));
  EXPECT_EQ(calls.load(), 1);
  FHookDone();
  EXPECT_EQ(HookSymbol(9, nullptr), nullptr);  // absent: nothing to hook
  EXPECT_EQ(SymbolAddress(9, "kernel32.dll", "GetTickCount"),
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")));
}

}  // namespace
