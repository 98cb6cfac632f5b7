// The instruction-length decoder against a real disassembler: every instruction that
// i686-w64-mingw32-objdump decodes in the code sections of real Windows modules must get the same
// length from DecodeInstruction, decoded from the same bytes with only the rest of the contiguous
// listing available.
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

bool IsPrefixByte(uint8_t b) {
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
void Classify(TRun& run) {
  TListedInstruction& insn = run.Instructions.back();
  const uint8_t* b = run.Bytes.data() + insn.Offset;
  if (insn.Text.find("(bad)") != std::string::npos || insn.Text.rfind(".byte", 0) == 0 ||
      HasUnknownOperand(insn.Text)) {
    insn.Compared = false;
    return;
  }
  size_t prefixes = 0;
  while (prefixes < insn.Length && IsPrefixByte(b[prefixes])) ++prefixes;
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
bool Disassemble(const std::string& module, F onRun) {
  std::string command = "i686-w64-mingw32-objdump -d --insn-width=16 -M intel '" + module + "' 2>/dev/null";
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
    Classify(run);
    runEnd = address + bytes.size();
    any = true;
  }
  if (!run.Instructions.empty()) onRun(run);
  return any;
}

TAgreement Compare(const std::string& module, bool& listed) {
  TAgreement result;
  listed = Disassemble(module, [&](const TRun& run) {
    for (const TListedInstruction& insn : run.Instructions) {
      if (!insn.Compared) {
        ++result.NotCompared;
        continue;
      }
      const uint8_t* at = run.Bytes.data() + insn.Offset;
      TInstruction decoded = DecodeInstruction(at, run.Bytes.size() - insn.Offset);
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

std::vector<std::string> Modules() {
  std::vector<std::string> modules;
  std::stringstream list(TARN_OBJDUMP_MODULES);
  for (std::string m; std::getline(list, m, ';');) {
    if (!m.empty()) modules.push_back(m);
  }
#ifdef TARN_OBJDUMP_PROGRAMS
  // The project's own programs ("|"-separated: the build passes them through a list-minded tool).
  std::stringstream programs(TARN_OBJDUMP_PROGRAMS);
  for (std::string m; std::getline(programs, m, '|');) {
    if (!m.empty()) modules.push_back(m);
  }
#endif
  return modules;
}

TEST(InstructionLengthObjdump, AgreesOnEveryInstructionObjdumpDecodes) {
  size_t checked = 0;
  for (const std::string& module : Modules()) {
    if (!std::filesystem::exists(module)) {
      std::printf("[ skipped  ] %s: no such file\n", module.c_str());
      continue;
    }
    bool listed = false;
    TAgreement a = Compare(module, listed);
    ASSERT_TRUE(listed) << "objdump listed no instructions for " << module;
    ++checked;
    std::printf("[ objdump  ] %s: %zu compared, %zu agree (%.4f %%), %zu not compared\n", module.c_str(),
                a.Compared, a.Agreed, a.Compared ? 100.0 * a.Agreed / a.Compared : 0.0, a.NotCompared);
    for (const std::string& d : a.Disagreements) std::printf("    %s\n", d.c_str());
    EXPECT_GT(a.Compared, 0u) << module;
    EXPECT_EQ(a.Agreed, a.Compared) << module;
  }
  if (checked == 0) GTEST_SKIP() << "none of the modules exists: " << TARN_OBJDUMP_MODULES;
}

}  // namespace
