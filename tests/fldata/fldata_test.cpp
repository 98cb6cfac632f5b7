// The container build tool on a real Windows program (tests/fldata/fixture, built with -g at -O0
// and -O2, for 32-bit and for 64-bit Windows; each test runs once per architecture): embedding
// keeps every byte the linker wrote, Wine runs the program and finds both its own resources and
// the container (where programs of that width run: elsewhere those cases are skipped), and the
// debug lookup of every address of the program's code, in process and through `fldata lookup`,
// agrees with the toolchain's addr2line.
//
// Differences the stream's format implies, and so allowed:
//  - names: addr2line prints demangled names with parameters (and a return type for template
//    instances); the stream keeps scope and name only. addr2line leaves out "(anonymous
//    namespace)" for functions without a linkage name; the stream keeps the scope.
//  - inlining (-O2): addr2line names the innermost inlined function; the stream has no inline
//    chains and names the function whose code it is (addr2line's outermost frame). Units and
//    lines are those of the innermost location in both.
//  - addresses for which addr2line knows no line (padding, line 0) are not compared, nor those
//    that no sequence of the line table covers as objdump decodes it (the alignment padding that
//    the x86-64 compiler puts between functions, and code without DWARF): x86_64 addr2line
//    answers those from a neighbouring sequence.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
#include "tools/fldata/pe_image.h"

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tarn-fldata-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// One row per architecture the fixtures are built for (tests/fldata/CMakeLists.txt).
struct TArch {
  const char* Name;     // x86, x64
  const char* Fixture;  // the fixtures' name prefix
  const char* Tools;    // the toolchain's binutils prefix (the judges)
  const char* Symbol;   // what COFF symbols put before a C++ mangled name
  int Bits;
};
const TArch kArches[] = {
    {"x86", "fixture", "i686-w64-mingw32-", "_", 32},
    {"x64", "fixture64", "x86_64-w64-mingw32-", "", 64},
};

void PrintTo(const TArch& arch, std::ostream* os) { *os << arch.Name; }

// A built fixture of the architecture: "O0", "O2", "app", "app_nodebug".
fs::path Fixture(const TArch& arch, const std::string& variant) {
  return fs::path(FLDATA_FIXTURES) / (std::string(arch.Fixture) + "_" + variant + ".exe");
}

// Whether Windows programs of the architecture's width run here. The test command says so
// (TARN_WIN32 / TARN_WIN64, from scripts/machine.sh); run by hand, Wine's own server program of
// that width is asked.
bool WineRuns(const TArch& arch, std::string* why) {
  const std::string variable = "TARN_WIN" + std::to_string(arch.Bits);
  if (const char* said = std::getenv(variable.c_str())) {
    const char* reason = std::getenv((variable + "_WHY").c_str());
    *why = reason ? reason : variable + " is not yes";
    return std::strcmp(said, "yes") == 0;
  }
  int status = 0;
  *why = Shell("/usr/lib/wine/wineserver" + std::to_string(arch.Bits) + " --version 2>&1", &status);
  return status == 0;
}

// Runs a fixture under Wine of the architecture's width, or skips the calling test where that
// cannot be done.
#define RUN_UNDER_WINE(arch, exe, output)                                                             \
  do {                                                                                                \
    std::string why_;                                                                                 \
    if (!WineRuns(arch, &why_)) GTEST_SKIP() << (arch).Bits << "-bit Wine cannot run here: " << why_; \
    output = Shell("TARN_WINE_ARCH=" + std::to_string((arch).Bits) +                                  \
                   " " TARN_SOURCE_DIR "/scripts/wine-run.sh " + (exe).string() + " 2>/dev/null");    \
  } while (0)

// A fixture copied to a temporary folder and given its container by the tool.
fs::path Embedded(const TempDir& dir, const TArch& arch, const std::string& variant, const std::string& extra = "") {
  fs::path exe = dir / Fixture(arch, variant).filename().string();
  fs::copy_file(Fixture(arch, variant), exe);
  int status = 0;
  std::string out = Shell(std::string(FLDATA_TOOL) + " embed --options " TARN_SOURCE_DIR "/assets/Tarn_Import.options " +
                              extra + " " + exe.string() + " 2>&1",
                          &status);
  EXPECT_EQ(status, 0) << out;
  return exe;
}

struct TLoaded {
  TPeImage Image;
  TFaultContainer Container;
};

TLoaded Load(const fs::path& exe) {
  TPeImage image(ReadWhole(exe));
  auto resource = image.FindResource(10, "FLDATA");
  if (!resource) throw std::runtime_error("no container");
  auto container = ReadContainer(*resource);
  if (!container) throw std::runtime_error("unreadable container");
  return {std::move(image), std::move(*container)};
}

TDebugModule DebugModule(const TLoaded& m, const std::string& password) {
  TDebugModule d;
  d.Stream = m.Container.DebugInfo;
  d.Version = m.Container.Version;
  d.Handle = m.Image.ImageBase();
  d.Password = password;
  d.PasswordAccepted = PasswordMatches(m.Container.PasswordCheck, password);
  return d;
}

class FldataEmbed : public ::testing::TestWithParam<TArch> {};
class FldataOptions : public ::testing::TestWithParam<TArch> {};
class FldataLookup : public ::testing::TestWithParam<TArch> {};

TEST_P(FldataEmbed, LinkedBytesStay) {
  const TArch& arch = GetParam();
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, arch, opt);
    TPeImage before(ReadWhole(Fixture(arch, opt)));
    EXPECT_EQ(before.Is64(), arch.Bits == 64);
    TPeImage after(ReadWhole(exe));
    ASSERT_NE(before.FindSection(".text"), nullptr);
    for (const TPeSection& s : before.Sections()) {
      const TPeSection* t = after.FindSection(s.Name);
      ASSERT_NE(t, nullptr) << s.Name;
      EXPECT_EQ(t->VirtualAddress, s.VirtualAddress) << s.Name;
      EXPECT_TRUE(after.SectionBytes(*t) == before.SectionBytes(s)) << s.Name;
    }
    // The code as objcopy sees it, too.
    std::string objcopy = std::string(arch.Tools) + "objcopy -O binary -j .text ";
    EXPECT_EQ(Shell(objcopy + exe.string() + " /dev/stdout"),
              Shell(objcopy + Fixture(arch, opt).string() + " /dev/stdout"));
  }
}

TEST_P(FldataEmbed, WineRunsTheProgramAndFindsItsResources) {
  const TArch& arch = GetParam();
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, arch, opt);
    size_t containerSize = TPeImage(ReadWhole(exe)).FindResource(10, "FLDATA")->size();
    std::string output;
    RUN_UNDER_WINE(arch, exe, output);
    EXPECT_NE(output.find("area 12 perimeter 14 scaled 24 sum 7 acc 9"), std::string::npos) << output;
    EXPECT_NE(output.find("OTHER 16 FLDATA " + std::to_string(containerSize) + " string seven"), std::string::npos)
        << output;
  }
}

TEST_P(FldataEmbed, SecondRunReplacesTheContainer) {
  TempDir dir;
  fs::path exe = Embedded(dir, GetParam(), "O0");
  std::string first = ReadWhole(exe);
  int status = 0;
  Shell(std::string(FLDATA_TOOL) + " embed --options " TARN_SOURCE_DIR "/assets/Tarn_Import.options --password pw " +
            exe.string() + " 2>&1",
        &status);
  ASSERT_EQ(status, 0);
  TPeImage again(ReadWhole(exe));
  TPeImage once(first);
  EXPECT_EQ(again.Sections().size(), once.Sections().size());
  EXPECT_EQ(again.Bytes().size(), once.Bytes().size());
  EXPECT_FALSE(PasswordMatches(Load(exe).Container.PasswordCheck, ""));
  EXPECT_TRUE(PasswordMatches(Load(exe).Container.PasswordCheck, "pw"));
}

// Whoever ships a program gives it new delivery targets without building it again: only the
// options change; code, debug information, symbols and password check stay.
TEST_P(FldataOptions, NewOptionsForAShippedModule) {
  const TArch& arch = GetParam();
  TempDir dir;
  fs::path exe = Embedded(dir, arch, "O0", "--password pw");
  const TLoaded before = Load(exe);
  const std::string shipped = ReadWhole(exe);
  const fs::path options = dir / "shipping.options";
  std::ofstream(options) << "MailMode=2\nMailServer=mail.tarn-import.example\nMailTo=crashes@tarn-import.example\n"
                            "UploadMode=3\nUploadUrl=ftp://upload.tarn-import.example/reports/\n";
  int status = 0;
  std::string out = Shell(std::string(FLDATA_TOOL) + " options --options " + options.string() + " " + exe.string() +
                              " 2>&1",
                          &status);
  ASSERT_EQ(status, 0) << out;

  const TLoaded after = Load(exe);
  TFaultModuleOptions read(exe.string(), false);
  LoadOptionsRecord(read, after.Container.OptionsRecord, after.Container.Version);
  EXPECT_EQ(read.MailMode(), 2);
  EXPECT_EQ(read.MailServer(), "mail.tarn-import.example");
  EXPECT_EQ(read.MailTo(), "crashes@tarn-import.example");
  EXPECT_EQ(read.UploadUrl(), "ftp://upload.tarn-import.example/reports/");
  EXPECT_EQ(after.Container.DebugInfo, before.Container.DebugInfo);
  EXPECT_EQ(after.Container.Symbols.size(), before.Container.Symbols.size());
  EXPECT_EQ(after.Container.BuildTime, before.Container.BuildTime);
  EXPECT_TRUE(PasswordMatches(after.Container.PasswordCheck, "pw"));
  TPeImage was(shipped), now(ReadWhole(exe));
  for (const TPeSection& sec : was.Sections()) {
    if (sec.Name == ".rsrc2") continue;  // the container's own section, written anew
    const TPeSection* t = now.FindSection(sec.Name);
    ASSERT_NE(t, nullptr) << sec.Name;
    EXPECT_TRUE(now.SectionBytes(*t) == was.SectionBytes(sec)) << sec.Name;
  }
  // A module without a container is refused with a clear error.
  const fs::path bare = dir / "bare.exe";
  fs::copy_file(Fixture(arch, "O0"), bare);
  out = Shell(std::string(FLDATA_TOOL) + " options --options " + options.string() + " " + bare.string() + " 2>&1",
              &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("has no FLDATA resource"), std::string::npos) << out;
}

TEST_P(FldataOptions, ProgramWithNewOptionsStillRuns) {
  const TArch& arch = GetParam();
  TempDir dir;
  fs::path exe = Embedded(dir, arch, "O0");
  const fs::path options = dir / "shipping.options";
  std::ofstream(options) << "MailMode=2\nMailServer=mail.tarn-import.example\nMailTo=crashes@tarn-import.example\n";
  int status = 0;
  std::string out = Shell(std::string(FLDATA_TOOL) + " options --options " + options.string() + " " + exe.string() +
                              " 2>&1",
                          &status);
  ASSERT_EQ(status, 0) << out;
  RUN_UNDER_WINE(arch, exe, out);
  EXPECT_NE(out.find("area 12"), std::string::npos) << out;
}

// What `fldata dump` prints is an options file: embedded into a fresh copy of the program it gives
// the same container options and the same dump again, so a shipper can read back what a program
// carries, change it and put it back.
TEST_P(FldataOptions, DumpReadsBackAsOptions) {
  const TArch& arch = GetParam();
  TempDir dir;
  const fs::path options = dir / "shipped.options";
  // Values of every kind, texts with bytes that need escapes and a GBK text among them.
  std::ofstream(options, std::ios::binary)
      << "\xEF\xBB\xBF# saved by an editor that writes a byte-order mark\r\n"
         "MailMode=3\r\nMailTo=crashes@tarn-import.example; dev@tarn-import.example\r\n"
         "MailSender=tarn@tarn-import.example\r\nMailServerPort=2525\r\n"
         "UploadMode=2\r\nUploadUrl=https://upload.tarn-import.example/reports\r\nUploadPort=8443\r\n"
         "LogPath=C:\\\\Logs\\\\Tarn\\\\\r\nSendFlags=0x41\r\nItemVisibility=0x0102030405\r\nFreezeSeconds=-1\r\n"
         "Text[5]=\xB1\xA8\xB8\xE6\\r\\n\\ttab\\x01\r\nFilterClass[0]=EAbort\r\nFilterText[0]=expected\r\n"
         "MailBody=line one\\r\\nline two\r\nMailFallbackDns=127.0.0.1:5353\r\n";
  const fs::path first = dir / "first.exe";
  fs::copy_file(Fixture(arch, "O0"), first);
  const std::string tool = std::string(FLDATA_TOOL);
  int status = 0;
  std::string out = Shell(tool + " embed --password pw --options " + options.string() + " " + first.string() + " 2>&1",
                          &status);
  ASSERT_EQ(status, 0) << out;
  const std::string dumped = Shell(tool + " dump --password pw " + first.string(), &status);
  ASSERT_EQ(status, 0) << dumped;
  EXPECT_NE(dumped.find("\nMailTo=crashes@tarn-import.example; dev@tarn-import.example\n"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\nText[5]=\xB1\xA8\xB8\xE6\\r\\n\\ttab\\x01\n"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\n# unit "), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\nMailFallbackDns=127.0.0.1:5353\n"), std::string::npos) << dumped;  // carried

  const fs::path readBack = dir / "read-back.options";
  std::ofstream(readBack, std::ios::binary) << dumped;
  const fs::path second = dir / "second.exe";
  fs::copy_file(Fixture(arch, "O0"), second);
  out = Shell(tool + " embed --password pw --options " + readBack.string() + " " + second.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(Shell(tool + " dump --password pw " + second.string()), dumped);
  EXPECT_EQ(Load(second).Container.OptionsRecord, Load(first).Container.OptionsRecord);
  // The options command takes it back as well, into a program built with other options.
  const fs::path third = Embedded(dir, arch, "O2");
  out = Shell(tool + " options --options " + readBack.string() + " " + third.string() + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(Load(third).Container.OptionsRecord, Load(first).Container.OptionsRecord);
}

// Each error names the file it is about, and for an options file the line and the option.
TEST_P(FldataOptions, ErrorsNameTheirFile) {
  const TArch& arch = GetParam();
  TempDir dir;
  const fs::path exe = Embedded(dir, arch, "O0");
  const std::string shipped = ReadWhole(exe);
  const fs::path options = dir / "shipping.options";
  const fs::path bare = dir / "bare.exe";
  fs::copy_file(Fixture(arch, "O0"), bare);
  struct {
    const char* What;
    std::string Options;  // the options file's text
    std::string Command;  // after the tool's name
    std::string Expected;
  } cases[] = {
      {"a value out of range", "LogOn=true\nMailMode=7\n", "options --options " + options.string() + " " + exe.string(),
       options.string() + ", line 2: MailMode"},
      {"an upload address of another mode", "UploadMode=3\nUploadUrl=http://upload.example/\n",
       "embed --options " + options.string() + " " + bare.string(), options.string() + ", line 2: UploadUrl"},
      {"a mail mode without recipients", "MailMode=3\n", "options --options " + options.string() + " " + exe.string(),
       options.string() + ", line 1: MailTo"},
      {"an unknown option", "\xEF\xBB\xBFLogOn=true\nMailFallback=127.0.0.1\n",
       "options --options " + options.string() + " " + exe.string(), options.string() + ", line 2: unknown option"},
      {"a missing options file", "", "options --options " + (dir / "none.options").string() + " " + exe.string(),
       (dir / "none.options").string() + ": cannot open"},
      {"a missing module", "LogOn=true\n", "dump " + (dir / "none.exe").string(),
       (dir / "none.exe").string() + ": cannot open"},
      {"a module without a container", "LogOn=true\n", "dump " + bare.string(), bare.string() + " has no FLDATA"},
  };
  for (const auto& c : cases) {
    std::ofstream(options, std::ios::binary | std::ios::trunc) << c.Options;
    int status = 0;
    const std::string out = Shell(std::string(FLDATA_TOOL) + " " + c.Command + " 2>&1", &status);
    EXPECT_NE(status, 0) << c.What;
    EXPECT_EQ(out.rfind("fldata: " + c.Expected, 0), 0u) << c.What << ": " << out;
  }
  EXPECT_TRUE(ReadWhole(exe) == shipped);  // a refused options file leaves the program as it was
}

// Symbol ids 0 and 1 are the entry points of TApplication::HandleException and ShowException, as
// nm sees them, whether the module has DWARF or only its symbol table.
TEST_P(FldataEmbed, SymbolTableNamesTheApplicationHandlers) {
  const TArch& arch = GetParam();
  TempDir dir;
  for (std::string variant : {"app", "app_nodebug"}) {
    fs::path exe = Embedded(dir, arch, variant);
    std::istringstream nm(Shell(std::string(arch.Tools) + "nm " + exe.string()));
    std::map<std::string, uint64_t> expected;
    std::string line;
    const std::string handle = std::string(" T ") + arch.Symbol + "_ZN12TApplication15HandleException";
    const std::string show = std::string(" T ") + arch.Symbol + "_ZN12TApplication13ShowException";
    while (std::getline(nm, line)) {
      if (line.find(handle) != std::string::npos) expected["0"] = std::stoull(line, nullptr, 16);
      if (line.find(show) != std::string::npos) expected["1"] = std::stoull(line, nullptr, 16);
    }
    ASSERT_EQ(expected.size(), 2u);
    TLoaded loaded = Load(exe);
    ASSERT_EQ(loaded.Container.Symbols.size(), 2u) << variant;
    for (const TFaultSymbol& s : loaded.Container.Symbols) {
      EXPECT_EQ(loaded.Image.ImageBase() + 4096 + s.Offset, expected[std::to_string(s.Id)]) << variant << " " << int(s.Id);
      EXPECT_GT(s.Size, 16u);
    }
  }
}

// A module whose headers are damaged is refused with a clear message, and the file stays as it
// was.
TEST_P(FldataEmbed, DamagedModuleIsRefused) {
  const TArch& arch = GetParam();
  const std::string good = ReadWhole(Fixture(arch, "O0"));
  uint32_t pe;
  std::memcpy(&pe, good.data() + 60, 4);
  uint16_t optSize;
  std::memcpy(&optSize, good.data() + pe + 20, 2);
  const size_t opt = pe + 24;
  struct TDamage {
    const char* What;
    std::function<void(std::string&)> Do;
    const char* Message;
  };
  const TDamage damages[] = {
      {"cut in the section table", [&](std::string& b) { b.resize(opt + optSize + 20); }, "section table cut short"},
      {"cut in the code", [&](std::string& b) { b.resize(b.size() / 2); }, "reaches past the end of the file"},
      {"unknown optional header", [&](std::string& b) { b[opt + 1] = 0x03; }, "not a PE32 or PE32+ image"},
      // Long enough for a PE32 header with a directory or two, too short for PE32+ fields.
      {"optional header shorter than its fields",
       [&](std::string& b) { b[pe + 20] = char(arch.Bits == 64 ? 0x68 : 0x58), b[pe + 21] = 0; },
       "optional header too short"},
  };
  TempDir dir;
  for (const TDamage& damage : damages) {
    std::string bytes = good;
    damage.Do(bytes);
    const fs::path exe = dir / "damaged.exe";
    std::ofstream(exe, std::ios::binary | std::ios::trunc) << bytes;
    int status = 0;
    std::string out = Shell(std::string(FLDATA_TOOL) + " embed --options " TARN_SOURCE_DIR "/assets/Tarn_Import.options " +
                                exe.string() + " 2>&1",
                            &status);
    EXPECT_NE(status, 0) << damage.What;
    EXPECT_NE(out.find(damage.Message), std::string::npos) << damage.What << ": " << out;
    EXPECT_NE(out.find("fldata: " + exe.string() + ": "), std::string::npos) << damage.What << ": " << out;
    EXPECT_TRUE(ReadWhole(exe) == bytes) << damage.What;
  }
}

// ---------------------------------------------------------------------------------------------

struct TFrame {
  std::string Function, File;
  int Line = 0;  // 0: unknown
};

std::string Demangled(std::string name) {
  if (name.rfind("Z", 0) == 0) name = "_" + name;  // i686 addr2line drops the PE symbol underscore
  if (name.rfind("_Z", 0) == 0) {
    int status = 0;
    char* d = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (d) {
      name = d;
      std::free(d);
    }
  }
  // Parameters and a template instance's return type are not part of a stored name.
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '(' && name.compare(i, 21, "(anonymous namespace)") != 0) {
      name.resize(i);
      break;
    }
  }
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>') --depth;
    if (name[i] == ' ' && depth == 0 && name.compare(i + 1, 10, "namespace)") != 0) start = i + 1;
  }
  return name.substr(start);
}

// addr2line -a -f -i: per address, innermost frame first.
std::vector<std::vector<TFrame>> Addr2line(const TArch& arch, const fs::path& exe,
                                           const std::vector<uint64_t>& addresses) {
  fs::path list = exe.string() + ".addresses";
  {
    std::ofstream out(list);
    for (uint64_t a : addresses) out << std::hex << a << "\n";
  }
  std::istringstream in(
      Shell(std::string(arch.Tools) + "addr2line -a -f -i -e " + exe.string() + " < " + list.string()));
  std::vector<std::vector<TFrame>> result;
  std::string line;
  // Each address is echoed as 0x and as many digits as the module's addresses have.
  const size_t echoed = 2 + size_t(arch.Bits) / 4;
  while (std::getline(in, line)) {
    if (line.rfind("0x", 0) == 0 && line.size() == echoed) {
      result.emplace_back();
      continue;
    }
    TFrame f;
    f.Function = Demangled(line);
    std::getline(in, line);
    size_t colon = line.rfind(':');
    std::string file = line.substr(0, colon);
    f.File = file.substr(file.find_last_of('/') + 1);
    f.Line = std::atoi(line.c_str() + colon + 1);
    result.back().push_back(f);
  }
  return result;
}

// The addresses of the fixture's own code: every function symbol up to the next symbol.
std::vector<uint64_t> FixtureAddresses(const TArch& arch, const fs::path& exe) {
  std::istringstream nm(Shell(std::string(arch.Tools) + "nm -n " + exe.string()));
  std::vector<std::pair<uint64_t, std::string>> symbols;
  std::string line;
  while (std::getline(nm, line)) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (!(fields >> address >> kind >> name)) continue;  // undefined symbols have no address
    if ((kind == "T" || kind == "t") && name[0] != '.') symbols.emplace_back(std::stoull(address, nullptr, 16), name);
  }
  std::vector<uint64_t> all;
  for (size_t i = 0; i + 1 < symbols.size(); ++i)
    for (uint64_t a = symbols[i].first; a < symbols[i + 1].first; ++a) all.push_back(a);
  return all;
}

// The address ranges [first row, end of sequence) that the sequences of the module's line tables
// cover, as objdump decodes them, sorted.
std::vector<std::pair<uint64_t, uint64_t>> LineSequences(const TArch& arch, const fs::path& exe) {
  std::istringstream in(
      Shell(std::string(arch.Tools) + "objdump --dwarf=decodedline " + exe.string() + " 2>/dev/null"));
  std::vector<std::pair<uint64_t, uint64_t>> sequences;
  std::optional<uint64_t> start;
  std::string line;
  while (std::getline(in, line)) {
    // A row: file, line ("-" at the end of a sequence), address, then perhaps view and statement.
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string word; fields >> word;) f.push_back(word);
    size_t at = 2;
    while (at < f.size() && f[at].rfind("0x", 0) != 0) ++at;
    if (at >= f.size() || at > 2) continue;
    const uint64_t address = std::stoull(f[at], nullptr, 16);
    if (f[at - 1] == "-") {
      if (start && *start < address) sequences.emplace_back(*start, address);
      start.reset();
    } else if (!start) {
      start = address;
    }
  }
  std::sort(sequences.begin(), sequences.end());
  return sequences;
}

bool Covered(const std::vector<std::pair<uint64_t, uint64_t>>& sequences, uint64_t address) {
  auto it = std::upper_bound(sequences.begin(), sequences.end(), std::make_pair(address, UINT64_MAX));
  if (it == sequences.begin()) return false;
  --it;
  return address >= it->first && address < it->second;
}

// One line of `fldata lookup`: address, unit, class, procedure, line, line offset; or address, ??.
struct TToolHit {
  std::string Address;
  bool Found = false;
  TDebugHit Hit;
};
std::vector<TToolHit> ToolLookup(const fs::path& exe, const std::vector<uint64_t>& addresses) {
  fs::path list = exe.string() + ".lookup";
  {
    std::ofstream out(list);
    for (uint64_t a : addresses) out << std::hex << a << "\n";
  }
  std::istringstream in(Shell(std::string(FLDATA_TOOL) + " lookup " + exe.string() + " - < " + list.string()));
  std::vector<TToolHit> hits;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream f(line);
    for (std::string field; std::getline(f, field, '\t');) fields.push_back(field);
    TToolHit h;
    h.Address = fields.empty() ? "" : fields[0];
    if (fields.size() == 6) {
      h.Found = true;
      h.Hit.Unit = fields[1];
      h.Hit.Class = fields[2];
      h.Hit.Procedure = fields[3];
      h.Hit.Line = std::atoi(fields[4].c_str());
    }
    hits.push_back(std::move(h));
  }
  return hits;
}

TEST_P(FldataLookup, AgreesWithAddr2line) {
  const TArch& arch = GetParam();
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, arch, opt);
    TLoaded loaded = Load(exe);
    TDebugModule module = DebugModule(loaded, "");
    ASSERT_TRUE(module.PasswordAccepted);
    std::vector<uint64_t> addresses = FixtureAddresses(arch, exe);
    auto frames = Addr2line(arch, exe, addresses);
    ASSERT_EQ(frames.size(), addresses.size());
    const auto sequences = LineSequences(arch, exe);
    ASSERT_FALSE(sequences.empty());
    size_t inlined = 0, anonymous = 0, uncovered = 0;
    std::set<std::string> functions;
    std::vector<uint64_t> compared;
    std::vector<TFrame> expected;  // addr2line's unit and line, and the name we must show
    for (size_t i = 0; i < addresses.size(); ++i) {
      const auto& f = frames[i];
      if (f.empty() || f[0].Line == 0) continue;
      if (f[0].File != "main.cpp" && f[0].File != "shapes.cpp" && f[0].File != "shapes.h") continue;
      if (!Covered(sequences, addresses[i])) {
        ++uncovered;
        continue;
      }
      compared.push_back(addresses[i]);
      TDebugHit hit;
      ASSERT_TRUE(DebugLookup(module, addresses[i], hit)) << opt << std::hex << " " << addresses[i];
      EXPECT_EQ(hit.Unit, f[0].File) << opt << std::hex << " " << addresses[i];
      EXPECT_EQ(hit.Line, f[0].Line) << opt << std::hex << " " << addresses[i];
      std::string ours = hit.Class.empty() ? hit.Procedure : hit.Class + "::" + hit.Procedure;
      std::string theirs = f.back().Function == "??" ? "" : f.back().Function;  // no procedure known to either
      expected.push_back({theirs, f[0].File, f[0].Line});
      if (ours != theirs && ours == "(anonymous namespace)::" + theirs) {
        ++anonymous;
        ours = theirs;
      }
      EXPECT_EQ(ours, theirs) << opt << std::hex << " " << addresses[i];
      inlined += f.size() > 1;
      functions.insert(ours);
    }
    std::printf("[ fldata %s -%s ] %zu addresses of %zu functions compared; innermost inlined name differs at %zu, "
                "anonymous namespace shown only by us at %zu; outside every line sequence (not compared): %zu\n",
                arch.Name, opt.c_str(), compared.size(), functions.size(), inlined, anonymous, uncovered);
    EXPECT_GE(functions.size(), opt == "O0" ? 12u : 6u);
    if (opt == "O0") {
      EXPECT_EQ(inlined, 0u);
    }

    // The same addresses through the tool, which prints each as the module's addresses are
    // written (as wide as nm writes them: 8 or 16 hex digits).
    auto tool = ToolLookup(exe, compared);
    ASSERT_EQ(tool.size(), compared.size()) << opt;
    const size_t digits = size_t(arch.Bits) / 4;
    for (size_t i = 0; i < compared.size(); ++i) {
      const std::string where = opt + " " + tool[i].Address;
      ASSERT_EQ(tool[i].Address.size(), digits) << where;
      EXPECT_EQ(std::stoull(tool[i].Address, nullptr, 16), compared[i]) << where;
      ASSERT_TRUE(tool[i].Found) << where;
      const TDebugHit& hit = tool[i].Hit;
      EXPECT_EQ(hit.Unit, expected[i].File) << where;
      EXPECT_EQ(hit.Line, expected[i].Line) << where;
      std::string ours = hit.Class.empty() ? hit.Procedure : hit.Class + "::" + hit.Procedure;
      if (ours == "(anonymous namespace)::" + expected[i].Function) ours = expected[i].Function;
      EXPECT_EQ(ours, expected[i].Function) << where;
    }
  }
}

TEST_P(FldataLookup, RefusedPasswordShowsEncipheredNames) {
  const TArch& arch = GetParam();
  TempDir dir;
  fs::path exe = Embedded(dir, arch, "O0", "--password secret");
  TLoaded loaded = Load(exe);
  std::vector<uint64_t> addresses = FixtureAddresses(arch, exe);
  auto frames = Addr2line(arch, exe, addresses);
  const auto sequences = LineSequences(arch, exe);
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (frames[i].empty() || frames[i][0].File != "shapes.cpp" || frames[i][0].Line == 0) continue;
    if (!Covered(sequences, addresses[i])) continue;
    TDebugHit plain, hidden;
    ASSERT_TRUE(DebugLookup(DebugModule(loaded, "secret"), addresses[i], plain));
    ASSERT_TRUE(DebugLookup(DebugModule(loaded, "wrong"), addresses[i], hidden));
    EXPECT_EQ(plain.Unit, "shapes.cpp");
    EXPECT_EQ(hidden.Unit.substr(0, 2), "?p");
    EXPECT_EQ(hidden.Procedure.substr(0, 2), "?p");
    EXPECT_EQ(hidden.Line, plain.Line);
    return;
  }
  FAIL() << "no address of shapes.cpp";
}

std::string ArchName(const ::testing::TestParamInfo<TArch>& info) { return info.param.Name; }
INSTANTIATE_TEST_SUITE_P(Arch, FldataEmbed, ::testing::ValuesIn(kArches), ArchName);
INSTANTIATE_TEST_SUITE_P(Arch, FldataOptions, ::testing::ValuesIn(kArches), ArchName);
INSTANTIATE_TEST_SUITE_P(Arch, FldataLookup, ::testing::ValuesIn(kArches), ArchName);

}  // namespace
