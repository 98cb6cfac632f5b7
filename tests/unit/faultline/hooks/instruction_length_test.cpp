// The instruction-length decoder on hand-picked encodings: each table entry is exactly one
// instruction, so its length is its byte count. Every entry was checked against objdump, except the
// 14-prefix NOP: objdump gives up after 13 prefixes, the processor only limits the length to 15. The
// entries cover the forms where a length decoder typically goes wrong: prefixes that change operand
// or address size, SIB with base 5, 16-bit addressing, the group-3 TEST immediate, far pointers,
// ENTER, the three-byte maps, multi-byte NOPs. Every truncation of every entry is decoded from a
// heap buffer of exactly that size, so under AddressSanitizer any read past the end fails. A second
// table does the same for 64-bit code, where it also says where an operand relative to the next
// instruction keeps its displacement.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faultline/hooks/instruction_length.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// A heap copy of exactly the given bytes: nothing readable lies behind it.
class TExactBuffer {
 public:
  explicit TExactBuffer(const std::vector<uint8_t>& bytes, size_t size)
      : data_(new uint8_t[size]), size_(size) {
    if (size) std::memcpy(data_.get(), bytes.data(), size);
  }
  const uint8_t* Data() const { return data_.get(); }
  size_t Size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_;
};

struct TEncoding {
  const char* Hex;
  const char* Text;
};

const TEncoding Encodings[] = {
    // One-byte opcodes, ModR/M, SIB and displacements.
    {"55", "push ebp"},
    {"8B EC", "mov ebp,esp"},
    {"83 EC 10", "sub esp,0x10"},
    {"81 EC 00 01 00 00", "sub esp,0x100"},
    {"8B 05 78 56 34 12", "mov eax,ds:0x12345678 (mod 0, r/m 5: disp32)"},
    {"8B 44 24 08", "mov eax,[esp+8]"},
    {"8B 04 25 78 56 34 12", "mov eax,[0x12345678] (SIB base 5, mod 0: disp32, no base)"},
    {"8B 04 AD 78 56 34 12", "mov eax,[ebp*4+0x12345678] (SIB base 5, mod 0)"},
    {"8B 44 25 08", "mov eax,[ebp+eiz+8] (SIB base 5, mod 1: disp8)"},
    {"8B 84 25 00 01 00 00", "mov eax,[ebp+eiz+0x100] (SIB base 5, mod 2: disp32)"},
    {"8B 84 24 00 01 00 00", "mov eax,[esp+0x100]"},
    {"C7 45 FC 00 00 00 00", "mov DWORD PTR [ebp-4],0"},
    {"C7 84 24 00 01 00 00 01 00 00 00", "mov DWORD PTR [esp+0x100],1 (ModR/M, SIB, disp32, imm32)"},
    {"C6 45 FF C3", "mov BYTE PTR [ebp-1],0xc3"},
    {"69 C0 10 27 00 00", "imul eax,eax,10000"},
    {"6B C0 03", "imul eax,eax,3"},
    {"68 78 56 34 12", "push 0x12345678"},
    {"6A 01", "push 1"},
    {"B8 01 00 00 00", "mov eax,1"},
    {"05 78 56 34 12", "add eax,0x12345678"},
    {"A9 00 00 00 80", "test eax,0x80000000"},
    {"A1 78 56 34 12", "mov eax,ds:0x12345678"},
    {"A2 78 56 34 12", "mov ds:0x12345678,al"},
    {"C0 E0 04", "shl al,4"},
    {"D4 0A", "aam"},
    {"CD 2E", "int 0x2e"},
    {"E4 60", "in al,0x60"},
    {"C2 08 00", "ret 8"},
    {"CA 04 00", "retf 4"},
    {"C8 10 00 01", "enter 0x10,1 (imm16 + imm8)"},
    {"9A 78 56 34 12 08 00", "call 0x8:0x12345678 (far pointer 16:32)"},
    {"EA 78 56 34 12 08 00", "jmp 0x8:0x12345678"},
    {"C4 06", "les eax,[esi] (not VEX: mod != 11)"},
    {"C5 45 08", "lds eax,[ebp+8]"},
    {"62 45 08", "bound eax,[ebp+8] (not EVEX: mod != 11)"},
    {"8F 45 08", "pop DWORD PTR [ebp+8] (not XOP: reg 0)"},
    {"F1", "int1"},
    {"82 C0 01", "add al,1 (0x82 alias of 0x80)"},
    // Group 3: only TEST (reg 0, and reg 1 which processors also run as TEST) has an immediate.
    {"F6 C0 01", "test al,1"},
    {"F6 C8 01", "test al,1 (reg 1)"},
    {"F6 D0", "not al"},
    {"F6 30", "div BYTE PTR [eax]"},
    {"F7 C0 01 00 00 00", "test eax,1"},
    {"F7 C8 01 00 00 00", "test eax,1 (reg 1)"},
    {"F7 05 78 56 34 12 01 00 00 00", "test DWORD PTR ds:0x12345678,1"},
    {"F7 D8", "neg eax"},
    {"F7 7C 24 04", "idiv DWORD PTR [esp+4]"},
    // Operand size: imm16 instead of imm32, ptr16:16, rel16.
    {"66 81 EC 00 01", "sub sp,0x100"},
    {"66 05 34 12", "add ax,0x1234"},
    {"66 68 34 12", "pushw 0x1234"},
    {"66 69 C0 34 12", "imul ax,ax,0x1234"},
    {"66 B8 34 12", "mov ax,0x1234"},
    {"66 C7 45 FC 34 12", "mov WORD PTR [ebp-4],0x1234"},
    {"66 A9 34 12", "test ax,0x1234"},
    {"66 F7 C0 34 12", "test ax,0x1234"},
    {"66 9A 34 12 08 00", "call 0x8:0x1234 (far pointer 16:16)"},
    {"66 C2 08 00", "retw 8 (the count stays imm16)"},
    {"66 C8 10 00 01", "enterw 0x10,1"},
    {"66 6A 01", "pushw 1 (imm8 stays)"},
    // Address size: 16-bit ModR/M (no SIB; mod 0 r/m 6 is disp16) and 16-bit moffs.
    {"67 8B 06 34 12", "mov eax,[0x1234] (mod 0, r/m 6: disp16)"},
    {"67 8B 04", "mov eax,[si] (r/m 4 is not a SIB here)"},
    {"67 8B 44 08", "mov eax,[si+8]"},
    {"67 8B 84 34 12", "mov eax,[si+0x1234]"},
    {"67 8B 85 34 12", "mov eax,[di+0x1234] (mod 2, r/m 5: disp16)"},
    {"67 C7 06 34 12 78 56 34 12", "mov DWORD PTR [0x1234],0x12345678"},
    {"67 A1 34 12", "mov eax,ds:0x1234"},
    {"66 67 A1 34 12", "mov ax,ds:0x1234"},
    {"66 67 C7 47 02 34 12", "mov WORD PTR [bx+2],0x1234"},
    // Segment, lock and repeat prefixes.
    {"64 A1 18 00 00 00", "mov eax,fs:0x18"},
    {"64 8B 0D 00 00 00 00", "mov ecx,fs:0x0"},
    {"F3 A5", "rep movsd"},
    {"F3 C3", "repz ret"},
    {"F0 0F B1 0A", "lock cmpxchg [edx],ecx"},
    {"F0 0F C7 0E", "lock cmpxchg8b [esi]"},
    {"2E 3E 26 36 64 65 F0 F3 F2 66 67 0F C7 0F", "eleven prefixes: lock cmpxchg8b [bx]"},
    {"2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 90", "14 prefixes and NOP: 15 bytes"},
    {"2E 3E 64 F0 81 84 24 78 56 34 12 01 00 00 00", "lock add: 15 bytes with 4 prefixes"},
    // Two-byte map.
    {"0F 0B", "ud2"},
    {"0F A2", "cpuid"},
    {"0F 31", "rdtsc"},
    {"0F C8", "bswap eax"},
    {"0F 05", "syscall"},
    {"0F B6 45 08", "movzx eax,BYTE PTR [ebp+8]"},
    {"0F BF C0", "movsx eax,ax"},
    {"0F 44 C1", "cmove eax,ecx"},
    {"0F 94 C0", "sete al"},
    {"0F A4 C2 04", "shld edx,eax,4"},
    {"0F AC C2 04", "shrd edx,eax,4"},
    {"0F BA E0 03", "bt eax,3"},
    {"0F 20 C0", "mov eax,cr0"},
    {"0F 22 45", "mov cr0,ebp (mod 01 ignored: no displacement)"},
    {"0F 23 84", "mov dr0,esp (mod 10 ignored, r/m 4 is no SIB)"},
    {"0F 01 D0", "xgetbv"},
    {"0F 01 15 78 56 34 12", "lgdt [0x12345678]"},
    {"0F AE F0", "mfence"},
    {"0F AE 5D FC", "stmxcsr [ebp-4]"},
    {"0F 18 00", "prefetchnta [eax]"},
    {"0F 0D 08", "prefetchw [eax]"},
    {"F3 0F 1E FB", "endbr32"},
    {"0F 84 78 56 34 12", "je rel32"},
    {"66 0F 84 34 12", "je rel16"},
    {"0F FF 00", "ud0 eax,[eax]"},
    {"0F 0F C1 B4", "pfmul mm0,mm1 (3DNow!: opcode after the operands)"},
    {"0F 0F 44 24 08 9E", "pfadd mm0,[esp+8]"},
    // Multi-byte NOPs as compilers pad with them.
    {"66 90", "xchg ax,ax"},
    {"0F 1F 00", "nop DWORD PTR [eax]"},
    {"0F 1F 40 00", "nop DWORD PTR [eax+0]"},
    {"0F 1F 44 00 00", "nop DWORD PTR [eax+eax+0]"},
    {"66 0F 1F 44 00 00", "nop WORD PTR [eax+eax+0]"},
    {"0F 1F 80 00 00 00 00", "nop DWORD PTR [eax+0]"},
    {"0F 1F 84 00 00 00 00 00", "nop DWORD PTR [eax+eax+0]"},
    {"66 0F 1F 84 00 00 00 00 00", "nop WORD PTR [eax+eax+0]"},
    {"66 2E 0F 1F 84 00 00 00 00 00", "cs nop WORD PTR [eax+eax+0]"},
    {"66 66 2E 0F 1F 84 00 00 00 00 00", "data16 cs nop WORD PTR [eax+eax+0]"},
    // SSE forms: mandatory prefixes do not change immediate sizes.
    {"0F 28 C1", "movaps xmm0,xmm1"},
    {"F2 0F 10 44 24 08", "movsd xmm0,QWORD PTR [esp+8]"},
    {"F3 0F 2A C0", "cvtsi2ss xmm0,eax"},
    {"66 0F 6F 05 78 56 34 12", "movdqa xmm0,[0x12345678]"},
    {"66 0F D6 45 F8", "movq QWORD PTR [ebp-8],xmm0"},
    {"0F 70 C1 1B", "pshufw mm0,mm1,0x1b"},
    {"66 0F 70 C1 1B", "pshufd xmm0,xmm1,0x1b"},
    {"66 0F 73 D8 04", "psrldq xmm0,4"},
    {"0F C2 C1 01", "cmpltps xmm0,xmm1"},
    {"66 0F C4 C0 01", "pinsrw xmm0,eax,1"},
    {"66 0F C5 C0 01", "pextrw eax,xmm0,1"},
    {"0F C6 C1 44", "shufps xmm0,xmm1,0x44"},
    {"F3 0F B8 C1", "popcnt eax,ecx"},
    {"66 0F 78 C0 08 10", "extrq xmm0,8,16 (two immediates)"},
    // Three-byte maps: 0F 38 without, 0F 3A with an immediate.
    {"66 0F 38 00 C1", "pshufb xmm0,xmm1"},
    {"0F 38 00 C1", "pshufb mm0,mm1"},
    {"F2 0F 38 F1 C1", "crc32 eax,ecx"},
    {"0F 38 F0 06", "movbe eax,[esi]"},
    {"66 0F 38 17 04 24", "ptest xmm0,[esp]"},
    {"66 0F 3A 0F C1 08", "palignr xmm0,xmm1,8"},
    {"66 0F 3A 16 C0 01", "pextrd eax,xmm0,1"},
    {"66 0F 3A 63 04 24 00", "pcmpistri xmm0,[esp],0"},
    {"66 0F 3A 63 44 25 08 00", "pcmpistri xmm0,[ebp+eiz+8],0"},
    // x87.
    {"D9 45 08", "fld DWORD PTR [ebp+8]"},
    {"DD 1C 24", "fstp QWORD PTR [esp]"},
    {"DB 2D 78 56 34 12", "fld TBYTE PTR ds:0x12345678"},
    {"D9 E8", "fld1"},
    {"DF E0", "fnstsw ax"},
    {"DE C9", "fmulp st(1),st"},
    {"9B", "fwait (a separate instruction before fnstcw)"},
    // VEX, EVEX and XOP.
    {"C5 F8 77", "vzeroupper (no ModR/M)"},
    {"C5 FD 6F 04 24", "vmovdqa ymm0,[esp]"},
    {"C4 E3 7D 18 C1 01", "vinsertf128 ymm0,ymm0,xmm1,1"},
    {"C4 E2 79 18 05 78 56 34 12", "vbroadcastss xmm0,[0x12345678]"},
    {"C5 F9 C5 C0 01", "vpextrw eax,xmm0,1"},
    {"67 C5 F8 58 06 34 12", "vaddps xmm0,xmm0,[0x1234] (16-bit address)"},
    {"62 F1 7C 48 58 C1", "vaddps zmm0,zmm0,zmm1"},
    {"62 F1 7C 48 58 44 24 01", "vaddps zmm0,zmm0,[esp+0x40] (compressed disp8)"},
    {"62 F3 7D 48 1B C1 01", "vextractf32x8 ymm1,zmm0,1"},
    {"8F E8 78 A2 C0 00", "vpcmov xmm0,xmm0,xmm0,xmm0 (XOP map 8: imm8)"},
    {"8F EA 78 10 C0 78 56 34 12", "bextr eax,eax,0x12345678 (XOP map 10: imm32)"},
};

TEST(InstructionLength, DecodesEachEncodingToItsFullLength) {
  for (const TEncoding& e : Encodings) {
    std::vector<uint8_t> bytes = Bytes(e.Hex);
    TExactBuffer exact(bytes, bytes.size());
    TInstruction insn = DecodeInstruction(exact.Data(), exact.Size());
    EXPECT_TRUE(insn.Decodable) << e.Hex << "  " << e.Text;
    EXPECT_EQ(insn.Length, bytes.size()) << e.Hex << "  " << e.Text;
    // What follows never changes the length.
    std::vector<uint8_t> padded = bytes;
    padded.insert(padded.end(), 16, 0x04);
    insn = DecodeInstruction(padded.data(), padded.size());
    EXPECT_EQ(insn.Length, bytes.size()) << e.Hex << " followed by more code";
  }
}

TEST(InstructionLength, NeverReadsPastTheBuffer) {
  EXPECT_FALSE(DecodeInstruction(nullptr, 0).Decodable);
  EXPECT_EQ(ProcedureLength(nullptr, 0), 0u);
  for (const TEncoding& e : Encodings) {
    std::vector<uint8_t> bytes = Bytes(e.Hex);
    for (size_t n = 0; n < bytes.size(); ++n) {
      TExactBuffer cut(bytes, n);
      TInstruction insn = DecodeInstruction(cut.Data(), cut.Size());
      EXPECT_FALSE(insn.Decodable) << e.Hex << " cut to " << n << " bytes";
      EXPECT_EQ(insn.Length, 0) << e.Hex << " cut to " << n << " bytes";
      EXPECT_LE(ProcedureLength(cut.Data(), cut.Size()), n) << e.Hex << " cut to " << n << " bytes";
    }
  }
}

TEST(InstructionLength, CountsPrefixes) {
  struct TCase {
    const char* Hex;
    uint8_t Prefixes;
  } cases[] = {
      {"90", 0}, {"F3 C3", 1}, {"66 67 A1 34 12", 2}, {"66 2E 0F 1F 84 00 00 00 00 00", 2},
      {"2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 90", 14}, {"F2 0F 38 F1 C1", 1},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = Bytes(c.Hex);
    EXPECT_EQ(DecodeInstruction(bytes.data(), bytes.size()).PrefixCount, c.Prefixes) << c.Hex;
  }
}

// The displacement a relocated branch has to rebase: found at RelativeOffset, RelativeSize bytes,
// last in the instruction. Each case carries a recognisable displacement.
TEST(InstructionLength, LocatesRelativeDisplacements) {
  struct TCase {
    const char* Hex;
    TRelativeKind Kind;
    int32_t Displacement;
  } cases[] = {
      {"EB 85", TRelativeKind::Short8, -123},
      {"74 7B", TRelativeKind::Short8, 123},
      {"7F 85", TRelativeKind::Short8, -123},
      {"E0 85", TRelativeKind::Short8, -123},     // loopne
      {"E3 7B", TRelativeKind::Short8, 123},      // jecxz
      {"67 E3 7B", TRelativeKind::Short8, 123},   // jcxz: the prefix changes the counter, not the size
      {"2E 74 7B", TRelativeKind::Short8, 123},   // branch hint
      {"E8 78 56 34 12", TRelativeKind::Near32, 0x12345678},
      {"E9 88 A9 CB ED", TRelativeKind::Near32, -0x12345678},
      {"F2 E8 78 56 34 12", TRelativeKind::Near32, 0x12345678},  // bnd call
      {"0F 85 78 56 34 12", TRelativeKind::Near32, 0x12345678},
      {"0F 80 88 A9 CB ED", TRelativeKind::Near32, -0x12345678},
      {"3E 0F 8F 78 56 34 12", TRelativeKind::Near32, 0x12345678},
      {"66 E9 34 12", TRelativeKind::Near32, 0x1234},       // rel16 under the operand-size prefix
      {"66 0F 84 CC ED", TRelativeKind::Near32, -0x1234},
      {"FF 15 78 56 34 12", TRelativeKind::None, 0},        // call [abs]
      {"FF E0", TRelativeKind::None, 0},                    // jmp eax
      {"EA 78 56 34 12 08 00", TRelativeKind::None, 0},     // far jmp: absolute
      {"C2 08 00", TRelativeKind::None, 0},
      {"C7 F8 78 56 34 12", TRelativeKind::None, 0},        // xbegin: only branches are reported
      {"CD 03", TRelativeKind::None, 0},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = Bytes(c.Hex);
    TInstruction insn = DecodeInstruction(bytes.data(), bytes.size());
    ASSERT_TRUE(insn.Decodable) << c.Hex;
    EXPECT_EQ(insn.Relative, c.Kind) << c.Hex;
    if (c.Kind == TRelativeKind::None) {
      EXPECT_EQ(insn.RelativeSize, 0) << c.Hex;
      continue;
    }
    ASSERT_EQ(insn.RelativeOffset + insn.RelativeSize, insn.Length) << c.Hex;
    uint32_t raw = 0;
    for (int i = insn.RelativeSize - 1; i >= 0; --i) raw = (raw << 8) | bytes[insn.RelativeOffset + i];
    int shift = 32 - 8 * insn.RelativeSize;
    int32_t displacement = static_cast<int32_t>(raw << shift) >> shift;
    EXPECT_EQ(displacement, c.Displacement) << c.Hex;
  }
}

TEST(InstructionLength, OnlyC2C3CACBReturn) {
  for (int op = 0; op < 256; ++op) {
    uint8_t code[16] = {static_cast<uint8_t>(op), 0x45, 0x08, 0x01, 0x00, 0x00, 0x00};
    TInstruction insn = DecodeInstruction(code, sizeof code);
    bool isReturnOpcode = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB;
    EXPECT_EQ(insn.IsReturn, isReturnOpcode) << std::hex << op;
    if (isReturnOpcode) {
      EXPECT_EQ(insn.Length, op == 0xC2 || op == 0xCA ? 3 : 1) << std::hex << op;
    }
  }
  const uint8_t repRet[] = {0xF3, 0xC3};
  EXPECT_TRUE(DecodeInstruction(repRet, sizeof repRet).IsReturn);
}

// A procedure whose immediates and displacements contain return opcodes, and which uses C6/C7
// (mov r/m,imm), C9 (leave), C4/C5 (les/lds) and C8 (enter) before it returns.
const char* ProcedureHex =
    "C8 10 00 00 "            // enter 0x10,0
    "C6 45 FF C3 "            // mov BYTE PTR [ebp-1],0xc3
    "C7 45 F8 C3 C2 CA CB "   // mov DWORD PTR [ebp-8],0xcbcac2c3
    "8B 85 C3 00 00 00 "      // mov eax,[ebp+0xc3]
    "C4 45 C3 "               // les eax,[ebp-0x3d]
    "E8 C3 CB CA C2 "         // call rel32
    "C9 ";                    // leave

TEST(ProcedureLength, StopsAfterTheFirstReturnInstruction) {
  const std::vector<uint8_t> body = Bytes(ProcedureHex);
  for (const char* ret : {"C3", "C2 08 00", "CB", "CA 04 00", "F3 C3"}) {
    std::vector<uint8_t> code = body;
    std::vector<uint8_t> tail = Bytes(ret);
    code.insert(code.end(), tail.begin(), tail.end());
    size_t end = code.size();
    code.insert(code.end(), {0x55, 0x8B, 0xEC, 0xC3});  // the next procedure
    TExactBuffer exact(code, code.size());
    EXPECT_EQ(ProcedureLength(exact.Data(), exact.Size()), end) << ret;
    EXPECT_EQ(ProcedureLength(exact.Data(), end), end) << ret;
    EXPECT_EQ(ProcedureLength(exact.Data(), 10), 10u) << ret << ": no return within the limit";
  }
  const uint8_t onlyReturn[] = {0xC3, 0xCC, 0xCC};
  EXPECT_EQ(ProcedureLength(onlyReturn, sizeof onlyReturn), 1u);
}

TEST(ProcedureLength, StepsOverUndecodableBytes) {
  // D6 and 0F 04 are undefined: one byte each, then the walk resumes (0x04 is add al,imm8).
  std::vector<uint8_t> code = Bytes("D6 55 0F 04 C3 C3 90");
  TExactBuffer exact(code, code.size());
  EXPECT_EQ(ProcedureLength(exact.Data(), exact.Size()), 6u);
  // An instruction cut by the limit is undecodable there, so its bytes are walked one at a time.
  std::vector<uint8_t> cut = Bytes("B8 C3 00 00 00 C3");
  TExactBuffer three(cut, 3);
  EXPECT_EQ(ProcedureLength(three.Data(), three.Size()), 2u);
  EXPECT_EQ(ProcedureLength(cut.data(), cut.size()), 6u);
}

// 64-bit code. Every entry was checked against objdump ("-M intel64"), except those marked "REX
// ignored": objdump lists a REX that does not stand right before the opcode as an instruction of
// its own, the processor ignores it. RipOffset is where the disp32 of an operand relative to the
// next instruction starts (0: none); that displacement is always 0x12345678 here.
struct TEncoding64 {
  const char* Hex;
  const char* Text;
  uint8_t RipOffset;
};

const TEncoding64 Encodings64[] = {
    {"48 89 E5", "mov rbp,rsp", 0},
    {"48 83 EC 28", "sub rsp,0x28", 0},
    {"48 81 EC 00 01 00 00", "sub rsp,0x100 (REX.W: imm32)", 0},
    {"66 48 81 EC 00 01 00 00", "data16 sub rsp,0x100 (REX.W wins over 0x66: imm32)", 0},
    {"66 81 EC 00 01", "sub sp,0x100", 0},
    {"48 69 C0 10 27 00 00", "imul rax,rax,10000", 0},
    {"48 F7 C0 01 00 00 00", "test rax,1", 0},
    {"66 48 68 78 56 34 12", "data16 rex.W push 0x12345678", 0},
    {"48 63 C1", "movsxd rax,ecx (0x63 is no ARPL here)", 0},
    {"41 50", "push r8", 0},
    {"40 0F B6 C7", "movzx eax,dil", 0},
    {"48 0F C7 0E", "cmpxchg16b [rsi]", 0},
    {"F3 48 AB", "rep stosq", 0},
    {"48 CF", "iretq", 0},
    {"0F 05", "syscall", 0},
    {"48 B8 88 77 66 55 44 33 22 11", "movabs rax,imm64", 0},
    {"49 BB 88 77 66 55 44 33 22 11", "movabs r11,imm64", 0},
    {"B8 78 56 34 12", "mov eax,imm32 (no REX.W)", 0},
    {"48 A1 88 77 66 55 44 33 22 11", "movabs rax,[moffs64]", 0},
    {"A2 88 77 66 55 44 33 22 11", "movabs [moffs64],al", 0},
    {"67 A1 78 56 34 12", "addr32 mov eax,[moffs32]", 0},
    {"8B 04 25 78 56 34 12", "mov eax,[0x12345678] (SIB without base: absolute)", 0},
    {"41 8B 45 00", "mov eax,[r13+0] (mod 1: not relative)", 0},
    {"E8 78 56 34 12", "call rel32", 0},
    {"66 E8 78 56 34 12", "data16 call rel32 (Intel keeps rel32)", 0},
    {"66 0F 84 78 56 34 12", "data16 je rel32", 0},
    {"E3 7B", "jrcxz", 0},
    {"C5 F8 77", "vzeroupper", 0},
    {"C5 7A 10 06", "vmovss xmm8,[rsi] (VEX although mod != 11: no LDS here)", 0},
    {"62 71 7C 48 58 06", "vaddps zmm8,zmm0,[rsi] (EVEX although mod != 11)", 0},
    {"8F E8 78 A2 C0 00", "vpcmov (XOP)", 0},
    {"66 2E 0F 1F 84 00 00 00 00 00", "cs nop WORD PTR [rax+rax+0]", 0},
    {"48 66 B8 34 12", "mov ax,0x1234 (REX ignored: a prefix follows it)", 0},
    {"48 40 B8 78 56 34 12", "mov eax,imm32 (REX ignored: only the last REX counts)", 0},
    {"40 48 B8 88 77 66 55 44 33 22 11", "movabs rax,imm64 (REX ignored: the last one has W)", 0},
    // Relative to the next instruction: the displacement need not be last.
    {"8B 05 78 56 34 12", "mov eax,[rip+disp32]", 2},
    {"48 8B 05 78 56 34 12", "mov rax,[rip+disp32]", 3},
    {"4C 8D 0D 78 56 34 12", "lea r9,[rip+disp32]", 3},
    {"41 8B 05 78 56 34 12", "mov eax,[rip+disp32] (REX.B does not make it r13)", 3},
    {"67 8B 05 78 56 34 12", "mov eax,[eip+disp32] (also under 0x67)", 3},
    {"C7 05 78 56 34 12 01 00 00 00", "mov DWORD PTR [rip+disp32],1", 2},
    {"48 C7 05 78 56 34 12 01 00 00 00", "mov QWORD PTR [rip+disp32],1", 3},
    {"66 C7 05 78 56 34 12 34 12", "mov WORD PTR [rip+disp32],0x1234", 3},
    {"80 3D 78 56 34 12 00", "cmp BYTE PTR [rip+disp32],0", 2},
    {"66 0F 3A 0F 05 78 56 34 12 08", "palignr xmm0,[rip+disp32],8", 5},
    {"FF 15 78 56 34 12", "call [rip+disp32] (import call)", 2},
    {"FF 25 78 56 34 12", "jmp [rip+disp32] (import thunk)", 2},
    {"C4 E2 79 18 05 78 56 34 12", "vbroadcastss xmm0,[rip+disp32]", 5},
    {"C5 F8 10 0D 78 56 34 12", "vmovups xmm1,[rip+disp32]", 4},
    {"C4 E3 79 0F 05 78 56 34 12 08", "vpalignr xmm0,xmm0,[rip+disp32],8", 5},
    {"62 F1 7C 48 58 05 78 56 34 12", "vaddps zmm0,zmm0,[rip+disp32]", 6},
};

TEST(InstructionLength64, DecodesEachEncodingToItsFullLengthAndFindsRipRelativeOperands) {
  for (const TEncoding64& e : Encodings64) {
    SCOPED_TRACE(std::string(e.Hex) + "  " + e.Text);
    std::vector<uint8_t> bytes = Bytes(e.Hex);
    TExactBuffer exact(bytes, bytes.size());
    TInstruction insn = DecodeInstruction(exact.Data(), exact.Size(), TCodeMode::Code64);
    EXPECT_TRUE(insn.Decodable);
    EXPECT_EQ(insn.Length, bytes.size());
    EXPECT_EQ(insn.RipRelativeOffset, e.RipOffset);
    EXPECT_EQ(insn.RipRelativeSize, e.RipOffset ? 4 : 0);
    if (e.RipOffset) {
      ASSERT_LE(e.RipOffset + 4u, bytes.size());
      uint32_t disp;
      std::memcpy(&disp, &bytes[e.RipOffset], 4);
      EXPECT_EQ(disp, 0x12345678u);
    }
    std::vector<uint8_t> padded = bytes;
    padded.insert(padded.end(), 16, 0x04);
    EXPECT_EQ(DecodeInstruction(padded.data(), padded.size(), TCodeMode::Code64).Length, bytes.size());
    for (size_t n = 0; n < bytes.size(); ++n) {
      TExactBuffer cut(bytes, n);
      EXPECT_FALSE(DecodeInstruction(cut.Data(), cut.Size(), TCodeMode::Code64).Decodable) << "cut to " << n;
      EXPECT_LE(ProcedureLength(cut.Data(), cut.Size(), TCodeMode::Code64), n);
    }
  }
  // 32-bit code has no such operands: mod 0 r/m 5 is an absolute address there.
  const uint8_t absolute[] = {0x8B, 0x05, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(DecodeInstruction(absolute, sizeof absolute).RipRelativeSize, 0);
}

TEST(InstructionLength64, NearBranchesAreRel32AndPrefixesIncludeRex) {
  const struct {
    const char* Hex;
    TRelativeKind Kind;
    uint8_t Offset;
    uint8_t Size;
    uint8_t Prefixes;
  } cases[] = {
      {"E8 78 56 34 12", TRelativeKind::Near32, 1, 4, 0},
      {"66 E9 78 56 34 12", TRelativeKind::Near32, 2, 4, 1},
      {"0F 8F 78 56 34 12", TRelativeKind::Near32, 2, 4, 0},
      {"66 0F 84 78 56 34 12", TRelativeKind::Near32, 3, 4, 1},
      {"48 E9 78 56 34 12", TRelativeKind::Near32, 2, 4, 1},
      {"EB 85", TRelativeKind::Short8, 1, 1, 0},
      {"67 E3 7B", TRelativeKind::Short8, 2, 1, 1},  // jecxz
      {"FF 25 78 56 34 12", TRelativeKind::None, 0, 0, 0},
      {"F3 48 AB", TRelativeKind::None, 0, 0, 2},
      {"66 48 68 78 56 34 12", TRelativeKind::None, 0, 0, 2},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = Bytes(c.Hex);
    TInstruction insn = DecodeInstruction(bytes.data(), bytes.size(), TCodeMode::Code64);
    ASSERT_TRUE(insn.Decodable) << c.Hex;
    EXPECT_EQ(insn.Length, bytes.size()) << c.Hex;
    EXPECT_EQ(insn.Relative, c.Kind) << c.Hex;
    EXPECT_EQ(insn.RelativeOffset, c.Offset) << c.Hex;
    EXPECT_EQ(insn.RelativeSize, c.Size) << c.Hex;
    EXPECT_EQ(insn.PrefixCount, c.Prefixes) << c.Hex;
  }
}

TEST(InstructionLength64, RejectsWhat64BitCodeDoesNotHave) {
  const char* undefined[] = {
      "06", "07", "0E", "16", "17", "1E", "1F",  // push/pop of segment registers
      "27", "2F", "37", "3F", "D4 0A", "D5 0A",  // BCD arithmetic
      "60", "61", "82 C0 01", "CE", "D6",        // pusha, popa, the 0x82 alias, into, salc
      "9A 78 56 34 12 08 00", "EA 78 56 34 12 08 00",  // far immediate call/jmp
      "0F 24 C0", "0F 26 C0",                    // test registers
      "C4 E0 79 18 C1",                          // VEX map 0
      // objdump takes these; processors refuse a REX prefix in front of VEX and EVEX.
      "48 C5 F8 77", "41 62 F1 7C 48 58 C1",
  };
  for (const char* hex : undefined) {
    std::vector<uint8_t> code = Bytes(hex);
    code.insert(code.end(), 16, 0x90);
    TInstruction insn = DecodeInstruction(code.data(), code.size(), TCodeMode::Code64);
    EXPECT_FALSE(insn.Decodable) << hex;
    EXPECT_EQ(insn.Length, 0) << hex;
    EXPECT_TRUE(DecodeInstruction(code.data() + code.size() - 16, 16, TCodeMode::Code64).Decodable);
  }
}

TEST(InstructionLength, RejectsUndefinedEncodings) {
  const char* undefined[] = {
      "D6",                    // salc: not a defined instruction
      "0F 04", "0F 0A", "0F 0C", "0F 36", "0F 39", "0F 3B", "0F 25 C0", "0F 7A C0",
      "0F B8 C0",              // popcnt needs F3
      "0F 7C C0", "F3 0F 7C C0",  // haddps/pd need 66/F2
      "0F 38 10 C0",           // pblendvb needs 66
      "66 0F 38 50 C0", "66 0F 3A 00 C0 01",  // undefined slots of the three-byte maps
      "8D C0",                 // lea with a register operand
      "C4 C0 00",              // VEX map 0 does not exist
      "62 F4 7C 48 58 C1",     // EVEX map 4 does not exist
      "8C F0", "8E 38",        // segment registers 6 and 7
      "FE 38", "FF 38",        // inc/dec group, reg 7
      "FF D8", "FF E8",        // far call/jmp through a register
      "C6 C8 01", "C7 08 00 00 00 00",  // mov group: reg 1
      "8F 60 00",              // pop group, reg 4 (reg 1..3 would select an XOP map)
      "D9 D1", "DB 20", "DD 28",  // x87 undefined register and memory forms
      "0F 0F C1 00",           // 3DNow! suffix 00 is undefined
      "0F 71 00 01", "0F BA 00 01", "0F C7 00", "0F 00 30",  // group members that do not exist
      "2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 90",  // 16 bytes: over the length limit
      "2E 3E 64 F0 65 81 84 24 78 56 34 12 01 00 00 00",
  };
  for (const char* hex : undefined) {
    std::vector<uint8_t> code = Bytes(hex);
    code.insert(code.end(), 16, 0x90);
    TInstruction insn = DecodeInstruction(code.data(), code.size());
    EXPECT_FALSE(insn.Decodable) << hex;
    EXPECT_EQ(insn.Length, 0) << hex;
  }
}

}  // namespace
