// Debug lookup per address, ours against i686-w64-mingw32-addr2line on the same addresses in the
// same run, and the container's size against the DWARF sections of the module.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
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

}  // namespace

int main(int argc, char** argv) {
  fs::path source = argc > 1 ? argv[1] : DEFAULT_MODULE;
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

  // Ours: best of five passes over all addresses.
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
  double marginal = (theirs - startup) / (count - 1) * 1e6;
  std::printf("module                 %s\n", source.c_str());
  std::printf("DWARF sections         %llu bytes\n", static_cast<unsigned long long>(dwarfBytes));
  std::printf("container (FLDATA)     %zu bytes (%.2f%% of DWARF); debug stream %zu bytes uncompressed\n",
              resource.size(), 100.0 * resource.size() / double(dwarfBytes), container->DebugInfo.size());
  std::printf("container load         %.3f ms (inflate)\n", loadSeconds * 1e3);
  std::printf("addresses              %d, %zu resolved by us; lines equal to addr2line's at %d of %d\n", count, hits,
              same, compared);
  std::printf("our lookup             %.2f us per address\n", oursPer);
  std::printf("addr2line              %.2f us per address in one run of %d (start-up alone %.1f ms; %.2f us per "
              "further address)\n",
              theirsPer, count, startup * 1e3, marginal);
  std::printf("ratio addr2line/ours   %.1f (whole run), %.1f (per further address)\n", theirsPer / oursPer,
              marginal / oursPer);
  fs::remove_all(dir);
  return 0;
}
