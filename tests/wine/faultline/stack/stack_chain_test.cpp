// The call stack of a known chain of calls, captured by the program itself, and the stack of a
// waiting thread read from its register context: every entry of the chain names its source file,
// procedure and the line of its call.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "faultline/hooks/hooks.h"
#include "faultline/lists/modules_list.h"
#include "faultline/stack/stack.h"
#include "rtl/application.h"
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
  std::snprintf(text, sizeof text, "%08X k%d %s | %s | %s | %d (+%d)", e.Address, e.Kind, e.UnitName.c_str(),
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

TEST(CallStack, KnownChainThroughFilesVirtualPointerThunkAndLibrary) {
  int r = (CALL_LINE(TestBody), ChainA(1));
  ASSERT_GT(r, 0);
  ASSERT_TRUE(captured);
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
  chain.push_back({"stack_chain_test.cpp", "(anonymous namespace)::CallStack_KnownChainThroughFilesVirtualPointerThunkAndLibrary_Test",
                   "TestBody", callLines.TestBody});
  ExpectChain(*captured, chain);
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
  EXPECT_EQ((*list)[0].Address, context.Eip);
  EXPECT_GE((*list)[0].Kind, EntryModule) << Show((*list)[0]);
  for (const auto& e : *list) EXPECT_EQ(e.ThreadId, id);
}

TEST(CallStack, SystemProceduresAreNamedByTheirExports) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetProcAddress(kernel, "GetTickCount")));
  const TFaultDebugInfo e = ResolveAddress(address + 1, 5, true);
  EXPECT_EQ(e.Kind, EntryExport) << Show(e);
  EXPECT_EQ(e.ProcedureName, "GetTickCount");
  ASSERT_TRUE(e.Module);
  EXPECT_EQ(e.Module->Handle, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kernel)));
  EXPECT_EQ(ResolveAddress(0x00001000, 5, true).Kind, EntryHidden);  // in no module
}

// Linked in (the program uses the application object), so the container names its handlers.
void (TApplication::* volatile applicationHandler)(std::exception_ptr) = &TApplication::HandleException;

TEST(CallStack, SymbolIdsNameTheApplicationObjectsHandlers) {
  // Every test program carries the container; ids 0 and 1 are TApplication's handler and display.
  ASSERT_TRUE(applicationHandler);
  void* handler = SymbolAddress(0);
  ASSERT_TRUE(handler);
  const TFaultDebugInfo e = ResolveAddress(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler)), 0, true);
  EXPECT_EQ(e.ClassName, "TApplication");
  EXPECT_EQ(e.ProcedureName, "HandleException");
  EXPECT_EQ(SymbolAddress(9), nullptr);
  EXPECT_EQ(HookSymbol(9, nullptr), nullptr);  // absent: nothing to hook
  EXPECT_EQ(SymbolAddress(9, "kernel32.dll", "GetTickCount"),
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")));
}

}  // namespace
