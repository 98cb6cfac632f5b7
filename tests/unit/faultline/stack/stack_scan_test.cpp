// The stack scan on hand-made stacks: a code area with calls of every form, a stack of words
// pointing behind them, holes of unreadable memory, and a resolver that names known addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "faultline/stack/export_names.h"
#include "faultline/stack/stack_scan.h"

namespace {

constexpr uint32_t CodeBase = 0x00401000;
constexpr uint32_t StackBase = 0x00100000;

// Memory made of named regions; anything else is unreadable.
struct TFakeMemory {
  std::map<uint32_t, std::vector<uint8_t>> Regions;

  bool Read(uint32_t address, void* buffer, size_t size) const {
    auto it = Regions.upper_bound(address);
    if (it == Regions.begin()) return false;
    --it;
    const uint64_t offset = address - it->first;
    if (offset + size > it->second.size()) return false;
    std::memcpy(buffer, it->second.data() + offset, size);
    return true;
  }
  TMemoryRead Reader() const {
    return [this](uint32_t a, void* b, size_t n) { return Read(a, b, n); };
  }
};

TFaultModuleInfo module;

// Code: one place per call form, each followed by its return address; named procedures.
struct TFixture {
  TFakeMemory Memory;
  std::vector<uint8_t>& Code;
  std::vector<uint8_t>& Stack;
  std::map<uint32_t, std::string> Names;  // start address -> procedure (covers up to the next one)

  TFixture()
      : Code(Memory.Regions[CodeBase] = std::vector<uint8_t>(0x1000, 0x90)),
        Stack(Memory.Regions[StackBase] = std::vector<uint8_t>(0x4000, 0)) {
    module.Handle = 0x00400000;
  }
  // Writes bytes into the code and returns the address just after them (the return address).
  uint32_t Put(uint32_t offset, std::vector<uint8_t> bytes) {
    std::memcpy(&Code[offset], bytes.data(), bytes.size());
    return CodeBase + offset + static_cast<uint32_t>(bytes.size());
  }
  void Push(uint32_t stackOffset, uint32_t value) { std::memcpy(&Stack[stackOffset], &value, 4); }

  TResolve Resolver() {
    return [this](uint32_t address, uint32_t thread, bool running) {
      TFaultDebugInfo e;
      e.Address = address;
      e.ThreadId = thread;
      e.Running = running;
      if (address < CodeBase || address >= CodeBase + 0x1000) return e;
      e.Module = &module;
      e.Kind = EntryDebugInfo;
      auto it = Names.upper_bound(address);
      e.ProcedureName = it == Names.begin() ? "?" : std::prev(it)->second;
      return e;
    };
  }
  TFaultStackList Scan(TStackScan scan = {}) {
    if (scan.StackPointer == 0) {
      scan.StackPointer = StackBase;
      scan.StackTop = StackBase + static_cast<uint32_t>(Stack.size());
    }
    TFaultStackList list;
    ScanStack(list, scan, TScanMemory{Memory.Reader(), Memory.Reader()}, Resolver());
    return list;
  }
};

std::vector<uint32_t> Addresses(const TFaultStackList& list, bool withHidden = false) {
  std::vector<uint32_t> out;
  for (const auto& e : list)
    if (withHidden || e.Kind != EntryHidden) out.push_back(e.Address);
  return out;
}

TEST(StackScan, EveryCallFormEndsAtTheReturnAddress) {
  struct Case {
    const char* form;
    std::vector<uint8_t> bytes;
    uint32_t callOffset;  // where the call instruction starts inside bytes
  } cases[] = {
      {"call rel32", {0xE8, 0x00, 0x01, 0x00, 0x00}, 0},
      {"call eax", {0xFF, 0xD0}, 0},
      {"call edi", {0xFF, 0xD7}, 0},
      {"call [ecx]", {0xFF, 0x11}, 0},
      {"call [esi]", {0xFF, 0x16}, 0},
      {"call [ebx+8]", {0xFF, 0x53, 0x08}, 0},
      {"call [ebp-4]", {0xFF, 0x55, 0xFC}, 0},
      {"call [eax+0x100]", {0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, 0},
      {"call [esp]", {0xFF, 0x14, 0x24}, 0},
      {"call [esp+8]", {0xFF, 0x54, 0x24, 0x08}, 0},
      {"call [esp+0x100]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, 0},
      {"call [abs] (readable pointer)", {0xFF, 0x15, 0x00, 0x12, 0x40, 0x00}, 0},
  };
  for (const Case& c : cases) {
    TFixture f;
    const uint32_t ret = f.Put(0x40, c.bytes);
    f.Push(0x10, ret);
    TStackScan scan;
    scan.FollowCallTargets = false;
    EXPECT_EQ(Addresses(f.Scan(scan)), std::vector<uint32_t>{CodeBase + 0x40 + c.callOffset}) << c.form;
  }
}

TEST(StackScan, WordsThatAreNoReturnAddresses) {
  TFixture f;
  f.Push(0x10, CodeBase + 0x80);                    // into code, no call before it
  f.Push(0x14, f.Put(0x40, {0xFF, 0x15, 0x00, 0x00, 0x00, 0x00}));  // call [abs] with an unreadable pointer
  f.Push(0x18, 0x00000003);                          // too small to have 7 bytes before it
  f.Push(0x1C, 0xFFFFFFFF);                          // nothing readable there
  f.Push(0x20, f.Put(0x60, {0xE8, 0x00, 0x00, 0x00, 0x10}));  // call rel32 to an unreadable target
  EXPECT_TRUE(f.Scan().empty());
}

TEST(StackScan, DirectCallNamesTheCalledProcedureFirst) {
  TFixture f;
  f.Names = {{CodeBase + 0x100, "Caller"}, {CodeBase + 0x200, "Callee"}, {CodeBase + 0x300, "Thunk"},
             {CodeBase + 0x400, "Imported"}};
  // call Callee
  const uint32_t r1 = f.Put(0x110, {0xE8, 0, 0, 0, 0});
  const int32_t d1 = static_cast<int32_t>(CodeBase + 0x200 - r1);
  std::memcpy(&f.Code[0x111], &d1, 4);
  // call Thunk, where Thunk is "jmp [pointer]" and the pointer leads to Imported
  const uint32_t r2 = f.Put(0x120, {0xE8, 0, 0, 0, 0});
  const int32_t d2 = static_cast<int32_t>(CodeBase + 0x300 - r2);
  std::memcpy(&f.Code[0x121], &d2, 4);
  f.Put(0x300, {0xFF, 0x25, 0x00, 0x18, 0x40, 0x00});
  const uint32_t imported = CodeBase + 0x400;
  std::memcpy(&f.Code[0x800], &imported, 4);
  // call a procedure that itself begins with a call: it gets no entry of its own
  f.Put(0x500, {0xE8, 0, 0, 0, 0});
  const uint32_t r3 = f.Put(0x130, {0xE8, 0, 0, 0, 0});
  const int32_t d3 = static_cast<int32_t>(CodeBase + 0x500 - r3);
  std::memcpy(&f.Code[0x131], &d3, 4);
  f.Push(0x10, r1);
  f.Push(0x14, r2);
  f.Push(0x18, r3);
  EXPECT_EQ(Addresses(f.Scan()),
            (std::vector<uint32_t>{CodeBase + 0x200, CodeBase + 0x110, imported, CodeBase + 0x120, CodeBase + 0x130}));
  TStackScan noFollow;
  noFollow.FollowCallTargets = false;
  EXPECT_EQ(Addresses(f.Scan(noFollow)), (std::vector<uint32_t>{CodeBase + 0x110, CodeBase + 0x120, CodeBase + 0x130}));
}

TEST(StackScan, ReturnAddressStoredTwiceGivesOneVisibleEntry) {
  struct Case {
    const char* layout;         // return addresses from the stack pointer up
    const char* visible;        // what stays visible
  } cases[] = {
      {"aab", "ab"},            // the copy nearer the stack pointer is hidden
      {"aba", "ba"},            // the next named entry differs, the one after it repeats
      {"aabca", "abca"},        // further away: both stay
      {"aaa", "a"},
  };
  for (const Case& c : cases) {
    TFixture f;
    std::map<char, uint32_t> returns = {{'a', f.Put(0x40, {0xFF, 0xD0})}, {'b', f.Put(0x50, {0xFF, 0xD1})},
                                        {'c', f.Put(0x60, {0xFF, 0xD2})}};
    for (size_t i = 0; c.layout[i]; ++i) f.Push(0x10 + 4 * static_cast<uint32_t>(i), returns[c.layout[i]]);
    std::string visible;
    for (uint32_t address : Addresses(f.Scan())) visible += static_cast<char>('a' + (address - CodeBase - 0x40) / 0x10);
    EXPECT_EQ(visible, c.visible) << c.layout;
  }
}

TEST(StackScan, OnlyTheFirst102400BytesOfALargeStack) {
  TFixture f;
  f.Stack.assign(200000, 0);
  const uint32_t a = f.Put(0x40, {0xFF, 0xD0});
  const uint32_t b = f.Put(0x50, {0xFF, 0xD1});
  f.Push(102400, a);  // the last word scanned: the shortened top itself is included
  f.Push(102404, b);  // the first one beyond
  f.Push(150000, b);
  EXPECT_EQ(Addresses(f.Scan()), std::vector<uint32_t>{CodeBase + 0x40});
}

TEST(StackScan, UnreadablePageInTheMiddleIsSkipped) {
  TFixture f;
  const uint32_t a = f.Put(0x40, {0xFF, 0xD0});
  const uint32_t b = f.Put(0x50, {0xFF, 0xD1});
  f.Push(0x100, a);
  // Split the stack: [0, 0x1000) readable, [0x1000, 0x2000) not, [0x2000, 0x4000) readable.
  std::vector<uint8_t> upper(f.Stack.begin() + 0x2000, f.Stack.end());
  std::memcpy(&upper[0x10], &b, 4);
  f.Stack.resize(0x1000);
  f.Memory.Regions[StackBase + 0x2000] = upper;
  TStackScan scan;
  scan.StackPointer = StackBase;
  scan.StackTop = StackBase + 0x4000;
  EXPECT_EQ(Addresses(f.Scan(scan)), (std::vector<uint32_t>{CodeBase + 0x40, CodeBase + 0x50}));
}

TEST(StackScan, StartAddressKindsAndWindow) {
  TFixture f;
  std::vector<uint32_t> calls;
  for (uint32_t i = 0; i < 6; ++i) {
    f.Push(0x10 + 4 * i, f.Put(0x40 + 0x10 * i, {0xFF, 0xD0}));
    calls.push_back(CodeBase + 0x40 + 0x10 * i);
  }
  f.Push(0x40, 0x00000500);  // not in any module: looks like a call target? no: unreadable, so no entry
  TStackScan scan;
  scan.HasStart = true;
  scan.StartAddress = 0x7FFF0000;  // outside every module: kind 0
  EXPECT_EQ(Addresses(f.Scan(scan), true).front(), 0x7FFF0000u);
  scan.Kinds = 1u << EntryDebugInfo;  // the unnamed start is not kept
  EXPECT_EQ(Addresses(f.Scan(scan)), calls);
  scan.FirstIndex = 2;
  scan.MaxCount = 3;
  EXPECT_EQ(Addresses(f.Scan(scan)), (std::vector<uint32_t>{calls[2], calls[3], calls[4]}));
  scan.Running = false;
  scan.ThreadId = 77;
  const TFaultStackList list = f.Scan(scan);
  EXPECT_EQ(list[0].ThreadId, 77u);
  EXPECT_FALSE(list[0].Running);
}

TEST(StackScan, StoredStackCopyIsScannedWithTheProcessCode) {
  // A creation stack kept as a copy: its words come from the copy, the code from the process.
  TFixture f;
  const uint32_t a = f.Put(0x40, {0xFF, 0xD0});
  std::vector<uint8_t> copy(64, 0);
  std::memcpy(&copy[8], &a, 4);
  TMemoryRead fromCopy = [&copy](uint32_t address, void* buffer, size_t size) {
    if (address < 0x1000 || address - 0x1000 + size > copy.size()) return false;
    std::memcpy(buffer, &copy[address - 0x1000], size);
    return true;
  };
  TStackScan scan;
  scan.StackPointer = 0x1000;
  scan.StackTop = 0x1000 + 64;
  TFaultStackList list;
  ScanStack(list, scan, TScanMemory{fromCopy, f.Memory.Reader()}, f.Resolver());
  EXPECT_EQ(Addresses(list), std::vector<uint32_t>{CodeBase + 0x40});
}

TEST(StackScan, DevelopmentEnvironmentKeepsOnlyNamedEntriesAndNotItsHandler) {
  TFaultStackList list(4);
  list[0].Kind = EntryModule;
  list[1].Kind = EntryExport;
  list[1].ProcedureName = "HandleException";
  list[2].Kind = EntryQualified;
  list[2].ProcedureName = "Button1Click";
  list[3].Kind = EntryHidden;
  PostProcessEntries(list, 0, true);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].ProcedureName, "Button1Click");
}

// ---------------------------------------------------------------------------------------------

TEST(ExportNames, Parsing) {
  struct Case {
    const char* name;
    uint8_t kind;
    const char* unit;
    const char* cls;
    const char* procedure;
  } cases[] = {
      {"Execute", EntryExport, "", "", "Execute"},
      {"ListsDllAdd@8", EntryExport, "", "", "ListsDllAdd@8"},
      {"Unit1.Proc", EntryQualified, "Unit1.pas", "", "Proc"},
      {"Unit1.TForm1.Button1Click", EntryQualified, "Unit1.pas", "TForm1", "Button1Click"},
      {"Unit1.TForm1.Button1Click@4", EntryQualified, "Unit1.pas", "TForm1", "Button1Click"},
      {"A.B.C.D", EntryModule, "", "", ""},
      {"?Proc@@YAXXZ", EntryModule, "", "", ""},
      {"@Unit@TForm1@Button1Click$qqrp14System@TObject", EntryQualified, "Unit.pas", "TForm1", "Button1Click"},
      {"@Unit@Proc$qqrv", EntryQualified, "Unit.pas", "", "Proc"},
      {"@Unit@@Finalize$qqrv", EntryQualified, "Unit.pas", "", "_Finalize"},
      {"@Lone", EntryModule, "", "", ""},
      {"@$xp$Foo", EntryModule, "", "", ""},
      {"@Unit@Proc@", EntryQualified, "Unit.pas", "", "Proc"},
      {"_ZN5Tarns7TWorker7ExecuteEv", EntryQualified, "", "Tarns::TWorker", "Execute"},
      {"_Z5Plainii", EntryExport, "", "", "Plain"},
      {"_ZNK3Foo3BarIiE3getEv", EntryQualified, "", "Foo::Bar<int>", "get"},
      {"_ZN12_GLOBAL__N_14HideEv", EntryQualified, "", "(anonymous namespace)", "Hide"},
      {"_Z3maxIiET_S0_S0_", EntryExport, "", "", "max<int>"},
      {"_ZN3FooclEv", EntryQualified, "", "Foo", "operator()"},
      {"_Zbroken", EntryExport, "", "", "_Zbroken"},
  };
  for (const Case& c : cases) {
    TFaultDebugInfo e;
    e.Kind = EntryModule;
    ParseExportName(c.name, e);
    EXPECT_EQ(e.Kind, c.kind) << c.name;
    EXPECT_EQ(e.UnitName, c.unit) << c.name;
    EXPECT_EQ(e.ClassName, c.cls) << c.name;
    EXPECT_EQ(e.ProcedureName, c.procedure) << c.name;
  }
}

TEST(ExportNames, BinarySearchOverRanges) {
  TFaultFunctionsList list = {{"a", 0x1000, 0x10}, {"b", 0x1010, 0x20}, {"c", 0x1100, 1}, {"d", 0x2000, 0x100}};
  struct Case {
    uint32_t address;
    const char* name;
  } cases[] = {{0x0FFF, nullptr}, {0x1000, "a"}, {0x1008, "a"}, {0x1010, "b"},  // where ranges touch, the search meets b first
               {0x1011, "b"}, {0x1030, "b"}, {0x1031, nullptr}, {0x1101, "c"}, {0x2100, "d"}, {0x2101, nullptr}};
  for (const Case& c : cases) {
    const TFaultFunctionInfo* f = FindExport(list, c.address);
    EXPECT_EQ(f ? f->Name : "(none)", c.name ? c.name : "(none)") << std::hex << c.address;
  }
  EXPECT_EQ(FindExport({}, 0x1000), nullptr);
}

}  // namespace
