#include "import/path_rules.h"

#include "import/import_texts.h"

namespace {

// Code page 936: a byte 0x81..0xFE leads a two-byte character.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Position just after the last of the given single-byte characters, or 0; the trail byte of a
// double-byte character never counts.
size_t AfterLast(std::string_view path, std::string_view chars) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    auto c = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(c) && i + 1 < path.size()) {
      ++i;
      continue;
    }
    if (chars.find(static_cast<char>(c)) != std::string_view::npos) start = i + 1;
  }
  return start;
}

// Position just after the last backslash or colon, or 0.
size_t NameStart(std::string_view path) { return AfterLast(path, "\\:"); }

// Position of the last dot of a file name (single-byte character), or npos.
size_t LastDot(std::string_view name) {
  size_t after = AfterLast(name, ".");
  return after == 0 ? std::string_view::npos : after - 1;
}

}  // namespace

std::string ExtractFileName(std::string_view path) { return std::string(path.substr(NameStart(path))); }

std::string ExtractFilePath(std::string_view path) { return std::string(path.substr(0, NameStart(path))); }

std::string ExtractFileExt(std::string_view path) {
  std::string_view name = path.substr(NameStart(path));
  size_t dot = LastDot(name);
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

std::string FileNameWithoutExt(std::string_view path) {
  std::string_view name = path.substr(NameStart(path));
  size_t dot = LastDot(name);
  return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

bool IsSkippedListingName(std::string_view name) {
  return name == "." || name == ".." || name == "desktop.ini" || name == ManagedFolderName ||
         name == RestoreBatchName;
}

std::string LastPathComponent(std::string_view path) { return std::string(path.substr(AfterLast(path, "\\"))); }
