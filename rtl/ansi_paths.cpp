#include "rtl/ansi_paths.h"

namespace {

// GBK lead bytes are 0x81..0xFE; the byte after a lead byte is never a separator.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Offset of the last "." of the file name part, or npos.
size_t ExtStart(std::string_view path) {
  size_t start = PathNameStart(path);
  size_t dot = std::string_view::npos;
  for (size_t i = start; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(c) && i + 1 < path.size()) {
      ++i;
      continue;
    }
    if (c == '.') dot = i;
  }
  return dot;
}

}  // namespace

size_t PathNameStart(std::string_view path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(c) && i + 1 < path.size()) {
      ++i;
      continue;
    }
    if (c == '\\' || c == '/' || c == ':') start = i + 1;
  }
  return start;
}

std::string PathFileName(std::string_view path) { return std::string(path.substr(PathNameStart(path))); }

std::string PathFileExt(std::string_view path) {
  size_t dot = ExtStart(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string PathChangeExt(std::string_view path, std::string_view ext) {
  size_t dot = ExtStart(path);
  std::string out(path.substr(0, dot == std::string_view::npos ? path.size() : dot));
  out += ext;
  return out;
}
