#include "faultline/hooks/instruction_length.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

// Lengths come from the opcode maps below; whether an encoding is defined comes from the same
// maps plus the prefix, group and x87 rules after them. Forms that only old processors ran (MOV to
// test registers, FSETPM, 3DNow!) count as defined, undocumented aliases (SALC, FSTP1, FXCH4, ...)
// do not. WAIT (0x9B) is an instruction of its own, also in front of an x87 instruction. For VEX,
// EVEX and XOP only the map is checked.

namespace {

// ---------------------------------------------------------------------------------------------
// Opcode maps. One character per opcode so that each map reads like the printed 16 x 16 tables:
//
//   .  nothing follows the opcode        x  undefined
//   m  ModR/M                             r  ModR/M that always names registers (MOV CRn/DRn/TRn)
//   b  ModR/M, imm8                       z  ModR/M, imm16/32 by operand size
//   1  imm8                               2  imm16
//   Z  imm16/32 by operand size           o  memory offset, 2 or 4 bytes by address size
//   j  rel8                               J  rel16/32 by operand size
//   p  far pointer, 4 or 6 bytes          e  imm16, imm8 (ENTER)
//   g  ModR/M, and an immediate for TEST only (group 3: 0xF6/0xF7)
//   P  prefix (consumed before the map is looked at)
//   E  0x0F: the two-byte map             S  0x0F 0x38 map, A  0x0F 0x3A map
//   v  0xC4/0xC5: LES/LDS, or VEX when the next byte has mod = 11
//   V  0x62: BOUND, or EVEX when the next byte has mod = 11
//   X  0x8F: POP r/m, or XOP when the next byte selects an XOP map
// ---------------------------------------------------------------------------------------------

constexpr char OneByteMap[] =
    // 0123456789ABCDEF
    "mmmm1Z..mmmm1Z.E"  // 00
    "mmmm1Z..mmmm1Z.."  // 10
    "mmmm1ZP.mmmm1ZP."  // 20
    "mmmm1ZP.mmmm1ZP."  // 30
    "................"  // 40
    "................"  // 50
    "..VmPPPPZz1b...."  // 60
    "jjjjjjjjjjjjjjjj"  // 70
    "bzbbmmmmmmmmmmmX"  // 80
    "..........p....."  // 90
    "oooo....1Z......"  // A0
    "11111111ZZZZZZZZ"  // B0
    "bb2.vvbze.2..1.."  // C0
    "mmmm11x.mmmmmmmm"  // D0
    "jjjj1111JJpj...."  // E0
    "P.PP..gg......mm"; // F0

constexpr char TwoByteMap[] =
    // 0123456789ABCDEF
    "mmmmx.....x.xm.b"  // 00  0x0F 0x0F is 3DNow!: ModR/M, then the opcode as an imm8
    "mmmmmmmmmmmmmmmm"  // 10
    "rrrrrxrxmmmmmmmm"  // 20
    "......x.SxAxxxxx"  // 30
    "mmmmmmmmmmmmmmmm"  // 40
    "mmmmmmmmmmmmmmmm"  // 50
    "mmmmmmmmmmmmmmmm"  // 60
    "bbbbmmm.mmxxmmmm"  // 70
    "JJJJJJJJJJJJJJJJ"  // 80
    "mmmmmmmmmmmmmmmm"  // 90
    "...mbmmm...mbmmm"  // A0
    "mmmmmmmmmmbmmmmm"  // B0
    "mmbmbbbm........"  // C0
    "mmmmmmmmmmmmmmmm"  // D0
    "mmmmmmmmmmmmmmmm"  // E0
    "mmmmmmmmmmmmmmmm"; // F0

static_assert(sizeof OneByteMap == 257 && sizeof TwoByteMap == 257);

// Which mandatory prefix selects a defined instruction, one hex digit per opcode: bit 0 none,
// bit 1 0x66, bit 2 0xF3, bit 3 0xF2. F where the prefixes only modify (or are ignored by) the
// instruction; 0 where nothing is defined. The deciding prefix is the last of 0xF2/0xF3, or 0x66
// when neither is present.
constexpr char TwoBytePrefixes[] =
    // 0123456789ABCDEF
    "FFFFFFFFF5FFFFFF"  // 00
    "FFF33373FFFFFFFF"  // 10
    "FFFFFFFF33FFFF33"  // 20
    "FFFFFFFFFFFFFFFF"  // 30
    "FFFFFFFFFFFFFFFF"  // 40
    "3F553333FFF7FFFF"  // 50
    "3333333333332237"  // 60
    "F3333331BBFFAA77"  // 70
    "FFFFFFFFFFFFFFFF"  // 80
    "FFFFFFFFFFFFFFFF"  // 90
    "FFFFFFFFFFFFFFFF"  // A0
    "FFFFFFFF4FFF77FF"  // B0
    "FFF1333FFFFFFFFF"  // C0
    "A33333EF33333333"  // D0
    "333333E333333333"  // E0
    "833333333333333F"; // F0

// 0x0F 0x38 xx: ModR/M, no immediate.
constexpr char Map38Prefixes[] =
    // 0123456789ABCDEF
    "3333333333330000"  // 00
    "2000220200003330"  // 10
    "2222220022220000"  // 20
    "2222220222222222"  // 30
    "2200000000000000"  // 40
    "0000000000000000"  // 50
    "0000000000000000"  // 60
    "0000000000000000"  // 70
    "2220000000000000"  // 80
    "0000000000000000"  // 90
    "0000000000000000"  // A0
    "0000000000000000"  // B0
    "0000000011111102"  // C0
    "0000000040026666"  // D0
    "0000000000000000"  // E0
    "BB000270E144F000"; // F0

// 0x0F 0x3A xx: ModR/M and imm8.
constexpr char Map3APrefixes[] =
    // 0123456789ABCDEF
    "0000000022222223"  // 00
    "0000222200000000"  // 10
    "2220000000000000"  // 20
    "0000000000000000"  // 30
    "2220200000000000"  // 40
    "0000000000000000"  // 50
    "2222000000000000"  // 60
    "0000000000000000"  // 70
    "0000000000000000"  // 80
    "0000000000000000"  // 90
    "0000000000000000"  // A0
    "0000000000000000"  // B0
    "0000000000001022"  // C0
    "0000000000000002"  // D0
    "0000000000000000"  // E0
    "4000000000000000"; // F0

static_assert(sizeof TwoBytePrefixes == 257 && sizeof Map38Prefixes == 257 &&
              sizeof Map3APrefixes == 257);

// x87 register forms (mod = 11), per escape 0xD8..0xDF: one byte per reg field, bit n set when
// r/m = n is defined. Several encodings that old processors accepted as aliases (FSTP1, FXCH4,
// FCOMP5, ...) are left undefined.
constexpr uint8_t X87Registers[8][8] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // D8
    {0xFF, 0xFF, 0x01, 0x00, 0x33, 0x7F, 0xFF, 0xFF},  // D9: FNOP, FCHS..FXAM, constants
    {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0x00, 0x00},  // DA: FCMOVcc, FUCOMPP
    {0xFF, 0xFF, 0xFF, 0xFF, 0x3F, 0xFF, 0xFF, 0x00},  // DB: FCMOVNcc, FENI..FRSTPM, FUCOMI, FCOMI
    {0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},  // DC
    {0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00},  // DD: FFREE, FST, FSTP, FUCOM, FUCOMP
    {0xFF, 0xFF, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF},  // DE: FCOMPP
    {0xFF, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00},  // DF: FFREEP, FNSTSW AX, FUCOMIP, FCOMIP
};
// x87 memory forms, per escape: bit n set when reg = n is defined.
constexpr uint8_t X87Memory[8] = {0xFF, 0xFD, 0xFF, 0xAF, 0xFF, 0xDF, 0xFF, 0xFF};

// 3DNow! operations, selected by the byte that follows the operands.
constexpr uint8_t Now3DOps[] = {0x0C, 0x0D, 0x1C, 0x1D, 0x8A, 0x8E, 0x90, 0x94, 0x96, 0x97, 0x9A, 0x9E,
                                0xA0, 0xA4, 0xA6, 0xA7, 0xAA, 0xAE, 0xB0, 0xB4, 0xB6, 0xB7, 0xBB, 0xBF};

// A set of ModR/M bytes with mod = 11 (0xC0..0xFF), bit n standing for 0xC0 + n.
constexpr uint64_t RegisterForms(std::initializer_list<uint8_t> modrms) {
  uint64_t set = 0;
  for (uint8_t m : modrms) set |= uint64_t{1} << (m - 0xC0);
  return set;
}
// The register forms of 0x0F 0x01 are single instructions (VMCALL, MONITOR, XGETBV, RDTSCP, ...);
// which are defined depends on the mandatory prefix. These are the undefined ones, indexed like
// the prefix bits (none, 0x66, 0xF3, 0xF2).
constexpr uint64_t Group7Undefined[4] = {
    RegisterForms({0xC7, 0xCC, 0xCD, 0xCE, 0xD2, 0xD3, 0xE9, 0xEA, 0xEB, 0xEC, 0xED}),
    RegisterForms({0xC6, 0xC7, 0xCD, 0xCE, 0xCF, 0xD2, 0xD3, 0xD9, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC,
                   0xED, 0xEE, 0xEF, 0xFA, 0xFB, 0xFD, 0xFE, 0xFF}),
    RegisterForms({0xC6, 0xC7, 0xCC, 0xCD, 0xCE, 0xCF, 0xD2, 0xD3, 0xE9, 0xEB, 0xEC, 0xED, 0xEE,
                   0xEF, 0xFB, 0xFD, 0xFE, 0xFF}),
    RegisterForms({0xC6, 0xC7, 0xCC, 0xCD, 0xCE, 0xCF, 0xD2, 0xD3, 0xEA, 0xEB, 0xEC, 0xED, 0xEE,
                   0xEF, 0xFA, 0xFB, 0xFD, 0xFE}),
};

uint8_t Digit(const char* table, uint8_t opcode) {
  char c = table[opcode];
  return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10);
}

// Prefix bits in the order of the tables above.
enum : uint8_t { NoPrefix = 1, Prefix66 = 2, PrefixF3 = 4, PrefixF2 = 8 };

// How a ModR/M byte addresses memory: 16-bit forms (no SIB), 32-bit forms (mod = 00 r/m = 101 is an
// absolute disp32), or 64-bit code, where that form is relative to the next instruction whatever
// the address size.
enum class TAddressForm : uint8_t { Bits16, Bits32, RipRelative };

// The mode and the prefixes of one instruction.
struct TPrefixes {
  bool Code64 = false;
  bool OperandSize = false;  // 0x66
  bool AddressSize = false;  // 0x67
  uint8_t LastRep = 0;       // 0xF2 or 0xF3, whichever came last
  uint8_t Rex = 0;           // 64-bit code: the REX prefix right before the opcode, else 0
  uint8_t Mandatory() const {
    if (LastRep == 0xF3) return PrefixF3;
    if (LastRep == 0xF2) return PrefixF2;
    return OperandSize ? Prefix66 : NoPrefix;
  }
  bool RexW() const { return (Rex & 0x08) != 0; }
  // imm16/32 by operand size: REX.W keeps it at 32 bits (sign-extended) even after 0x66.
  size_t ImmZ() const { return OperandSize && !RexW() ? 2 : 4; }
  TAddressForm Form() const {
    if (Code64) return TAddressForm::RipRelative;
    return AddressSize ? TAddressForm::Bits16 : TAddressForm::Bits32;
  }
};

bool IsPrefix(uint8_t b) {
  switch (b) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
      return true;
    default:
      return false;
  }
}

// A cursor over the instruction's bytes that refuses to move past the end it was given.
class TCursor {
 public:
  TCursor(const uint8_t* code, size_t end) : code_(code), end_(end) {}
  size_t Pos() const { return pos_; }
  bool Has(size_t n) const { return n <= end_ - pos_; }
  // The byte at the cursor, when there is one.
  bool Peek(uint8_t& b) const {
    if (!Has(1)) return false;
    b = code_[pos_];
    return true;
  }
  // The byte just consumed (there must be one).
  uint8_t Last() const { return code_[pos_ - 1]; }
  bool Next(uint8_t& b) {
    if (!Peek(b)) return false;
    ++pos_;
    return true;
  }
  bool Skip(size_t n) {
    if (!Has(n)) return false;
    pos_ += n;
    return true;
  }
  // Where the disp32 of an operand relative to the next instruction starts (0: none).
  size_t RipDisplacement() const { return rip_; }
  void MarkRipDisplacement() { rip_ = pos_; }

 private:
  const uint8_t* code_;
  size_t end_;
  size_t pos_ = 0;
  size_t rip_ = 0;
};

// Consumes a ModR/M byte with its SIB and displacement.
bool ModRM(TCursor& c, TAddressForm form, uint8_t& modrm) {
  if (!c.Next(modrm)) return false;
  uint8_t mod = modrm >> 6, rm = modrm & 7;
  if (mod == 3) return true;
  if (form == TAddressForm::Bits16) {
    if (mod == 0) return rm == 6 ? c.Skip(2) : true;
    return c.Skip(mod == 1 ? 1 : 2);
  }
  if (rm == 4) {
    uint8_t sib;
    if (!c.Next(sib)) return false;
    if (mod == 0 && (sib & 7) == 5) return c.Skip(4);
  }
  if (mod == 0 && rm == 5) {
    if (form == TAddressForm::RipRelative) c.MarkRipDisplacement();
    return c.Skip(4);
  }
  if (mod == 0) return true;
  return c.Skip(mod == 1 ? 1 : 4);
}

// One-byte opcodes that 64-bit code does not have (0xC4, 0xC5 and 0x62 are VEX and EVEX there, and
// 0x40-0x4F never get here: they are REX prefixes).
bool InvalidIn64(uint8_t op) {
  switch (op) {
    case 0x06: case 0x07: case 0x0E: case 0x16: case 0x17: case 0x1E: case 0x1F:  // PUSH/POP segment
    case 0x27: case 0x2F: case 0x37: case 0x3F: case 0xD4: case 0xD5:              // BCD arithmetic
    case 0x60: case 0x61: case 0x82: case 0x9A: case 0xCE: case 0xD6: case 0xEA:   // PUSHA, ..., JMP far
      return true;
    default:
      return false;
  }
}

uint8_t Reg(uint8_t modrm) { return (modrm >> 3) & 7; }
bool IsRegisterForm(uint8_t modrm) { return (modrm >> 6) == 3; }

// Defined forms of one-byte opcodes whose ModR/M picks the instruction.
bool OneByteModRMDefined(uint8_t op, uint8_t modrm) {
  uint8_t reg = Reg(modrm);
  bool registers = IsRegisterForm(modrm);
  switch (op) {
    case 0x8C: case 0x8E: return reg < 6;  // six segment registers
    case 0x8D: case 0xC4: case 0xC5: case 0x62: return !registers;  // LEA, LES, LDS, BOUND
    case 0x8F: return reg == 0;
    case 0xC6: case 0xC7: return reg == 0 || modrm == 0xF8;  // MOV; XABORT / XBEGIN
    case 0xFE: return reg < 2;
    case 0xFF: return reg != 7 && !(registers && (reg == 3 || reg == 5));  // no far branch to a register
    default:
      if (op >= 0xD8 && op <= 0xDF) {
        return registers ? (X87Registers[op - 0xD8][reg] >> (modrm & 7)) & 1
                         : (X87Memory[op - 0xD8] >> reg) & 1;
      }
      return true;
  }
}

int PrefixIndex(uint8_t mandatory) {
  return mandatory == NoPrefix ? 0 : mandatory == Prefix66 ? 1 : mandatory == PrefixF3 ? 2 : 3;
}

// 0x0F 0xAE: state save/restore and cache control in memory; fences, TPAUSE/UMWAIT and the
// shadow-stack/base-register forms as registers.
bool Group15Defined(uint8_t modrm, uint8_t mandatory) {
  uint8_t reg = Reg(modrm);
  bool registers = IsRegisterForm(modrm);
  switch (mandatory) {
    case NoPrefix: return !registers || reg == 5 || modrm == 0xF0 || modrm == 0xF8;
    case Prefix66: return registers ? reg == 6 || modrm == 0xF8 : reg != 4 && reg != 5;
    case PrefixF3: return registers ? modrm <= 0xF8 : reg != 5 && reg != 7;
    default: return registers ? reg == 6 || modrm == 0xF8 : reg < 4;
  }
}

// Defined forms of two-byte opcodes whose ModR/M (with the prefix) picks the instruction.
bool TwoByteModRMDefined(uint8_t op, uint8_t modrm, uint8_t mandatory, bool address16) {
  uint8_t reg = Reg(modrm);
  bool registers = IsRegisterForm(modrm);
  switch (op) {
    case 0x00: return reg < 6;
    case 0x01:
      if (!registers) return reg != 5 || mandatory == PrefixF3;  // RSTORSSP
      return !((Group7Undefined[PrefixIndex(mandatory)] >> (modrm & 0x3F)) & 1);
    case 0x12: case 0x16: return mandatory != Prefix66 || !registers;  // MOVLPD, MOVHPD
    case 0x1A: case 0x1B:  // four bound registers, 32-bit addresses
      if (registers && reg < 4) return mandatory != Prefix66 || (modrm & 7) < 4;
      if (registers) return mandatory == NoPrefix || (op == 0x1B && mandatory == PrefixF3);
      return reg < 4 && !address16;
    case 0x71: case 0x72: return registers && (reg == 2 || reg == 4 || reg == 6);
    case 0x73: return registers && (reg == 2 || reg == 6 || ((reg == 3 || reg == 7) && mandatory == Prefix66));
    case 0x78: case 0x79: return mandatory == NoPrefix || registers;  // EXTRQ, INSERTQ
    case 0xA6: return modrm == 0xC0 || modrm == 0xC8 || modrm == 0xD0;  // PadLock hashing
    case 0xA7: return registers && (modrm & 7) == 0 && reg < 6;         // PadLock RNG and crypt
    case 0xAE: return Group15Defined(modrm, mandatory);
    case 0xBA: return reg >= 4;
    case 0xD6: return mandatory == Prefix66 || registers;  // MOVQ2DQ, MOVDQ2Q
    case 0x0D: case 0xB2: case 0xB4: case 0xB5: case 0xC3: case 0x13: case 0x17: case 0x2B:
    case 0xE7: case 0xF0:
      return !registers;  // PREFETCH, LSS, LFS, LGS, MOVNTI, MOVLPx, MOVHPx, MOVNTx, LDDQU
    case 0x50: case 0xD7: case 0xF7: case 0xC5: return registers;  // MOVMSKPx, PMOVMSKB, MASKMOVQ, PEXTRW
    case 0xC7:
      if (registers) {  // RDRAND, RDSEED, RDPID
        return reg == 6 ? mandatory == NoPrefix || mandatory == Prefix66 : reg == 7 && mandatory != PrefixF2;
      }
      return reg == 1 || (reg >= 3 && !(reg == 6 && mandatory == PrefixF2));  // CMPXCHG8B, XRSTORS ..
    default:
      return true;
  }
}

// Defined forms in the 0x0F 0x38 map beyond the prefix table.
bool Map38ModRMDefined(uint8_t op, uint8_t modrm, uint8_t mandatory) {
  bool registers = IsRegisterForm(modrm);
  switch (op) {
    case 0x2A: case 0x80: case 0x81: case 0x82: case 0xF5: case 0xF8: case 0xF9: case 0xFC:
      return !registers;  // MOVNTDQA, INVEPT/INVVPID/INVPCID, WRUSS, MOVDIR64B, MOVDIRI, AADD..
    case 0xF0: case 0xF1: return mandatory == PrefixF2 || !registers;  // MOVBE needs memory, CRC32 not
    case 0xF6: return mandatory != NoPrefix || !registers;            // WRSS
    case 0xD8: return !registers && Reg(modrm) < 4;                    // AESENCWIDE128KL ..
    case 0xDD: case 0xDE: case 0xDF: return mandatory != PrefixF3 || !registers;
    case 0xFA: case 0xFB: return registers;                            // ENCODEKEY128/256
    default: return true;
  }
}

// What the bytes after the prefixes turned out to be.
struct TBody {
  bool Complete = false;  // all its bytes lie within the bytes available
  bool Defined = true;
  TRelativeKind Relative = TRelativeKind::None;
  uint8_t RelativeSize = 0;
};

// VEX (0xC4/0xC5), EVEX (0x62) and XOP (0x8F): escape, payload, opcode, ModR/M and any immediate.
// Only the map is checked; which opcodes each map defines for which vector length and prefix
// is not, as nothing here needs to tell those apart from the lengths.
TBody ExtendedForm(TCursor& c, uint8_t escape, TAddressForm form) {
  TBody body;
  uint8_t p0, p1 = 0, p2 = 0, op, modrm;
  if (!c.Next(p0)) return body;
  uint8_t map = 1;  // 0xC5 implies the 0x0F map
  if (escape != 0xC5) {
    map = p0 & (escape == 0x62 ? 0x07 : 0x1F);
    if (!c.Next(p1) || (escape == 0x62 && !c.Next(p2))) return body;
  }
  if (!c.Next(op)) return body;
  size_t immediate = 0;
  bool withModRM = true;
  if (escape == 0x8F) {
    body.Defined = map >= 8 && map <= 10;
    immediate = map == 8 ? 1 : map == 10 ? 4 : 0;
  } else {
    // The 0x0F 0x3A map always has an imm8; in the 0x0F map the same opcodes as without VEX do.
    immediate = map == 3 || (map == 1 && TwoByteMap[op] == 'b') ? 1 : 0;
    if (escape == 0x62) {
      body.Defined = (p0 & 0x08) == 0 && (p1 & 0x04) != 0 && (map == 1 || map == 2 || map == 3 || map == 5 || map == 6);
    } else {
      body.Defined = map >= 1 && map <= 3;
      withModRM = !(map == 1 && op == 0x77);  // VZEROUPPER / VZEROALL
    }
  }
  body.Complete = (!withModRM || ModRM(c, form, modrm)) && c.Skip(immediate);
  return body;
}

TBody ThreeByteOpcode(TCursor& c, const TPrefixes& p, bool map3A) {
  TBody body;
  uint8_t op, modrm;
  if (!c.Next(op) || !ModRM(c, p.Form(), modrm) || !c.Skip(map3A ? 1 : 0)) return body;
  body.Complete = true;
  uint8_t mandatory = p.Mandatory();
  body.Defined = Digit(map3A ? Map3APrefixes : Map38Prefixes, op) & mandatory;
  if (map3A) {
    if (op == 0xF0) body.Defined = body.Defined && modrm == 0xC0;  // HRESET
  } else {
    body.Defined = body.Defined && Map38ModRMDefined(op, modrm, mandatory);
  }
  return body;
}

TBody TwoByteOpcode(TCursor& c, const TPrefixes& p) {
  TBody body;
  uint8_t op, modrm = 0;
  if (!c.Next(op)) return body;
  char form = TwoByteMap[op];
  if (form == 'S' || form == 'A') return ThreeByteOpcode(c, p, form == 'A');
  uint8_t mandatory = p.Mandatory();
  body.Defined = form != 'x' && (Digit(TwoBytePrefixes, op) & mandatory);
  if (p.Code64 && (op == 0x24 || op == 0x26)) body.Defined = false;  // MOV to/from test registers
  size_t immediate = 0;
  switch (form) {
    case 'x': case '.': body.Complete = true; return body;
    case 'J':
      body.Relative = TRelativeKind::Near32;
      body.RelativeSize = p.OperandSize && !p.Code64 ? 2 : 4;
      body.Complete = c.Skip(body.RelativeSize);
      return body;
    case 'r': body.Complete = c.Skip(1); return body;
    case 'b': immediate = 1; break;
  }
  // EXTRQ / INSERTQ carry two immediates (index and length).
  if (op == 0x78 && (mandatory == Prefix66 || mandatory == PrefixF2)) immediate = 2;
  if (!ModRM(c, p.Form(), modrm) || !c.Skip(immediate)) return body;
  body.Complete = true;
  if (op == 0x0F) {  // 3DNow!: the operation is the last byte
    body.Defined = std::find(std::begin(Now3DOps), std::end(Now3DOps), c.Last()) != std::end(Now3DOps);
  } else {
    body.Defined = body.Defined && TwoByteModRMDefined(op, modrm, mandatory, p.Form() == TAddressForm::Bits16);
  }
  return body;
}

TBody OneByteOpcode(TCursor& c, uint8_t op, const TPrefixes& p) {
  TBody body;
  const size_t immZ = p.ImmZ();
  char form = OneByteMap[op];
  uint8_t modrm = 0, next = 0;
  if (p.Code64 && InvalidIn64(op)) body.Defined = false;
  switch (form) {
    case 'E': return TwoByteOpcode(c, p);
    case 'v': case 'V': case 'X':
      if (!c.Peek(next)) return body;
      // 64-bit code has no LES, LDS or BOUND: there 0xC4, 0xC5 and 0x62 always start VEX or EVEX.
      if (form == 'X' ? (next & 0x1F) >= 8 : p.Code64 || IsRegisterForm(next)) {
        body = ExtendedForm(c, op, p.Form());
        if (p.Rex) body.Defined = false;  // a REX prefix in front of VEX, EVEX or XOP is refused
        return body;
      }
      form = 'm';  // LES, LDS, BOUND, POP r/m
      break;
    case 'x': case 'P': body.Defined = false; break;
    case 'j': body.Relative = TRelativeKind::Short8; body.RelativeSize = 1; break;
    case 'J':  // near branches of 64-bit code keep rel32 under 0x66 (as Intel processors run them)
      body.Relative = TRelativeKind::Near32;
      body.RelativeSize = static_cast<uint8_t>(p.Code64 ? 4 : immZ);
      break;
  }
  switch (form) {
    case 'm': case 'b': case 'z': case 'g':
      if (!ModRM(c, p.Form(), modrm)) return body;
      body.Defined = body.Defined && OneByteModRMDefined(op, modrm);
      break;
  }
  size_t immediate = 0;
  switch (form) {
    case 'b': case '1': case 'j': immediate = 1; break;
    case 'z': case 'Z': immediate = immZ; break;
    case 'J': immediate = body.RelativeSize; break;
    case '2': immediate = 2; break;
    case 'o': immediate = p.Code64 ? (p.AddressSize ? 4 : 8) : (p.AddressSize ? 2 : 4); break;
    case 'p': immediate = immZ + 2; break;
    case 'e': immediate = 3; break;
    case 'g': immediate = Reg(modrm) >= 2 ? 0 : op == 0xF6 ? 1 : immZ; break;
  }
  if (op >= 0xB8 && op <= 0xBF && p.RexW()) immediate = 8;  // MOV r64, imm64
  body.Complete = c.Skip(immediate);
  return body;
}

}  // namespace

TInstruction DecodeInstruction(const uint8_t* code, size_t available, TCodeMode mode) {
  // Nothing beyond the architectural limit belongs to the instruction: one that would be longer,
  // with any number of prefixes, runs out of bytes and is not decodable.
  TCursor c(code, std::min(available, MaxInstructionLength));
  TPrefixes p;
  p.Code64 = mode == TCodeMode::Code64;
  uint8_t op;
  for (;;) {
    if (!c.Next(op)) return {};
    if (p.Code64 && (op & 0xF0) == 0x40) {
      p.Rex = op;  // of several, the last one counts
      continue;
    }
    if (!IsPrefix(op)) break;
    p.Rex = 0;  // a REX prefix counts only directly before the opcode
    if (op == 0x66) p.OperandSize = true;
    if (op == 0x67) p.AddressSize = true;
    if (op == 0xF2 || op == 0xF3) p.LastRep = op;
  }
  uint8_t prefixCount = static_cast<uint8_t>(c.Pos() - 1);
  TBody body = OneByteOpcode(c, op, p);
  if (!body.Complete || !body.Defined) return {};

  TInstruction result;
  result.Length = static_cast<uint8_t>(c.Pos());
  result.Decodable = true;
  result.PrefixCount = prefixCount;
  result.Relative = body.Relative;
  if (body.Relative != TRelativeKind::None) {
    result.RelativeSize = body.RelativeSize;
    result.RelativeOffset = static_cast<uint8_t>(result.Length - body.RelativeSize);  // always last
  }
  result.IsReturn = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB;
  if (c.RipDisplacement()) {
    result.RipRelativeOffset = static_cast<uint8_t>(c.RipDisplacement());
    result.RipRelativeSize = 4;
  }
  return result;
}

size_t ProcedureLength(const uint8_t* code, size_t limit, TCodeMode mode) {
  size_t pos = 0;
  while (pos < limit) {
    TInstruction insn = DecodeInstruction(code + pos, limit - pos, mode);
    if (!insn.Decodable) {
      ++pos;
      continue;
    }
    pos += insn.Length;
    if (insn.IsReturn) break;
  }
  return pos;
}
