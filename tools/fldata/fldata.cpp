// fldata: the container build tool. After a module is linked it reads the module's DWARF, writes
// the debug-information stream, the symbol table, the options record from a readable options file
// and the password check, and puts the "FLDATA" RT_RCDATA resource into the module. The code of
// the module is left byte for byte as the linker wrote it (checked before the file is replaced).
//
//   fldata embed --options FILE [--password TEXT] MODULE
//   fldata options --options FILE MODULE
//     replaces only the options of a module that has its container (one already built or shipped)
//   fldata lookup [--password TEXT] MODULE ADDRESS...   (hex; "-" reads addresses from stdin)
//     prints per address: address, unit, class, procedure, line, line offset (tab-separated); the
//     address in as many hex digits as the module's addresses have (8, or 16 for a 64-bit module)
//   fldata dump [--password TEXT] MODULE
//     prints what the container holds: a summary as "#" comment lines, then the module's options
//     as an options file, which `fldata options` takes back (to read, edit and embed again)
//
// Every error names the file it is about (and, for an options file, the line).
#include <cxxabi.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
#include "faultline/codecs/codecs.h"
#include "faultline/options/options.h"
#include "faultline/options/options_file.h"
#include "tools/fldata/dwarf_reader.h"
#include "tools/fldata/pe_image.h"

namespace {

constexpr uint16_t kRtRcData = 10;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception(path + ": cannot open the file");
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) throw Exception(path + ": cannot read the file");
  return s.str();
}

// Runs body; an error it raises that does not name the file yet gets the file's name in front.
template <class F>
auto AboutFile(const std::string& path, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.rfind(path + ":", 0) == 0 || what.rfind(path + ",", 0) == 0) throw;
    throw Exception(path + ": " + what);
  }
}

// The module as a PE image, its damage reported against its file name.
TPeImage ReadModule(const std::string& modulePath) {
  std::string bytes = ReadWhole(modulePath);
  return AboutFile(modulePath, [&] { return TPeImage(std::move(bytes)); });
}

// The options of a readable options file over the defaults; errors name the file and the line.
void ReadOptionsFile(TFaultModuleOptions& options, const std::string& optionsPath) {
  ParseOptionsFile(options, ReadWhole(optionsPath), optionsPath);
}

void ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".fldata-tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out) throw Exception("cannot write " + temp);
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) chmod(temp.c_str(), st.st_mode & 07777);
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw Exception("cannot replace " + path);
}

// The build time as a date-time value; SOURCE_DATE_EPOCH makes it reproducible.
double BuildTime() {
  int64_t seconds;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    seconds = std::strtoll(epoch, nullptr, 10);
  } else {
    seconds = int64_t(std::time(nullptr));
  }
  return 25569.0 + double(seconds) / 86400.0;
}

// The offsets of the code sections relative to the code base (image base + 4096).
void CodeRange(const TPeImage& image, uint32_t& low, uint32_t& high) {
  low = UINT32_MAX;
  high = 0;
  for (const auto& s : image.Sections()) {
    if (!s.Executable() || s.VirtualAddress < 4096) continue;
    low = std::min(low, s.VirtualAddress - 4096);
    high = std::max(high, s.VirtualAddress - 4096 + s.VirtualSize);
  }
  if (low > high) low = high = 0;
}

// Symbol ids of the framework procedures the reporting layer hooks.
struct TKnownSymbol {
  uint8_t Id;
  const char* Class;
  const char* Name;
};
constexpr TKnownSymbol kKnownSymbols[] = {
    {0, "TApplication", "HandleException"},
    {1, "TApplication", "ShowException"},
};

// The demangled name of a PE symbol ("__ZN12TApplication..." on 32-bit x86, "_ZN12TApplication..."
// on x86-64 -> "TApplication::HandleException(...)").
std::string DemangledSymbol(const std::string& name, bool underscored) {
  std::string mangled = underscored && name.rfind("__Z", 0) == 0 ? name.substr(1) : name;
  int status = 0;
  char* d = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  if (!d) return name;
  std::string out = d;
  std::free(d);
  return out;
}

// Entry points of the framework procedures: from the PE's symbol table when it has one (the exact
// entry, also for procedures that optimisation split into several ranges), else from the DWARF.
// The size is that of the procedure's range holding the entry, or up to the next symbol.
std::vector<TFaultSymbol> FindKnownSymbols(const TPeImage& image, const TModuleDebugData& dwarf) {
  std::vector<TFaultSymbol> symbols;
  auto coff = image.CodeSymbols();
  // Only 32-bit x86 puts an underscore before every C and C++ name.
  const bool underscored = !image.Is64();
  for (const TKnownSymbol& known : kKnownSymbols) {
    std::string prefix = std::string(known.Class) + "::" + known.Name + "(";
    std::optional<TFaultSymbol> found;
    for (size_t i = 0; i < coff.size() && !found; ++i) {
      if (coff[i].Rva < 4096 || DemangledSymbol(coff[i].Name, underscored).rfind(prefix, 0) != 0) continue;
      uint32_t offset = coff[i].Rva - 4096;
      uint32_t size = 1;
      for (size_t k = i + 1; k < coff.size(); ++k) {
        if (coff[k].Rva > coff[i].Rva) {
          size = coff[k].Rva - coff[i].Rva;
          break;
        }
      }
      for (const TDebugProcedure& p : dwarf.Procedures)
        if (p.Low == offset) size = p.High - p.Low;
      found = TFaultSymbol{known.Id, offset, size};
    }
    for (size_t i = 0; i < dwarf.Procedures.size() && !found; ++i) {
      const TDebugProcedure& p = dwarf.Procedures[i];
      if (p.Class == known.Class && p.Name == known.Name) found = TFaultSymbol{known.Id, p.Low, p.High - p.Low};
    }
    if (found) symbols.push_back(*found);
  }
  return symbols;
}

// Writes a container into the module in place of the one it has, leaving every section the
// linker wrote where it was and byte for byte as it was.
void WriteModuleContainer(const std::string& modulePath, const TPeImage& image, const std::string& resource) {
  std::string updated = image.WithResource(kRtRcData, FaultContainerResourceName, resource);
  TPeImage check(updated);
  const TPeSection* replaced = image.ReplaceableResourceSection();
  for (const auto& before : image.Sections()) {
    if (&before == replaced) continue;  // a container section of an earlier run, written anew
    const TPeSection* after = check.FindSection(before.Name);
    if (!after || after->VirtualAddress != before.VirtualAddress || check.SectionBytes(*after) != image.SectionBytes(before))
      throw Exception("embedding would change section " + before.Name);
  }
  if (check.FindResource(kRtRcData, FaultContainerResourceName) != resource)
    throw Exception("the embedded container does not read back");
  ReplaceFile(modulePath, updated);
}

// New options for a module that is already built and perhaps shipped without its DWARF: only the
// options record of its container changes; the debug information, the symbols, the password check
// and the build time stay as they are.
int ReplaceOptions(const std::string& modulePath, const std::string& optionsPath) {
  TPeImage image = ReadModule(modulePath);
  auto existing = image.FindResource(kRtRcData, FaultContainerResourceName);
  if (!existing) throw Exception(modulePath + " has no FLDATA resource: use fldata embed");
  auto container = AboutFile(modulePath, [&] { return ReadContainer(*existing); });
  if (!container) throw Exception(modulePath + ": container of a newer version");
  TFaultModuleOptions options(modulePath, false);
  ReadOptionsFile(options, optionsPath);
  container->OptionsRecord = SaveOptionsRecord(options);
  const std::string resource = WriteContainer(*container);
  WriteModuleContainer(modulePath, image, resource);
  std::fprintf(stderr, "fldata: %s: options replaced, container %zu bytes\n", modulePath.c_str(), resource.size());
  return 0;
}

int Embed(const std::string& modulePath, const std::string& optionsPath, const std::string& password) {
  TPeImage image = ReadModule(modulePath);
  uint32_t codeLow, codeHigh;
  CodeRange(image, codeLow, codeHigh);
  TModuleDebugData dwarf;
  try {
    dwarf = ReadModuleDwarf(modulePath, image.ImageBase(), codeLow, codeHigh);
  } catch (const EDwarfError& e) {
    // The module still gets its options; call stacks then fall back to export names.
    std::fprintf(stderr, "fldata: warning: %s: %s; no debug information embedded\n", modulePath.c_str(), e.what());
  }

  TFaultContainer container;
  container.Version = FaultContainerVersion;
  container.BuildTime = BuildTime();
  container.Symbols = FindKnownSymbols(image, dwarf);
  TFaultModuleOptions options(modulePath, false);
  ReadOptionsFile(options, optionsPath);
  container.OptionsRecord = SaveOptionsRecord(options);
  container.PasswordCheck = MakePasswordCheck(password);
  CipherSetKey(password);
  container.DebugInfo = EncodeDebugInfo(BuildDebugUnits(dwarf.Rows, dwarf.Procedures), FaultContainerVersion);
  std::string resource = WriteContainer(container);

  WriteModuleContainer(modulePath, image, resource);
  std::fprintf(stderr, "fldata: %s: %zu units, %zu procedures, %zu symbols, container %zu bytes\n",
               modulePath.c_str(), DecodeDebugInfo(container.DebugInfo).size(), dwarf.Procedures.size(),
               container.Symbols.size(), resource.size());
  return 0;
}

struct TLoadedModule {
  TPeImage Image;
  TFaultContainer Container;
  TDebugModule Debug;
};

TLoadedModule Load(const std::string& modulePath, const std::string& password) {
  TPeImage image = ReadModule(modulePath);
  auto resource = image.FindResource(kRtRcData, FaultContainerResourceName);
  if (!resource) throw Exception(modulePath + " has no FLDATA resource");
  auto container = AboutFile(modulePath, [&] { return ReadContainer(*resource); });
  if (!container) throw Exception(modulePath + ": container of a newer version");
  TLoadedModule m{std::move(image), std::move(*container), {}};
  return m;
}

void BindDebug(TLoadedModule& m, const std::string& password) {
  m.Debug.Stream = m.Container.DebugInfo;
  m.Debug.Version = m.Container.Version;
  m.Debug.Handle = m.Image.ImageBase();
  m.Debug.Password = password;
  m.Debug.PasswordAccepted = PasswordMatches(m.Container.PasswordCheck, password);
  const TPeImage* image = &m.Image;
  m.Debug.ReadCode = [image](uint64_t address, void* buffer, size_t size) {
    for (const auto& s : image->Sections()) {
      uint64_t start = image->ImageBase() + s.VirtualAddress;
      std::string_view bytes = image->SectionBytes(s);
      if (address >= start && address - start <= bytes.size() && size <= bytes.size() - (address - start)) {
        std::memcpy(buffer, bytes.data() + (address - start), size);
        return true;
      }
    }
    return false;
  };
}

void PrintLookup(const TLoadedModule& m, const std::string& text) {
  const uint64_t address = std::strtoull(text.c_str(), nullptr, 16);
  const int digits = m.Image.Is64() ? 16 : 8;
  TDebugHit hit;
  if (DebugLookup(m.Debug, address, hit)) {
    std::printf("%0*llX\t%s\t%s\t%s\t%d\t%d\n", digits, static_cast<unsigned long long>(address), hit.Unit.c_str(),
                hit.Class.c_str(), hit.Procedure.c_str(), hit.Line, hit.LineOffset);
  } else {
    std::printf("%0*llX\t??\n", digits, static_cast<unsigned long long>(address));
  }
}

// The summary as comment lines, then the options as an options file: the whole output is one that
// `fldata options` reads back.
int Dump(const std::string& modulePath, const TLoadedModule& m, const std::string& password) {
  TFaultModuleOptions options(modulePath, false);
  AboutFile(modulePath, [&] { LoadOptionsRecord(options, m.Container.OptionsRecord, m.Container.Version); });
  DebugCipherUsePassword(password);
  const auto units = AboutFile(modulePath, [&] { return DecodeDebugInfo(m.Container.DebugInfo, m.Container.Version); });
  std::printf("# version %u, %zu symbols, password %s\n", m.Container.Version, m.Container.Symbols.size(),
              m.Debug.PasswordAccepted ? "accepted" : "refused");
  for (const auto& s : m.Container.Symbols) std::printf("# symbol %u offset %08X size %u\n", s.Id, s.Offset, s.Size);
  for (const auto& u : units)
    std::printf("# unit %s first %d start %08X size %u entries %zu\n", u.Name.c_str(), u.FirstLine, u.Start, u.Size,
                u.Entries.size());
  std::printf("# options\n");
  const std::string text = FormatOptionsFile(options, false);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: fldata embed --options FILE [--password TEXT] MODULE\n"
               "       fldata options --options FILE MODULE   (new options, all else kept)\n"
               "       fldata lookup [--password TEXT] MODULE ADDRESS... (hex; - reads stdin)\n"
               "       fldata dump [--password TEXT] MODULE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1], optionsPath, password, module;
  std::vector<std::string> rest;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--options" && i + 1 < argc) {
      optionsPath = argv[++i];
    } else if (a == "--password" && i + 1 < argc) {
      password = argv[++i];
    } else if (module.empty()) {
      module = a;
    } else {
      rest.push_back(a);
    }
  }
  try {
    if (command == "embed") {
      if (module.empty() || optionsPath.empty()) return Usage();
      return Embed(module, optionsPath, password);
    }
    if (command == "options") {
      if (module.empty() || optionsPath.empty()) return Usage();
      return ReplaceOptions(module, optionsPath);
    }
    if (command == "lookup" || command == "dump") {
      if (module.empty()) return Usage();
      TLoadedModule m = Load(module, password);
      BindDebug(m, password);
      if (command == "dump") return Dump(module, m, password);
      if (rest.size() == 1 && rest[0] == "-") {
        std::string word;
        while (std::cin >> word) PrintLookup(m, word);
      } else {
        for (const auto& a : rest) PrintLookup(m, a);
      }
      return 0;
    }
    return Usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fldata: %s\n", e.what());
    return 1;
  }
}
