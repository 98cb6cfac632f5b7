#include "tools/flreader/log_input.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "faultline/codecs/gzip.h"
#include "faultline/log/log_reader.h"
#include "faultline/log/log_storage.h"

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

std::string ReadWholeFile(const std::string& path) {
  TFile f(std::fopen(path.c_str(), "rb"));
  if (!f) throw ELogFileError("Cannot open file " + path);
  std::string out;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) out.append(buffer, n);
  if (std::ferror(f.get())) throw ELogFileError("Cannot read file " + path);
  return out;
}

bool EndsWith(const std::string& s, std::string_view end) {
  if (s.size() < end.size()) return false;
  for (size_t i = 0; i < end.size(); ++i) {
    char c = s[s.size() - end.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != end[i]) return false;
  }
  return true;
}

struct TTarEntry {
  std::string Name;
  std::string_view Data;
};

// An octal header field: blanks before the digits (as the archive writer pads), digits, then a
// blank or zero byte.
uint64_t OctalField(std::string_view field) {
  uint64_t v = 0;
  size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) v = v * 8 + static_cast<uint64_t>(field[i] - '0');
  return v;
}

// The regular files of a tar stream. A header that runs past the end, or data that does, ends
// the archive as damaged.
std::vector<TTarEntry> TarEntries(std::string_view tar, const std::string& path) {
  std::vector<TTarEntry> entries;
  std::string longName;
  size_t p = 0;
  while (p + 512 <= tar.size()) {
    std::string_view h = tar.substr(p, 512);
    if (h.find_first_not_of('\0') == std::string_view::npos) return entries;  // the closing block
    const uint64_t size = OctalField(h.substr(124, 12));
    const char type = h[156];
    if (size > tar.size() - p - 512) throw std::runtime_error("damaged archive (an entry runs past its end): " + path);
    std::string_view data = tar.substr(p + 512, static_cast<size_t>(size));
    std::string name(h.substr(0, 100));
    name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
    if (type == 'L') {
      longName.assign(data.substr(0, data.find('\0')));
    } else {
      if (!longName.empty()) name = std::move(longName);
      longName.clear();
      if (type == '0' || type == '\0') entries.push_back({name, data});
    }
    p += 512 + static_cast<size_t>((size + 511) / 512 * 512);
  }
  if (p != tar.size()) throw std::runtime_error("damaged archive (cut short): " + path);
  return entries;
}

}  // namespace

bool IsArchiveFile(const std::string& path) {
  TFile f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char magic[2] = {0, 0};
  return std::fread(magic, 1, 2, f.get()) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
}

void ForEachInputReport(const std::string& path, const std::function<void(std::string&& report)>& sink,
                        TArchiveExtras* extras) {
  if (!IsArchiveFile(path)) {
    ForEachStoredReport(path, sink);
    return;
  }
  const std::string tar = GzipDecompress(ReadWholeFile(path));
  const std::vector<TTarEntry> entries = TarEntries(tar, path);
  // The log copy keeps the log's extension (".flf", or a time-stamped name with it); an archive
  // of a program that names its log otherwise is read through every entry that is not one of the
  // other files a delivery packs.
  bool anyLog = false;
  for (const TTarEntry& e : entries) anyLog = anyLog || EndsWith(e.Name, ".flf");
  for (const TTarEntry& e : entries) {
    if (EndsWith(e.Name, ".png")) {
      if (extras && extras->ScreenshotName.empty()) {
        extras->ScreenshotName = e.Name;
        extras->Screenshot.assign(e.Data);
      }
      continue;
    }
    const bool isLog = anyLog ? EndsWith(e.Name, ".flf")
                              : !(EndsWith(e.Name, ".xml") || EndsWith(e.Name, ".html") || EndsWith(e.Name, ".htm"));
    if (!isLog) continue;
    TLogSplitter splitter(sink);
    splitter.Feed(e.Data);
    splitter.Finish();
  }
}
