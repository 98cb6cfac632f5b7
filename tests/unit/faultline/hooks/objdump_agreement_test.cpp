// The instruction-length decoder against a real disassembler: every instruction that
// i686-w64-mingw32-objdump decodes in the code sections of real 32-bit Windows modules, and
// x86_64-w64-mingw32-objdump in those of 64-bit ones, must get the same length from
// DecodeInstruction in the module's mode, decoded from the same bytes with only the rest of the
// contiguous listing available.
//
// How objdump's listing is read:
//  - Lines are "address:<TAB>hex bytes<TAB>text". Symbol headers, section headers and the "..."
//    lines objdump prints instead of runs of zero bytes are not instructions; an address that does
//    not continue the previous line (or a new section) starts a new run of contiguous bytes.
//  - "(bad)" anywhere in the text, and ".byte" lines (what objdump shows for bytes it could not
//    decode, e.g. after a bad instruction or an instruction cut off by the end of the section),
//    are objdump's own verdict of "not an instruction": they stay in the run's bytes but are not
//    compared.
//  - A line made only of prefix bytes is objdump splitting prefixes off an instruction it refuses
//    (more prefixes than it accepts, a prefix before an encoding it does not take): not compared.
//  - An operand printed as "?" names a segment register that does not exist (0x8C/0x8E with
//    reg 6 or 7); the processor refuses these, so does the decoder: not compared.
//  - objdump prints WAIT (0x9B) together with the x87 instruction after it as one line
//    ("fstcw" = 9B D9 /7). They are two instructions to the processor (and a hook may split
//    them), so such a line is compared as WAIT (its prefixes and 0x9B) and the x87 rest. objdump
//    also applies prefixes in front of the WAIT to the x87 instruction; when one of them is 0x67,
//    its length for the rest assumed 16-bit addressing, which the processor does not, so the rest
//    is not compared then.
//  - 64-bit modules: REX bytes (0x40-0x4F) count as prefixes for the prefix-only rule: objdump
//    lists a REX that does not stand right before the opcode (the processor ignores it) as a line
//    of its own. objdump is asked for Intel's reading of 64-bit code ("-M intel64"): Intel
//    processors keep rel32 on near branches under 0x66 and ignore the prefix, AMD ones take rel16,
//    and the decoder (like the hooks, which refuse such branches anyway) reads them as rel32.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "faultline/hooks/instruction_length.h"

#ifndef TARN_OBJDUMP_MODULES
#define TARN_OBJDUMP_MODULES                                          \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll;"           \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/kernelbase.dll;"         \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/user32.dll;"             \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/ntdll.dll;"              \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/msvcrt.dll;"             \
  "/usr/lib/i386-linux-gnu/wine/i386-windows/gdi32.dll"
#endif
#ifndef TARN_OBJDUMP_MODULES64
#define TARN_OBJDUMP_MODULES64                                        \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll;"       \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll;"     \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/user32.dll;"         \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/ntdll.dll;"          \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/msvcrt.dll;"         \
  "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/gdi32.dll"
#endif

namespace {

struct TListedInstruction {
  size_t Offset = 0;  // inside the run
  size_t Length = 0;
  std::string Text;
  bool Compared = true;
};

struct TRun {
  uint64_t Address = 0;
  std::vector<uint8_t> Bytes;
  std::vector<TListedInstruction> Instructions;
};

struct TAgreement {
  size_t Compared = 0;
  size_t Agreed = 0;
  size_t NotCompared = 0;
  std::vector<std::string> Disagreements;  // the first few
};

bool IsPrefixByte(uint8_t b, TCodeMode mode) {
  if (mode == TCodeMode::Code64 && (b & 0xF0) == 0x40) return true;  // REX
  switch (b) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
      return true;
    default:
      return false;
  }
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x ", p[i]);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// An operand that is exactly "?" (symbol names in <...> may contain '?' and do not count).
bool HasUnknownOperand(const std::string& text) {
  std::string t = text.substr(0, text.find('<'));
  for (size_t i = t.find('?'); i != std::string::npos; i = t.find('?', i + 1)) {
    bool startOk = i == 0 || t[i - 1] == ',' || t[i - 1] == ' ';
    bool endOk = i + 1 == t.size() || t[i + 1] == ',' || t[i + 1] == ' ';
    if (startOk && endOk) return true;
  }
  return false;
}

// Applies the rules in the header comment to the last line added to run.
void Classify(TRun& run, TCodeMode mode) {
  TListedInstruction& insn = run.Instructions.back();
  const uint8_t* b = run.Bytes.data() + insn.Offset;
  if (insn.Text.find("(bad)") != std::string::npos || insn.Text.rfind(".byte", 0) == 0 ||
      HasUnknownOperand(insn.Text)) {
    insn.Compared = false;
    return;
  }
  size_t prefixes = 0;
  while (prefixes < insn.Length && IsPrefixByte(b[prefixes], mode)) ++prefixes;
  if (prefixes == insn.Length) {
    insn.Compared = false;
  } else if (b[prefixes] == 0x9B && insn.Length > prefixes + 1) {
    TListedInstruction x87 = insn;
    x87.Offset += prefixes + 1;
    x87.Length -= prefixes + 1;
    x87.Compared = std::find(b, b + prefixes, 0x67) == b + prefixes;
    insn.Length = prefixes + 1;
    insn.Text = "fwait";
    run.Instructions.push_back(x87);
  }
}

// Runs objdump on module and hands each contiguous run of listed instructions to onRun.
template <class F>
bool Disassemble(const std::string& module, TCodeMode mode, F onRun) {
  std::string command = mode == TCodeMode::Code64
                            ? "x86_64-w64-mingw32-objdump -d --insn-width=16 -M x86-64,intel,intel64 '"
                            : "i686-w64-mingw32-objdump -d --insn-width=16 -M intel '";
  command += module + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return false;
  TRun run;
  uint64_t runEnd = 0;
  bool any = false;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe.get())) {
    // "    addr:\thex bytes \ttext"
    char* colon = std::strchr(line, ':');
    if (!colon || colon[1] != '\t' || std::strncmp(line, "Disassembly", 11) == 0) {
      if (std::strncmp(line, "Disassembly", 11) == 0 || std::strstr(line, "\t...")) {
        if (!run.Instructions.empty()) onRun(run);
        run = TRun();
      }
      continue;
    }
    char* end = nullptr;
    uint64_t address = std::strtoull(line, &end, 16);
    if (end != colon) continue;
    char* hex = colon + 2;
    char* tab = std::strchr(hex, '\t');
    std::string text = tab ? std::string(tab + 1) : std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (tab) *tab = '\0';
    std::vector<uint8_t> bytes;
    for (char* p = hex; *p;) {
      if (std::isxdigit(static_cast<unsigned char>(p[0])) && std::isxdigit(static_cast<unsigned char>(p[1]))) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
      } else {
        ++p;
      }
    }
    if (bytes.empty()) continue;
    if (run.Instructions.empty() || address != runEnd) {
      if (!run.Instructions.empty()) onRun(run);
      run = TRun();
      run.Address = address;
    }
    run.Instructions.push_back({run.Bytes.size(), bytes.size(), text});
    run.Bytes.insert(run.Bytes.end(), bytes.begin(), bytes.end());
    Classify(run, mode);
    runEnd = address + bytes.size();
    any = true;
  }
  if (!run.Instructions.empty()) onRun(run);
  return any;
}

TAgreement Compare(const std::string& module, TCodeMode mode, bool& listed) {
  TAgreement result;
  listed = Disassemble(module, mode, [&](const TRun& run) {
    for (const TListedInstruction& insn : run.Instructions) {
      if (!insn.Compared) {
        ++result.NotCompared;
        continue;
      }
      const uint8_t* at = run.Bytes.data() + insn.Offset;
      TInstruction decoded = DecodeInstruction(at, run.Bytes.size() - insn.Offset, mode);
      ++result.Compared;
      if (decoded.Decodable && decoded.Length == insn.Length) {
        ++result.Agreed;
      } else if (result.Disagreements.size() < 20) {
        std::ostringstream os;
        os << std::hex << run.Address + insn.Offset << ": " << Hex(at, insn.Length) << "  (" << insn.Text
           << ")  objdump " << std::dec << insn.Length << ", decoder "
           << (decoded.Decodable ? std::to_string(decoded.Length) : std::string("undecodable"))
           << ", next bytes " << Hex(at + insn.Length, std::min<size_t>(8, run.Bytes.size() - insn.Offset - insn.Length));
        result.Disagreements.push_back(os.str());
      }
    }
  });
  return result;
}

// Appends the non-empty names of list, separated by separator.
void AddModules(std::vector<std::string>& modules, const char* list, char separator) {
  std::stringstream names(list);
  for (std::string m; std::getline(names, m, separator);) {
    if (!m.empty()) modules.push_back(m);
  }
}

std::vector<std::string> Modules() {
  std::vector<std::string> modules;
  AddModules(modules, TARN_OBJDUMP_MODULES, ';');
#ifdef TARN_OBJDUMP_PROGRAMS
  // The project's own programs ("|"-separated: the build passes them through a list-minded tool).
  AddModules(modules, TARN_OBJDUMP_PROGRAMS, '|');
#endif
  return modules;
}

// Compares every module that exists; returns how many did.
size_t CheckModules(const std::vector<std::string>& modules, TCodeMode mode) {
  size_t checked = 0;
  for (const std::string& module : modules) {
    if (!std::filesystem::exists(module)) {
      std::printf("[ skipped  ] %s: no such file\n", module.c_str());
      continue;
    }
    bool listed = false;
    TAgreement a = Compare(module, mode, listed);
    EXPECT_TRUE(listed) << "objdump listed no instructions for " << module;
    if (!listed) continue;
    ++checked;
    std::printf("[ objdump  ] %s: %zu compared, %zu agree (%.4f %%), %zu not compared\n", module.c_str(),
                a.Compared, a.Agreed, a.Compared ? 100.0 * a.Agreed / a.Compared : 0.0, a.NotCompared);
    for (const std::string& d : a.Disagreements) std::printf("    %s\n", d.c_str());
    EXPECT_GT(a.Compared, 0u) << module;
    EXPECT_EQ(a.Agreed, a.Compared) << module;
  }
  return checked;
}

TEST(InstructionLengthObjdump, AgreesOnEveryInstructionObjdumpDecodes) {
  if (CheckModules(Modules(), TCodeMode::Code32) == 0)
    GTEST_SKIP() << "none of the modules exists: " << TARN_OBJDUMP_MODULES;
}

TEST(InstructionLengthObjdump, AgreesOnEvery64BitInstructionOfTheSystemDlls) {
  std::vector<std::string> modules;
  AddModules(modules, TARN_OBJDUMP_MODULES64, ';');
  if (CheckModules(modules, TCodeMode::Code64) == 0)
    GTEST_SKIP() << "none of the 64-bit modules exists: " << TARN_OBJDUMP_MODULES64;
}

TEST(InstructionLengthObjdump, AgreesOnEvery64BitInstructionOfOurPrograms) {
#ifdef TARN_OBJDUMP_PROGRAMS64
  std::vector<std::string> modules;
  AddModules(modules, TARN_OBJDUMP_PROGRAMS64, '|');
  std::vector<std::string> absent;
  for (const std::string& m : modules)
    if (!std::filesystem::exists(m)) absent.push_back(m);
  CheckModules(modules, TCodeMode::Code64);
  if (!absent.empty())
    GTEST_SKIP() << absent.size() << " of the 64-bit programs are not built (the container tool's 64-bit "
                 << "fixtures), first: " << absent.front();
#else
  GTEST_SKIP() << "the build names no 64-bit programs (TARN_OBJDUMP_PROGRAMS64)";
#endif
}

}  // namespace
