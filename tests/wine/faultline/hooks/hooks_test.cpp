// Code hooks on real code of this program under Wine: procedures written in assembly with known
// byte layouts, the thread class's virtual method table, and the program's own import address
// table. The judges are the hooked code itself (it must still compute the right results) and the
// bytes of memory compared with copies taken before hooking.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faultline/hooks/hooks.h"
#include "faultline/hooks/instruction_length.h"
#include "rtl/thread.h"

// ---------------------------------------------------------------------------------------------
// What differs between 32- and 64-bit code: the calling convention (the argument, and `this`,
// arrive in ecx either way; eax holds the result), the decoration of symbols, and the procedures
// with a known layout, written in assembly for each.
// ---------------------------------------------------------------------------------------------
#ifdef _WIN64
#define ECX_ARG
#define ECX_THIS
#else
#define ECX_ARG __attribute__((fastcall))
#define ECX_THIS __attribute__((thiscall))
#endif

extern "C" {
int ECX_ARG ShortJumpTarget(int) asm("tarn_hooks_short_jump");
int ECX_ARG InnerJumpTarget(int) asm("tarn_hooks_inner_jump");
int ECX_ARG CallFirstTarget(int) asm("tarn_hooks_call_first");
int ECX_ARG NearJumpTarget(int) asm("tarn_hooks_near_jump");
int BehindThunk() asm("tarn_hooks_behind_thunk");
int Thunk() asm("tarn_hooks_thunk");
int NullThunk() asm("tarn_hooks_null_thunk");
int ReplacementThunk() asm("tarn_hooks_replacement_thunk");
int ThunkReplacement() asm("tarn_hooks_thunk_replacement");
#ifdef _WIN64
int ECX_ARG RipRelativeTarget(int) asm("tarn_hooks_rip_relative");
extern int RipValue asm("tarn_hooks_rip_value");
// The program's own import address table entry of GetTickCount, and the linker's thunk that jumps
// through it.
extern void* ImpGetTickCount asm("__imp_GetTickCount");
void GetTickCountThunk() asm("GetTickCount");
// TThread's own table (its address point is two words in) and the pure-virtual marker.
extern void* const TThreadVtable[] asm("_ZTV7TThread");
void CxaPureVirtual() asm("__cxa_pure_virtual");
#else
extern void* ImpGetTickCount asm("__imp__GetTickCount@0");
void GetTickCountThunk() asm("_GetTickCount@0");
extern void* const TThreadVtable[] asm("__ZTV7TThread");
void CxaPureVirtual() asm("___cxa_pure_virtual");
#endif
}

#ifdef _WIN64
asm(R"(
  .text
  .p2align 4
# x == 0 ? -1 : x + 100. The jz leaves the 6 bytes the hook moves.
tarn_hooks_short_jump:
  testl %ecx, %ecx
  jz 1f
  movl %ecx, %eax
  addl $100, %eax
  ret
1:
  movl $-1, %eax
  ret

  .p2align 4
# x + 7, with a short jump that stays inside the moved bytes.
tarn_hooks_inner_jump:
  jmp 1f
1:
  leal 7(%rcx), %eax
  ret

  .p2align 4
# 2x + 1; the first instruction is a call with a 32-bit displacement.
tarn_hooks_call_first:
  call tarn_hooks_double
  incl %eax
  ret
  .p2align 4
tarn_hooks_double:
  leal (%rcx,%rcx), %eax
  ret

  .p2align 4
# x == 0 ? -2 : 3x, through jz with a 32-bit displacement (0x0F 0x84).
tarn_hooks_near_jump:
  testl %ecx, %ecx
  .byte 0x0f, 0x84
  .long 2f - (. + 4)
  leal (%rcx,%rcx,2), %eax
  ret
2:
  movl $-2, %eax
  ret

  .p2align 4
# 3 * value + x. The operand relative to the instruction pointer has an immediate behind it, and
# the value lives in another section: a displacement left as it was reads something else.
tarn_hooks_rip_relative:
  imull $3, tarn_hooks_rip_value(%rip), %eax
  addl %ecx, %eax
  ret

  .p2align 4
tarn_hooks_behind_thunk:
  movl $7, %eax
  ret

  .p2align 4
# Import thunks of 64-bit code: jmp [rip + slot].
tarn_hooks_thunk:
  jmp *tarn_hooks_thunk_slot(%rip)
tarn_hooks_null_thunk:
  jmp *tarn_hooks_null_slot(%rip)
tarn_hooks_replacement_thunk:
  jmp *tarn_hooks_replacement_slot(%rip)

  .data
  .p2align 3
tarn_hooks_thunk_slot: .quad tarn_hooks_behind_thunk
tarn_hooks_null_slot: .quad 0
tarn_hooks_replacement_slot: .quad tarn_hooks_thunk_replacement
tarn_hooks_rip_value: .long 14
  .text
)");
#else
asm(R"(
  .text
  .p2align 4
# x == 0 ? -1 : x + 100. The jz leaves the 6 bytes the hook moves.
tarn_hooks_short_jump:
  testl %ecx, %ecx
  jz 1f
  movl %ecx, %eax
  addl $100, %eax
  ret
1:
  movl $-1, %eax
  ret

  .p2align 4
# x + 7, with a short jump that stays inside the moved bytes.
tarn_hooks_inner_jump:
  jmp 1f
1:
  leal 7(%ecx), %eax
  ret

  .p2align 4
# 2x + 1; the first instruction is a call with a 32-bit displacement.
tarn_hooks_call_first:
  call tarn_hooks_double
  incl %eax
  ret
  .p2align 4
tarn_hooks_double:
  leal (%ecx,%ecx), %eax
  ret

  .p2align 4
# x == 0 ? -2 : 3x, through jz with a 32-bit displacement (0x0F 0x84).
tarn_hooks_near_jump:
  testl %ecx, %ecx
  .byte 0x0f, 0x84
  .long 2f - (. + 4)
  leal (%ecx,%ecx,2), %eax
  ret
2:
  movl $-2, %eax
  ret

  .p2align 4
tarn_hooks_behind_thunk:
  movl $7, %eax
  ret

  .p2align 4
tarn_hooks_thunk:
  jmp *tarn_hooks_thunk_slot
tarn_hooks_null_thunk:
  jmp *tarn_hooks_null_slot
tarn_hooks_replacement_thunk:
  jmp *tarn_hooks_replacement_slot

  .data
  .p2align 2
tarn_hooks_thunk_slot: .long tarn_hooks_behind_thunk
tarn_hooks_null_slot: .long 0
tarn_hooks_replacement_slot: .long tarn_hooks_thunk_replacement
  .text
)");
#endif

// Calls the procedure behind the thunk through its trampoline.
static int (*gBehindThunkOriginal)() = nullptr;
int ThunkReplacement() { return gBehindThunkOriginal ? 100 + gBehindThunkOriginal() : -1; }

namespace {

using TFastFunction = int(ECX_ARG *)(int);

std::vector<uint8_t> Bytes(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + n);
}

DWORD Protection(const void* p) {
  MEMORY_BASIC_INFORMATION mbi{};
  VirtualQuery(p, &mbi, sizeof mbi);
  return mbi.Protect;
}

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Where the 5-byte jump at p leads.
const void* JumpDestination(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  int32_t disp;
  std::memcpy(&disp, b + 1, 4);
  return b + 5 + disp;
}

// Where the absolute jump of 64-bit code at p (jmp [rip+0], the destination behind it) leads; null
// for any other instruction.
const void* AbsoluteJumpDestination(const void* p) {
  const uint8_t head[] = {0xFF, 0x25, 0, 0, 0, 0};
  if (std::memcmp(p, head, sizeof head) != 0) return nullptr;
  uint64_t to;
  std::memcpy(&to, static_cast<const uint8_t*>(p) + sizeof head, sizeof to);
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(to));
}

// jmp [pointer], as an import thunk has it: the pointer's address is absolute in 32-bit code and
// relative to the next instruction in 64-bit code.
void WriteThunk(uint8_t* at, const void* pointer) {
  at[0] = 0xFF;
  at[1] = 0x25;
  const auto field = static_cast<uint32_t>(Address(pointer) - (sizeof(void*) == 8 ? Address(at) + 6 : 0));
  std::memcpy(at + 2, &field, 4);
}

// VirtualAlloc at the first free place 16 GB, 32 GB, ... above `from` (64-bit code only): out of
// a 32-bit displacement's reach from it, in ordinary address space with free memory on both sides.
void* AllocateAbove(const void* from, size_t size, DWORD type, DWORD protection) {
  const uint64_t base = Address(from) & ~uint64_t{0xFFFF};
  for (uint64_t step = 1; step <= 64; ++step)
    if (void* p = VirtualAlloc(reinterpret_cast<void*>(static_cast<uintptr_t>(base + (step << 34))), size, type, protection))
      return p;
  return nullptr;
}

// A few bytes of code more than 2 GB away from `from` that jump on to `to` (mov r11, imm64;
// jmp r11: an import thunk would be followed by the hook, which would then need no far jump).
// 64-bit code only; Get() is null when no such place could be had.
class TFarCode {
 public:
  TFarCode(const void* from, const void* to)
      : p_(static_cast<uint8_t*>(AllocateAbove(from, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
    if (!p_) return;
    const uint64_t destination = Address(to);
    p_[0] = 0x49;
    p_[1] = 0xBB;
    std::memcpy(p_ + 2, &destination, 8);
    p_[10] = 0x41;
    p_[11] = 0xFF;
    p_[12] = 0xE3;
    DWORD old;
    VirtualProtect(p_, 4096, PAGE_EXECUTE_READ, &old);
    FlushInstructionCache(GetCurrentProcess(), p_, 4096);
  }
  ~TFarCode() {
    if (p_) VirtualFree(p_, 0, MEM_RELEASE);
  }
  TFarCode(const TFarCode&) = delete;
  TFarCode& operator=(const TFarCode&) = delete;
  void* Get() const { return p_; }

 private:
  uint8_t* p_ = nullptr;
};

bool BeyondRel32(const void* from, const void* to) {
  const int64_t d = static_cast<int64_t>(Address(to)) - static_cast<int64_t>(Address(from));
  return d > 0x80000000ll || d < -0x80000000ll;
}

// The code this build runs, and the jumps its trampolines append (back into the procedure, and the
// way out of a short branch).
constexpr TCodeMode NativeMode = sizeof(void*) == 8 ? TCodeMode::Code64 : TCodeMode::Code32;
constexpr size_t Jump = sizeof(void*) == 8 ? 14 : 5;

template <class F>
void* Code(F* f) {
  return reinterpret_cast<void*>(f);
}

class Hooks : public ::testing::Test {
 protected:
  void SetUp() override { FHookInit(); }
  void TearDown() override { FHookDone(); }
};

// ---------------------------------------------------------------------------------------------
// Procedure hooks
// ---------------------------------------------------------------------------------------------

TFastFunction gOriginal[7];
int gReplacementCalls[7];

template <int I>
int ECX_ARG Replacement(int x) {
  ++gReplacementCalls[I];
  return gOriginal[I](x);
}

struct TProcedureCase {
  const char* Name;
  TFastFunction Target;
  TFastFunction Replace;
  std::vector<uint8_t> Head;  // the layout the case is about
  size_t Moved;               // N
  size_t TrampolineSize;
  int (*Expected)(int);
  // The replacement lies beyond a 32-bit displacement's reach from the procedure (64-bit code):
  // the entry jump then leads to a relay, an absolute jump on to it.
  bool Far = false;
};

const TProcedureCase ProcedureCases[] = {
    // test ecx,ecx; jz (leaves the copy); mov eax,ecx: N + jump back + the jz's way out.
    {"short jz out", ShortJumpTarget, Replacement<0>, {0x85, 0xC9, 0x74}, 6, 6 + 2 * Jump,
     [](int x) { return x == 0 ? -1 : x + 100; }},
    // jmp +0 (inside the copy); lea eax,[ecx+7]: no way out needed.
    {"short jmp inside", InnerJumpTarget, Replacement<1>, {0xEB, 0x00, 0x8D, 0x41, 0x07}, 5, 5 + Jump,
     [](int x) { return x + 7; }},
    {"call rel32 first", CallFirstTarget, Replacement<2>, {0xE8}, 5, 5 + Jump, [](int x) { return 2 * x + 1; }},
    {"jz rel32", NearJumpTarget, Replacement<3>, {0x85, 0xC9, 0x0F, 0x84}, 8, 8 + Jump,
     [](int x) { return x == 0 ? -2 : 3 * x; }},
#ifdef _WIN64
    // imul eax,[rip+value],3: the moved operand must still read the value.
    {"rip-relative operand", RipRelativeTarget, Replacement<4>, {0x6B, 0x05}, 7, 7 + Jump,
     [](int x) { return 3 * RipValue + x; }},
    // The trampoline must lie where both the operand and the relay's entry jump reach.
    {"rip-relative operand, replacement beyond 2 GB", RipRelativeTarget, Replacement<5>, {0x6B, 0x05}, 7, 7 + Jump,
     [](int x) { return 3 * RipValue + x; }, true},
    // The relay comes behind the jz's way out.
    {"short jz out, replacement beyond 2 GB", ShortJumpTarget, Replacement<6>, {0x85, 0xC9, 0x74}, 6, 6 + 2 * Jump,
     [](int x) { return x == 0 ? -1 : x + 100; }, true},
#endif
};

TEST_F(Hooks, ProcedureRunsReplacementAndOriginalThroughTrampoline) {
  for (size_t i = 0; i < std::size(ProcedureCases); ++i) {
    const TProcedureCase& c = ProcedureCases[i];
    SCOPED_TRACE(c.Name);
    void* target = Code(c.Target);
    ASSERT_EQ(Bytes(target, c.Head.size()), c.Head) << "the assembler chose another layout";
    const std::vector<uint8_t> before = Bytes(target, 16);
    const DWORD protection = Protection(target);
    void* replacement = Code(c.Replace);
    std::unique_ptr<TFarCode> farCode;
    if (c.Far) {
      farCode = std::make_unique<TFarCode>(target, replacement);
      ASSERT_NE(farCode->Get(), nullptr) << "no memory beyond 2 GB";
      ASSERT_TRUE(BeyondRel32(target, farCode->Get()));
      replacement = farCode->Get();
    }

    void* trampoline = HookProcedure(target, replacement, c.Name);
    ASSERT_NE(trampoline, nullptr);
    gOriginal[i] = reinterpret_cast<TFastFunction>(trampoline);
    const TProcedureHookInfo info = FindProcedureHook(target);
    EXPECT_EQ(info.Trampoline, trampoline);
    EXPECT_EQ(info.SavedCount, c.Moved);
    EXPECT_EQ(info.TrampolineSize, c.TrampolineSize);
    EXPECT_EQ(static_cast<const uint8_t*>(target)[0], 0xE9);
    const void* entry = JumpDestination(target);
    EXPECT_EQ(c.Far ? AbsoluteJumpDestination(entry) : entry, replacement);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(target) + 5, 11), std::vector<uint8_t>(before.begin() + 5, before.end()))
        << "only the jump may be written";
    EXPECT_EQ(Protection(target), protection);

    // Both branch directions, through the hooked entry (replacement, then trampoline) and
    // through the trampoline alone.
    for (int x : {0, 5, -3}) {
      const int calls = gReplacementCalls[i];
      EXPECT_EQ(c.Target(x), c.Expected(x)) << x;
      EXPECT_EQ(gReplacementCalls[i], calls + 1);
      EXPECT_EQ(gOriginal[i](x), c.Expected(x)) << x;
      EXPECT_EQ(gReplacementCalls[i], calls + 1);
    }

    EXPECT_EQ(HookProcedure(target, replacement, c.Name), trampoline) << "hooked twice";
    EXPECT_TRUE(UnhookProcedure(target));
    EXPECT_EQ(Bytes(target, 16), before);
    EXPECT_EQ(c.Target(5), c.Expected(5));
    EXPECT_FALSE(UnhookProcedure(target));
  }
}

TEST_F(Hooks, ImportThunkHooksTheProcedureBehindIt) {
  const std::vector<uint8_t> thunkBytes = Bytes(Code(Thunk), 6);
  ASSERT_EQ(thunkBytes[0], 0xFF);
  ASSERT_EQ(thunkBytes[1], 0x25);
  EXPECT_EQ(ResolveThunk(Code(Thunk)), Code(BehindThunk));
  // The linker's own thunk of an imported procedure leads where the import entry does.
  ASSERT_EQ(Bytes(Code(GetTickCountThunk), 2), (std::vector<uint8_t>{0xFF, 0x25}));
  EXPECT_EQ(ResolveThunk(Code(GetTickCountThunk)), ImpGetTickCount);

  // Both the target and the replacement are given as thunks.
  void* trampoline = HookProcedure(Code(Thunk), Code(ReplacementThunk), "thunk");
  gBehindThunkOriginal = reinterpret_cast<int (*)()>(trampoline);
  EXPECT_EQ(FindProcedureHook(Code(BehindThunk)).Trampoline, trampoline);
  EXPECT_EQ(Bytes(Code(Thunk), 6), thunkBytes) << "the thunk itself stays as it is";
  EXPECT_EQ(JumpDestination(Code(BehindThunk)), Code(ThunkReplacement));
  EXPECT_EQ(Thunk(), 107);
  EXPECT_EQ(BehindThunk(), 107);

  EXPECT_EQ(HookProcedure(Code(BehindThunk), Code(ThunkReplacement), "direct"), trampoline);
  EXPECT_EQ(HookProcedure(Code(Thunk), Code(ThunkReplacement), "thunk again"), trampoline);
  EXPECT_TRUE(UnhookProcedure(Code(Thunk)));
  EXPECT_EQ(BehindThunk(), 7);
}

// ---------------------------------------------------------------------------------------------
// Refused procedure hooks
// ---------------------------------------------------------------------------------------------

TEST_F(Hooks, AbsentProcedureRaisesProcNull) {
  for (void* target : {static_cast<void*>(nullptr), Code(NullThunk)}) {
    try {
      HookProcedure(target, Code(Replacement<0>), "Null");
      ADD_FAILURE() << "hooked " << target;
    } catch (const EProcNull& e) {
      EXPECT_STREQ(e.what(), "Cannot hook a null procedure (\"Null\").");
    }
  }
}

// Two pages of our own: code is placed so that it starts, or runs, where the case needs it. With
// `reserved`, the address space of that many bytes behind them is taken too, so that nothing else
// can be put there, while below them lies free memory as usual (64-bit code only).
class TPages {
 public:
  explicit TPages(size_t reserved = 0) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    page_ = si.dwPageSize;
    base_ = static_cast<uint8_t*>(reserved ? AllocateAbove(GetModuleHandleA(nullptr), 2 * page_ + reserved, MEM_RESERVE, PAGE_NOACCESS)
                                           : VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(base_, 2 * page_, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    std::memset(base_, 0xC3, 2 * page_);
  }
  ~TPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  uint8_t* Base() const { return base_; }
  uint8_t* Second() const { return base_ + page_; }
  size_t Page() const { return page_; }
  void Protect(uint8_t* page, DWORD protection) const {
    DWORD old;
    ASSERT_TRUE(VirtualProtect(page, page_, protection, &old));
  }

 private:
  size_t page_;
  uint8_t* base_;
};

TEST_F(Hooks, UnmovableOrUnreadableCodeIsRefusedAndUntouched) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Code;
    bool AtEndOfFirstPage;   // the code runs into the second page
    bool NoAccess;           // the page holding the code's end is PAGE_NOACCESS
    int UndecodableAt;       // offset the decoder must refuse, or -1
    size_t Reserved = 0;     // address space taken behind the pages (TPages)
  };
  const TCase cases[] = {
      {"no access", {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xC3}, false, true, -1},
      {"mov eax,imm32 cut by an unreadable page", {0xB8, 0x01, 0x00}, true, true, -1},
      {"undefined 0F 04 first", {0x0F, 0x04, 0x90, 0x90, 0x90, 0xC3}, false, false, 0},
      {"undefined D6 inside the first 5 bytes", {0x90, 0x90, 0xD6, 0x90, 0x90, 0xC3}, false, false, 2},
#ifdef _WIN64
      // mov eax,[rip+0x7FFFFFFF]; add eax,ecx; ret: the operand reaches only from the 4 GB above
      // the procedure, and every place there is taken, for the trampoline of the 5-byte entry
      // jump as for that of the absolute one.
      {"rip-relative operand out of reach of every free place", {0x8B, 0x05, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0xC8, 0xC3},
       false, false, -1,
       size_t{1} << 32},
#endif
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPages pages(c.Reserved);
    uint8_t* code = c.AtEndOfFirstPage ? pages.Second() - c.Code.size() : pages.Base();
    std::memcpy(code, c.Code.data(), c.Code.size());
    if (c.UndecodableAt >= 0) {
      ASSERT_FALSE(DecodeInstruction(code + c.UndecodableAt, 16, NativeMode).Decodable);
    }
    const std::vector<uint8_t> before = Bytes(pages.Base(), 2 * pages.Page());
    uint8_t* closedPage = c.AtEndOfFirstPage ? pages.Second() : pages.Base();
    if (c.NoAccess) pages.Protect(closedPage, PAGE_NOACCESS);
    const DWORD protection = Protection(closedPage);

    try {
      HookProcedure(code, Code(Replacement<0>), "Bad");
      ADD_FAILURE() << "hooked";
    } catch (const EHookingError& e) {
      EXPECT_STREQ(e.what(), "Cannot hook the procedure \"Bad\".");
    }
    EXPECT_EQ(FindProcedureHook(code).Target, nullptr);
    EXPECT_EQ(Protection(closedPage), protection);
    if (c.NoAccess) pages.Protect(closedPage, PAGE_EXECUTE_READWRITE);
    EXPECT_EQ(Bytes(pages.Base(), 2 * pages.Page()), before);
  }
}

TEST(HooksLifecycle, NothingIsHookedOutsideInitAndDone) {
  const std::vector<uint8_t> before = Bytes(Code(ShortJumpTarget), 8);
  EXPECT_THROW(HookProcedure(Code(ShortJumpTarget), Code(Replacement<0>), "early"), EHookingError);
  EXPECT_EQ(Bytes(Code(ShortJumpTarget), 8), before);
  EXPECT_EQ(HookedMethodsList(), nullptr);
  void* slot[1] = {Code(BehindThunk)};
  EXPECT_EQ(HookVirtualMethod(slot, 0, Code(ThunkReplacement)), nullptr);
  EXPECT_EQ(slot[0], Code(BehindThunk));
  EXPECT_FALSE(UnhookVirtualMethod(slot, 0));
}

// ---------------------------------------------------------------------------------------------
// Virtual methods: the thread class's Execute
// ---------------------------------------------------------------------------------------------

class TProbeThread : public TThread {
 public:
  TProbeThread() : TThread(true) {}
  void Execute() override { ++executed; }
  int executed = 0;
};

void* gExecuteOriginal = nullptr;
int gExecuteReplacementCalls = 0;
TThread* gExecuteSelf = nullptr;

// Member functions take `this` in ecx on this target; so does the replacement.
void ECX_THIS ExecuteReplacement(TThread* self) {
  ++gExecuteReplacementCalls;
  gExecuteSelf = self;
  reinterpret_cast<void(ECX_THIS *)(TThread*)>(gExecuteOriginal)(self);
}
void ECX_THIS OtherExecuteReplacement(TThread*) {}

void** VtableOf(TThread* t) { return *reinterpret_cast<void***>(t); }
// Read as memory: the compiler knows the table as a constant and would otherwise fold the read.
void* SlotOf(void** vtable, int slot) { return const_cast<void* volatile*>(vtable)[slot]; }

// The slot of Execute: from the member pointer (the C++ ABI keeps the slot's offset there), checked
// against TThread's own table, where Execute is the one pure virtual method.
int ExecuteSlot() { return VirtualSlotIndex(&TProbeThread::Execute); }

TEST(ThreadVtable, ExecuteSlotIsThePureVirtualOfTThread) {
  const int slot = ExecuteSlot();
  ASSERT_GE(slot, 0);
  const void* const* table = TThreadVtable + 2;  // offset to top, type_info, then the slots
  EXPECT_EQ(table[slot], Code(CxaPureVirtual));
  EXPECT_EQ(VirtualSlotIndex(&TThread::RequestStop), -1) << "not virtual";
}

TEST_F(Hooks, VirtualMethodHookRunsOnTheRealThread) {
  auto* thread = new TProbeThread;
  void** vtable = VtableOf(thread);
  const int slot = ExecuteSlot();
  void* const saved = SlotOf(vtable, slot);
  const DWORD protection = Protection(vtable + slot);

  gExecuteOriginal = HookVirtualMethod(vtable, slot, Code(ExecuteReplacement));
  EXPECT_EQ(gExecuteOriginal, saved);
  EXPECT_EQ(SlotOf(vtable, slot), Code(ExecuteReplacement));
  EXPECT_EQ(Protection(vtable + slot), protection);
  EXPECT_EQ(HookVirtualMethod(vtable, slot, Code(ExecuteReplacement)), saved) << "re-hook gives the first original";
  EXPECT_EQ(HookedMethodsList()->Records().size(), 1u);

  gExecuteReplacementCalls = 0;
  thread->Start();
  thread->WaitFor();
  EXPECT_EQ(gExecuteReplacementCalls, 1);
  EXPECT_EQ(gExecuteSelf, thread);
  EXPECT_EQ(thread->executed, 1) << "the original ran through the returned pointer";
  EXPECT_FALSE(thread->FatalException());
  delete thread;

  EXPECT_TRUE(UnhookVirtualMethod(vtable, slot));
  EXPECT_EQ(SlotOf(vtable, slot), saved);
  EXPECT_FALSE(UnhookVirtualMethod(vtable, slot));
}

// ---------------------------------------------------------------------------------------------
// Import address table
// ---------------------------------------------------------------------------------------------

int gTickCalls = 0;
DWORD WINAPI TickReplacement() {
  ++gTickCalls;
  return 0x5EED;
}

// A call the compiler makes through the import table entry (call [__imp__GetTickCount@0]).
__attribute__((noinline)) DWORD TickThroughImportTable() { return GetTickCount(); }

std::string OwnModuleName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(p.find_last_of('\\') + 1);
}

void* KernelProc(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name));
}

TEST_F(Hooks, ImportHookReplacesOwnImportTableEntry) {
  void* const real = KernelProc("GetTickCount");
  ASSERT_EQ(ImpGetTickCount, real);
  const std::vector<std::string> modules = {"", OwnModuleName(), "not_loaded_here.dll", ""};

  void* original = nullptr;
  EXPECT_TRUE(HookImport(modules, "KERNEL32.DLL", false, &original, Code(TickReplacement), "GetTickCount"));
  EXPECT_EQ(original, real);
  EXPECT_EQ(ImpGetTickCount, Code(TickReplacement));
  gTickCalls = 0;
  EXPECT_EQ(TickThroughImportTable(), 0x5EEDu);
  EXPECT_EQ(gTickCalls, 1);
  const std::vector<TImportHookInfo> records = ImportHooks();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Module, GetModuleHandleA(nullptr));
  EXPECT_EQ(records[0].Original, real);
  EXPECT_EQ(records[0].Replacement, Code(TickReplacement));
}

TEST_F(Hooks, MissingImportIsAnErrorUnlessOptional) {
  // Beep is in kernel32 but this program never imports it.
  const std::vector<std::string> modules = {OwnModuleName()};
  void* original = nullptr;
  try {
    HookImport(modules, "kernel32.dll", false, &original, Code(TickReplacement), "Beep");
    ADD_FAILURE() << "hooked";
  } catch (const EHookingError& e) {
    EXPECT_STREQ(e.what(), "Cannot hook the procedure \"Beep.kernel32.dll\".");
  }
  EXPECT_EQ(original, KernelProc("Beep")) << "stored even when the hook fails";
  EXPECT_FALSE(HookImport(modules, "kernel32.dll", true, &original, Code(TickReplacement), "Beep"));
  EXPECT_FALSE(HookImport(modules, "not_loaded_here.dll", true, &original, Code(TickReplacement), "X"));
  EXPECT_EQ(original, nullptr);
  EXPECT_TRUE(ImportHooks().empty());
}

// ---------------------------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------------------------

TEST(HooksShutdown, RestoresEveryByteSlotAndEntry) {
  auto* thread = new TProbeThread;
  void** vtable = VtableOf(thread);
  const int slot = ExecuteSlot();
  const void* const savedSlot = SlotOf(vtable, slot);
  void* const savedEntry = ImpGetTickCount;
  std::vector<void*> targets;
  for (const TProcedureCase& c : ProcedureCases) targets.push_back(Code(c.Target));
  targets.push_back(Code(BehindThunk));
  std::vector<std::vector<uint8_t>> savedCode;
  for (void* t : targets) savedCode.push_back(Bytes(t, 16));

  FHookInit();
  for (size_t i = 0; i < std::size(ProcedureCases); ++i)
    gOriginal[i] = reinterpret_cast<TFastFunction>(
        HookProcedure(targets[i], Code(ProcedureCases[i].Replace), ProcedureCases[i].Name));
  gBehindThunkOriginal = reinterpret_cast<int (*)()>(HookProcedure(Code(Thunk), Code(ThunkReplacement), "thunk"));
  // Two hooks over one slot: undoing them in the wrong order would leave the first replacement.
  gExecuteOriginal = HookVirtualMethod(vtable, slot, Code(ExecuteReplacement));
  EXPECT_EQ(HookVirtualMethod(vtable, slot, Code(OtherExecuteReplacement)), Code(ExecuteReplacement));
  void* original = nullptr;
  ASSERT_TRUE(HookImport({OwnModuleName()}, "kernel32.dll", false, &original, Code(TickReplacement), "GetTickCount"));
  ASSERT_EQ(ImpGetTickCount, Code(TickReplacement));
  FHookDone();

  for (size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(Bytes(targets[i], 16), savedCode[i]) << i;
  EXPECT_EQ(SlotOf(vtable, slot), savedSlot);
  EXPECT_EQ(ImpGetTickCount, savedEntry);
  gTickCalls = 0;
  TickThroughImportTable();
  EXPECT_EQ(gTickCalls, 0);
  EXPECT_EQ(ShortJumpTarget(0), -1);
  EXPECT_EQ(HookedMethodsList(), nullptr);
  delete thread;
  FHookDone();  // a second shutdown finds nothing to do
}

// ---------------------------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------------------------

TEST(HookMemory, ReadabilityFollowsPageProtection) {
  TPages pages;
  const size_t page = pages.Page();
  pages.Protect(pages.Second(), PAGE_NOACCESS);
  EXPECT_FALSE(IsReadable(nullptr, 1));
  EXPECT_FALSE(IsReadable(pages.Base(), 0));
  EXPECT_TRUE(IsReadable(pages.Base(), page));
  EXPECT_FALSE(IsReadable(pages.Base(), page + 1));
  EXPECT_FALSE(IsReadable(pages.Second(), 1));
  EXPECT_EQ(ReadableLength(pages.Second() - 3, 100), 3u);
  pages.Protect(pages.Second(), PAGE_READWRITE | PAGE_GUARD);
  EXPECT_FALSE(IsReadable(pages.Second(), 1));
  EXPECT_EQ(Protection(pages.Second()), static_cast<DWORD>(PAGE_READWRITE | PAGE_GUARD)) << "the guard stays";
  pages.Protect(pages.Second(), PAGE_EXECUTE_READ);
  EXPECT_TRUE(IsReadable(pages.Base(), 2 * page));

  // A thunk leads where its pointer points; one whose pointer cannot be read is no thunk.
  uint8_t* thunk = pages.Base();
  auto** pointer = reinterpret_cast<void**>(pages.Second());
  pages.Protect(pages.Second(), PAGE_READWRITE);
  *pointer = pages.Base() + 64;
  WriteThunk(thunk, pointer);
  EXPECT_EQ(ResolveThunk(thunk), pages.Base() + 64);
  pages.Protect(pages.Second(), PAGE_NOACCESS);
  EXPECT_EQ(ResolveThunk(thunk), thunk);
}

TEST(HookMemory, WriteAcrossPagesKeepsEachPageProtection) {
  TPages pages;
  pages.Protect(pages.Base(), PAGE_READONLY);
  pages.Protect(pages.Second(), PAGE_EXECUTE_READ);
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(WriteMemory(pages.Second() - 4, bytes, sizeof bytes));
  EXPECT_EQ(Bytes(pages.Second() - 4, 8), Bytes(bytes, 8));
  EXPECT_EQ(Protection(pages.Base()), static_cast<DWORD>(PAGE_READONLY));
  EXPECT_EQ(Protection(pages.Second()), static_cast<DWORD>(PAGE_EXECUTE_READ));

  ASSERT_TRUE(WriteJump(pages.Base(), pages.Second() + 16));
  EXPECT_EQ(pages.Base()[0], 0xE9);
  EXPECT_EQ(JumpDestination(pages.Base()), pages.Second() + 16);

  if constexpr (NativeMode == TCodeMode::Code64) {
    // Beyond a 32-bit displacement's reach a jump is refused, and nothing is written.
    TFarCode farCode(pages.Base(), pages.Base());
    ASSERT_NE(farCode.Get(), nullptr);
    const std::vector<uint8_t> before = Bytes(pages.Base(), 8);
    EXPECT_FALSE(WriteJump(pages.Base(), farCode.Get()));
    EXPECT_EQ(Bytes(pages.Base(), 8), before);
  }
}

}  // namespace
