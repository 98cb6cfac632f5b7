// The container that the build embeds into every Windows test program, read back at run time:
// the "FLDATA" resource is found with the system's resource functions, its symbol table points at
// the application object's handlers, and the debug lookup names this file's own code.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
#include "rtl/application.h"

namespace {

std::string OwnContainer() {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(self, "FLDATA", MAKEINTRESOURCEA(10));
  if (!info) return {};
  HGLOBAL data = LoadResource(self, info);
  return std::string(static_cast<const char*>(LockResource(data)), SizeofResource(self, info));
}

TDebugModule OwnDebugModule(const TFaultContainer& container) {
  TDebugModule m;
  m.Stream = container.DebugInfo;
  m.Version = container.Version;
  m.Handle = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  m.PasswordAccepted = PasswordMatches(container.PasswordCheck, "");
  m.ReadCode = [](uint64_t address, void* buffer, size_t size) {
    std::memcpy(buffer, reinterpret_cast<const void*>(uintptr_t(address)), size);
    return true;
  };
  return m;
}

// Where it was called from, and on which line.
struct TCallSite {
  void* Address;
  int Line;
};

class TProbe {
 public:
  __attribute__((noinline)) TCallSite Where(int line) { return {__builtin_return_address(0), line}; }
};

__attribute__((noinline)) TCallSite CallerOfProbe() {
  TProbe probe;
  return probe.Where(__LINE__);
}

template <class M>
uintptr_t MethodAddress(M method) {
  uintptr_t address;
  std::memcpy(&address, &method, sizeof address);
  return address;
}

TEST(FldataResource, SymbolsPointAtTheApplicationHandlers) {
  auto container = ReadContainer(OwnContainer());
  ASSERT_TRUE(container.has_value());
  EXPECT_EQ(container->Version, 5111);
  uintptr_t base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) + 4096;
  uintptr_t expected[2] = {MethodAddress(&TApplication::HandleException), MethodAddress(&TApplication::ShowException)};
  int found = 0;
  for (const TFaultSymbol& s : container->Symbols) {
    ASSERT_LT(s.Id, 2);
    EXPECT_EQ(base + s.Offset, expected[s.Id]) << int(s.Id);
    EXPECT_GT(s.Size, 0u);
    ++found;
  }
  EXPECT_EQ(found, 2);
}

TEST(FldataResource, LookupNamesThisFile) {
  auto container = ReadContainer(OwnContainer());
  ASSERT_TRUE(container.has_value());
  TDebugModule module = OwnDebugModule(*container);
  ASSERT_TRUE(module.PasswordAccepted);

  // A return address: the call instruction is just before it, on the line of the call.
  TCallSite site = CallerOfProbe();
  TDebugHit hit;
  ASSERT_TRUE(DebugLookup(module, uintptr_t(site.Address) - 1, hit));
  EXPECT_EQ(hit.Unit, "fldata_resource_test.cpp");
  EXPECT_EQ(hit.Class, "(anonymous namespace)");
  EXPECT_EQ(hit.Procedure, "CallerOfProbe");
  EXPECT_EQ(hit.Line, site.Line);
  // Two lines below the function's first line; that line counts one lower when the procedure
  // does not begin with a frame set-up or a register save.
  const auto* code = reinterpret_cast<const uint8_t*>(&CallerOfProbe);
  bool frame = code[0] == 0x53 || StartsWithFrame(code);
  EXPECT_EQ(hit.LineOffset, frame ? 2 : 3);

  ASSERT_TRUE(DebugLookup(module, MethodAddress(&TProbe::Where), hit));
  EXPECT_EQ(hit.Class, "(anonymous namespace)::TProbe");
  EXPECT_EQ(hit.Procedure, "Where");

  ASSERT_TRUE(DebugLookup(module, MethodAddress(&TApplication::HandleException), hit));
  EXPECT_EQ(hit.Unit, "application_win.cpp");
  EXPECT_EQ(hit.Class, "TApplication");
  EXPECT_EQ(hit.Procedure, "HandleException");
}

}  // namespace
