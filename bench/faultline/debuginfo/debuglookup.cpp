// Debug lookup per address, ours (the unit-by-unit DebugLookup and the TDebugIndex built from the
// same stream) against i686-w64-mingw32-addr2line on the same addresses in the same run, the
// index's one-time build, and the container's size against the DWARF sections of the module.
// Run: bench_debuglookup [MODULE.exe...]; without arguments the fldata fixture and, when the
// Windows build has made it, the 11 MB test program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
#include "faultline/debuginfo/debuginfo_index.h"
#include "tools/fldata/pe_image.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double RunAddr2line(const fs::path& exe, const fs::path& list, std::string& output) {
  auto t0 = Clock::now();
  std::string command = "i686-w64-mingw32-addr2line -f -e '" + exe.string() + "' < '" + list.string() + "'";
  FILE* p = popen(command.c_str(), "r");
  char buf[65536];
  size_t n;
  output.clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  pclose(p);
  return Seconds(t0, Clock::now());
}

int BenchModule(const fs::path& source) {
  char tmpl[] = "/tmp/tarn-bench-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  fs::path exe = dir / source.filename();
  fs::copy_file(source, exe);
  std::string embed = std::string(FLDATA_TOOL) + " embed --options " TARN_SOURCE_DIR "/assets/Tarn_Import.options '" +
                      exe.string() + "' 2>/dev/null";
  if (std::system(embed.c_str()) != 0) {
    std::fprintf(stderr, "embedding failed\n");
    return 1;
  }

  TPeImage image(ReadWhole(exe));
  uint64_t dwarfBytes = 0;
  for (const auto& s : image.Sections())
    if (s.Name.rfind(".debug_", 0) == 0) dwarfBytes += s.VirtualSize;
  std::string resource = *image.FindResource(10, "FLDATA");

  auto t0 = Clock::now();
  auto container = ReadContainer(resource);
  double loadSeconds = Seconds(t0, Clock::now());
  TDebugModule module;
  module.Stream = container->DebugInfo;
  module.Version = container->Version;
  module.Handle = image.ImageBase();
  module.PasswordAccepted = PasswordMatches(container->PasswordCheck, "");
  // The procedure-start rule reads the code as the running program reads its own memory.
  module.ReadCode = [&image](uint32_t address, void* buffer, size_t size) {
    for (const TPeSection& s : image.Sections()) {
      uint64_t at = uint64_t(address) - image.ImageBase() - s.VirtualAddress;
      std::string_view bytes = image.SectionBytes(s);
      if (address >= image.ImageBase() + s.VirtualAddress && at + size <= bytes.size()) {
        std::memcpy(buffer, bytes.data() + at, size);
        return true;
      }
    }
    return false;
  };

  // Addresses spread over the code that the debug information covers.
  const TPeSection* text = image.FindSection(".text");
  std::mt19937 rng(12345);
  const int count = 2000;
  std::vector<uint32_t> addresses;
  for (int i = 0; i < count; ++i)
    addresses.push_back(image.ImageBase() + text->VirtualAddress + rng() % text->VirtualSize);
  fs::path list = dir / "addresses.txt";
  {
    std::ofstream out(list);
    for (uint32_t a : addresses) out << std::hex << a << "\n";
  }

  // The index: built once per module (best of five builds), then a binary search per address.
  double build = 1e9;
  std::optional<TDebugIndex> index;
  for (int pass = 0; pass < 5; ++pass) {
    index.reset();
    auto a = Clock::now();
    index.emplace(module);
    build = std::min(build, Seconds(a, Clock::now()));
  }

  // Unit by unit: best of five passes over all addresses.
  double best = 1e9;
  size_t hits = 0;
  std::vector<int> ourLines(count);
  for (int pass = 0; pass < 5; ++pass) {
    auto a = Clock::now();
    hits = 0;
    for (int i = 0; i < count; ++i) {
      TDebugHit hit;
      if (DebugLookup(module, addresses[i], hit)) {
        ++hits;
        ourLines[i] = hit.Line;
      }
    }
    best = std::min(best, Seconds(a, Clock::now()));
  }
  // The index: best of five passes of 100 rounds over all addresses (one round is too short for
  // the clock); the hit is reused as a caller would reuse its stack entry.
  const int rounds = 100;
  double indexBest = 1e9;
  size_t indexHits = 0;
  for (int pass = 0; pass < 5; ++pass) {
    TDebugHit hit;
    auto a = Clock::now();
    indexHits = 0;
    for (int round = 0; round < rounds; ++round)
      for (int i = 0; i < count; ++i) indexHits += index->Lookup(addresses[i], hit);
    indexBest = std::min(indexBest, Seconds(a, Clock::now()));
  }
  indexHits /= rounds;
  // And with a new hit per address, as the unit-by-unit passes above do (names longer than the
  // strings' own buffer are then allocated each time).
  double freshBest = 1e9;
  for (int pass = 0; pass < 5; ++pass) {
    auto a = Clock::now();
    for (int round = 0; round < rounds; ++round)
      for (int i = 0; i < count; ++i) {
        TDebugHit hit;
        index->Lookup(addresses[i], hit);
      }
    freshBest = std::min(freshBest, Seconds(a, Clock::now()));
  }
  // Both ours answer alike on every address (the unit tests compare them in full).
  int differ = 0;
  for (int i = 0; i < count; ++i) {
    TDebugHit x, y;
    bool fx = DebugLookup(module, addresses[i], x), fy = index->Lookup(addresses[i], y);
    differ += fx != fy || x.Unit != y.Unit || x.Class != y.Class || x.Procedure != y.Procedure || x.Line != y.Line ||
              x.LineOffset != y.LineOffset;
  }

  // addr2line: one process for all addresses (its start-up and DWARF reading spread over them),
  // and one for a single address (start-up alone), best of three each.
  std::string output, single;
  double theirs = 1e9, startup = 1e9;
  fs::path one = dir / "one.txt";
  {
    std::ofstream out(one);
    out << std::hex << addresses[0] << "\n";
  }
  for (int pass = 0; pass < 3; ++pass) {
    theirs = std::min(theirs, RunAddr2line(exe, list, output));
    startup = std::min(startup, RunAddr2line(exe, one, single));
  }
  // Agreement on lines where addr2line knows one.
  std::istringstream in(output);
  std::string fn, loc;
  int compared = 0, same = 0;
  for (int i = 0; i < count && std::getline(in, fn) && std::getline(in, loc); ++i) {
    int line = std::atoi(loc.c_str() + loc.rfind(':') + 1);
    if (line <= 0) continue;
    ++compared;
    same += ourLines[i] == line;
  }

  double oursPer = best / count * 1e6, theirsPer = theirs / count * 1e6;
  double indexPer = indexBest / (double(count) * rounds) * 1e6;
  double freshPer = freshBest / (double(count) * rounds) * 1e6;
  double marginal = (theirs - startup) / (count - 1) * 1e6;
  std::printf("module                 %s\n", source.c_str());
  std::printf("DWARF sections         %llu bytes\n", static_cast<unsigned long long>(dwarfBytes));
  std::printf("container (FLDATA)     %zu bytes (%.2f%% of DWARF); debug stream %zu bytes uncompressed\n",
              resource.size(), 100.0 * resource.size() / double(dwarfBytes), container->DebugInfo.size());
  std::printf("container load         %.3f ms (inflate)\n", loadSeconds * 1e3);
  std::printf("addresses              %d, %zu resolved by us; lines equal to addr2line's at %d of %d\n", count, hits,
              same, compared);
  std::printf("index lookup           %.3f us per address, %.3f us with a new hit each time (%zu resolved; %d "
              "differ from unit by unit)\n",
              indexPer, freshPer, indexHits, differ);
  std::printf("index build            %.2f ms once per module (%zu units, %zu ranges, %zu contexts, %zu names, "
              "%zu KiB)\n",
              build * 1e3, index->UnitCount(), index->RangeCount(), index->ContextCount(), index->NameCount(),
              index->MemoryBytes() / 1024);
  std::printf("unit-by-unit lookup    %.2f us per address\n", oursPer);
  std::printf("addr2line              %.2f us per address in one run of %d (start-up alone %.1f ms; %.2f us per "
              "further address)\n",
              theirsPer, count, startup * 1e3, marginal);
  std::printf("ratio addr2line/index  %.1f (whole run), %.1f (per further address)\n", theirsPer / indexPer,
              marginal / indexPer);
  std::printf("ratio addr2line/index, new hit each time  %.1f (whole run), %.1f (per further address)\n",
              theirsPer / freshPer, marginal / freshPer);
  std::printf("ratio unit-by-unit/index %.1f (%.1f with a new hit each time)\n", oursPer / indexPer,
              oursPer / freshPer);
  std::printf("ratio addr2line/unit-by-unit %.1f (whole run), %.1f (per further address)\n", theirsPer / oursPer,
              marginal / oursPer);
  std::printf("index build / unit-by-unit lookups  %.0f addresses\n\n", build * 1e6 / oursPer);
  fs::remove_all(dir);
  return differ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> modules;
  for (int i = 1; i < argc; ++i) modules.push_back(argv[i]);
  if (modules.empty()) {
    modules.push_back(DEFAULT_MODULE);
    if (fs::exists(DEFAULT_LARGE_MODULE))
      modules.push_back(DEFAULT_LARGE_MODULE);
    else
      std::printf("(%s is absent: build the Windows tree for the large program)\n\n", DEFAULT_LARGE_MODULE);
  }
  int status = 0;
  for (const fs::path& m : modules) status |= BenchModule(m);
  return status;
}
