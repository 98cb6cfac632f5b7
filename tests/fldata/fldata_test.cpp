// The container build tool on a real Windows program (tests/fldata/fixture, built with -g at -O0
// and -O2): embedding keeps every byte the linker wrote, Wine runs the program and finds both its
// own resources and the container (where 32-bit programs run: elsewhere those cases are skipped), and the debug lookup of every address of the program's code
// agrees with i686-w64-mingw32-addr2line.
//
// Differences the stream's format implies, and so allowed:
//  - names: addr2line prints demangled names with parameters (and a return type for template
//    instances); the stream keeps scope and name only. addr2line leaves out "(anonymous
//    namespace)" for functions without a linkage name; the stream keeps the scope.
//  - inlining (-O2): addr2line names the innermost inlined function; the stream has no inline
//    chains and names the function whose code it is (addr2line's outermost frame). Units and
//    lines are those of the innermost location in both.
//  - addresses for which addr2line knows no line (padding, line 0) are not compared.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
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

// Whether 32-bit Windows programs run here. The test command says so (TARN_WIN32, from
// scripts/machine.sh); run by hand, Wine's own 32-bit server program is asked.
bool Win32Runs(std::string* why) {
  if (const char* said = std::getenv("TARN_WIN32")) {
    const char* reason = std::getenv("TARN_WIN32_WHY");
    *why = reason ? reason : "TARN_WIN32 is not yes";
    return std::strcmp(said, "yes") == 0;
  }
  int status = 0;
  *why = Shell("/usr/lib/wine/wineserver32 --version 2>&1", &status);
  return status == 0;
}

// Runs a fixture under 32-bit Wine, or skips the calling test where that cannot be done.
#define RUN_UNDER_WINE32(exe, output)                                                  \
  do {                                                                                 \
    std::string why_;                                                                  \
    if (!Win32Runs(&why_)) GTEST_SKIP() << "32-bit Wine cannot run here: " << why_;    \
    output = Shell(TARN_SOURCE_DIR "/scripts/wine-run.sh " + (exe).string() + " 2>/dev/null"); \
  } while (0)

// A fixture copied to a temporary folder and given its container by the tool.
fs::path Embedded(const TempDir& dir, const std::string& opt, const std::string& extra = "") {
  fs::path exe = dir / ("fixture_" + opt + ".exe");
  fs::copy_file(fs::path(FLDATA_FIXTURES) / ("fixture_" + opt + ".exe"), exe);
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

TEST(FldataEmbed, LinkedBytesStay) {
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, opt);
    TPeImage before(ReadWhole(fs::path(FLDATA_FIXTURES) / ("fixture_" + opt + ".exe")));
    TPeImage after(ReadWhole(exe));
    ASSERT_NE(before.FindSection(".text"), nullptr);
    for (const TPeSection& s : before.Sections()) {
      const TPeSection* t = after.FindSection(s.Name);
      ASSERT_NE(t, nullptr) << s.Name;
      EXPECT_EQ(t->VirtualAddress, s.VirtualAddress) << s.Name;
      EXPECT_TRUE(after.SectionBytes(*t) == before.SectionBytes(s)) << s.Name;
    }
    // The code as objcopy sees it, too.
    std::string objcopy = "i686-w64-mingw32-objcopy -O binary -j .text ";
    EXPECT_EQ(Shell(objcopy + exe.string() + " /dev/stdout"),
              Shell(objcopy + (fs::path(FLDATA_FIXTURES) / ("fixture_" + opt + ".exe")).string() + " /dev/stdout"));
  }
}

TEST(FldataEmbed, WineRunsTheProgramAndFindsItsResources) {
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, opt);
    size_t containerSize = TPeImage(ReadWhole(exe)).FindResource(10, "FLDATA")->size();
    std::string output;
    RUN_UNDER_WINE32(exe, output);
    EXPECT_NE(output.find("area 12 perimeter 14 scaled 24 sum 7 acc 9"), std::string::npos) << output;
    EXPECT_NE(output.find("OTHER 16 FLDATA " + std::to_string(containerSize) + " string seven"), std::string::npos)
        << output;
  }
}

TEST(FldataEmbed, SecondRunReplacesTheContainer) {
  TempDir dir;
  fs::path exe = Embedded(dir, "O0");
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
TEST(FldataOptions, NewOptionsForAShippedModule) {
  TempDir dir;
  fs::path exe = Embedded(dir, "O0", "--password pw");
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
  fs::copy_file(fs::path(FLDATA_FIXTURES) / "fixture_O0.exe", bare);
  out = Shell(std::string(FLDATA_TOOL) + " options --options " + options.string() + " " + bare.string() + " 2>&1",
              &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("has no FLDATA resource"), std::string::npos) << out;
}

TEST(FldataOptions, ProgramWithNewOptionsStillRuns) {
  TempDir dir;
  fs::path exe = Embedded(dir, "O0");
  const fs::path options = dir / "shipping.options";
  std::ofstream(options) << "MailMode=2\nMailTo=crashes@tarn-import.example\n";
  int status = 0;
  std::string out = Shell(std::string(FLDATA_TOOL) + " options --options " + options.string() + " " + exe.string() +
                              " 2>&1",
                          &status);
  ASSERT_EQ(status, 0) << out;
  RUN_UNDER_WINE32(exe, out);
  EXPECT_NE(out.find("area 12"), std::string::npos) << out;
}

// Symbol ids 0 and 1 are the entry points of TApplication::HandleException and ShowException, as
// nm sees them, whether the module has DWARF or only its symbol table.
TEST(FldataEmbed, SymbolTableNamesTheApplicationHandlers) {
  TempDir dir;
  for (std::string variant : {"app", "app_nodebug"}) {
    fs::path exe = Embedded(dir, variant);
    std::istringstream nm(Shell("i686-w64-mingw32-nm " + exe.string()));
    std::map<std::string, uint32_t> expected;
    std::string line;
    while (std::getline(nm, line)) {
      if (line.find(" T __ZN12TApplication15HandleException") != std::string::npos) expected["0"] = std::stoul(line, nullptr, 16);
      if (line.find(" T __ZN12TApplication13ShowException") != std::string::npos) expected["1"] = std::stoul(line, nullptr, 16);
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

// ---------------------------------------------------------------------------------------------

struct TFrame {
  std::string Function, File;
  int Line = 0;  // 0: unknown
};

std::string Demangled(std::string name) {
  if (name.rfind("Z", 0) == 0) name = "_" + name;  // addr2line drops the PE symbol underscore
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
std::vector<std::vector<TFrame>> Addr2line(const fs::path& exe, const std::vector<uint32_t>& addresses) {
  fs::path list = exe.string() + ".addresses";
  {
    std::ofstream out(list);
    for (uint32_t a : addresses) out << std::hex << a << "\n";
  }
  std::istringstream in(Shell("i686-w64-mingw32-addr2line -a -f -i -e " + exe.string() + " < " + list.string()));
  std::vector<std::vector<TFrame>> result;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("0x", 0) == 0 && line.size() == 10) {
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
std::vector<uint32_t> FixtureAddresses(const fs::path& exe) {
  std::istringstream nm(Shell("i686-w64-mingw32-nm -n " + exe.string()));
  std::vector<std::pair<uint32_t, std::string>> symbols;
  std::string line;
  while (std::getline(nm, line)) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (!(fields >> address >> kind >> name)) continue;  // undefined symbols have no address
    if ((kind == "T" || kind == "t") && name[0] != '.') symbols.emplace_back(std::stoul(address, nullptr, 16), name);
  }
  std::vector<uint32_t> all;
  for (size_t i = 0; i + 1 < symbols.size(); ++i)
    for (uint32_t a = symbols[i].first; a < symbols[i + 1].first; ++a) all.push_back(a);
  return all;
}

TEST(FldataLookup, AgreesWithAddr2line) {
  TempDir dir;
  for (std::string opt : {"O0", "O2"}) {
    fs::path exe = Embedded(dir, opt);
    TLoaded loaded = Load(exe);
    TDebugModule module = DebugModule(loaded, "");
    ASSERT_TRUE(module.PasswordAccepted);
    std::vector<uint32_t> addresses = FixtureAddresses(exe);
    auto frames = Addr2line(exe, addresses);
    ASSERT_EQ(frames.size(), addresses.size());
    size_t compared = 0, inlined = 0, anonymous = 0;
    std::set<std::string> functions;
    for (size_t i = 0; i < addresses.size(); ++i) {
      const auto& f = frames[i];
      if (f.empty() || f[0].Line == 0) continue;
      if (f[0].File != "main.cpp" && f[0].File != "shapes.cpp" && f[0].File != "shapes.h") continue;
      ++compared;
      TDebugHit hit;
      ASSERT_TRUE(DebugLookup(module, addresses[i], hit)) << opt << std::hex << " " << addresses[i];
      EXPECT_EQ(hit.Unit, f[0].File) << opt << std::hex << " " << addresses[i];
      EXPECT_EQ(hit.Line, f[0].Line) << opt << std::hex << " " << addresses[i];
      std::string ours = hit.Class.empty() ? hit.Procedure : hit.Class + "::" + hit.Procedure;
      std::string theirs = f.back().Function == "??" ? "" : f.back().Function;  // no procedure known to either
      if (ours != theirs && ours == "(anonymous namespace)::" + theirs) {
        ++anonymous;
        ours = theirs;
      }
      EXPECT_EQ(ours, theirs) << opt << std::hex << " " << addresses[i];
      inlined += f.size() > 1;
      functions.insert(ours);
    }
    std::printf("[ fldata -%s ] %zu addresses of %zu functions compared; innermost inlined name differs at %zu, "
                "anonymous namespace shown only by us at %zu\n",
                opt.c_str(), compared, functions.size(), inlined, anonymous);
    EXPECT_GE(functions.size(), opt == "O0" ? 12u : 6u);
    if (opt == "O0") {
      EXPECT_EQ(inlined, 0u);
    }
  }
}

TEST(FldataLookup, RefusedPasswordShowsEncipheredNames) {
  TempDir dir;
  fs::path exe = Embedded(dir, "O0", "--password secret");
  TLoaded loaded = Load(exe);
  std::vector<uint32_t> addresses = FixtureAddresses(exe);
  auto frames = Addr2line(exe, addresses);
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (frames[i].empty() || frames[i][0].File != "shapes.cpp" || frames[i][0].Line == 0) continue;
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

}  // namespace
