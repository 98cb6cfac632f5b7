#include "faultline/report/minidump_name.h"

#include <algorithm>
#include <cstdint>

#include "faultline/report/report_format.h"
#include "rtl/ansi_paths.h"
#include "rtl/ascii_text.h"

namespace {

constexpr std::string_view kExt = ".dmp";

std::string BaseOf(std::string_view logFileName) {
  return PathChangeExt(std::string(logFileName.substr(PathNameStart(logFileName))), "");
}

// The stamp and sequence of one of the log's dumps; false for any other name.
bool Parse(std::string_view base, std::string_view name, std::string& stamp, uint64_t& sequence) {
  if (name.size() < base.size() + 1 + 14 + kExt.size()) return false;
  if (!StartsWithNoCase(name, base) || name[base.size()] != '_') return false;
  if (!StartsWithNoCase(name.substr(name.size() - kExt.size()), kExt)) return false;
  std::string_view rest = name.substr(base.size() + 1, name.size() - base.size() - 1 - kExt.size());
  auto digits = [](std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  stamp = std::string(rest.substr(0, 14));
  if (!digits(stamp)) return false;
  rest.remove_prefix(14);
  sequence = 1;
  if (rest.empty()) return true;
  if (rest[0] != '_' || rest.size() > 10 || !digits(rest.substr(1))) return false;
  sequence = std::stoull(std::string(rest.substr(1)));
  return true;
}

}  // namespace

bool IsMinidumpOf(std::string_view logFileName, std::string_view name) {
  std::string stamp;
  uint64_t sequence = 0;
  return Parse(BaseOf(logFileName), name, stamp, sequence);
}

std::string MinidumpPathFor(const std::string& logFileName, TDateTime exceptionTime,
                            const std::vector<std::string>& existing) {
  const std::string base = BaseOf(logFileName);
  const std::string stamp = FormatDateTimeCompact(exceptionTime);
  uint64_t last = 0;
  for (const std::string& name : existing) {
    std::string s;
    uint64_t sequence = 0;
    if (Parse(base, name, s, sequence) && s == stamp) last = std::max(last, sequence);
  }
  std::string name = base + "_" + stamp;
  if (last > 0) name += "_" + std::to_string(last + 1);
  return logFileName.substr(0, PathNameStart(logFileName)) + name + std::string(kExt);
}

std::vector<std::string> MinidumpsToDelete(std::string_view logFileName, const std::vector<std::string>& names,
                                           size_t keep) {
  const std::string base = BaseOf(logFileName);
  struct TDump {
    std::string Stamp;
    uint64_t Sequence;
    std::string Name;
  };
  std::vector<TDump> dumps;
  for (const std::string& name : names) {
    TDump d{{}, 0, name};
    if (Parse(base, name, d.Stamp, d.Sequence)) dumps.push_back(std::move(d));
  }
  if (dumps.size() <= keep) return {};
  std::sort(dumps.begin(), dumps.end(), [](const TDump& a, const TDump& b) {
    if (a.Stamp != b.Stamp) return a.Stamp < b.Stamp;
    if (a.Sequence != b.Sequence) return a.Sequence < b.Sequence;
    return a.Name < b.Name;
  });
  std::vector<std::string> out;
  for (size_t i = 0; i + keep < dumps.size(); ++i) out.push_back(dumps[i].Name);
  return out;
}
