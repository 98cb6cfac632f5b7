#include "faultline/report/log_item.h"

#include <algorithm>

namespace {

constexpr std::string_view CrLf = "\r\n";

bool IsBlank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// A header line is "Title:" (or "Title:" plus one character): its first ":" is its last or its
// second-to-last character.
bool IsHeaderLine(const std::string& line) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  return colon + 1 == line.size() || colon + 2 == line.size();
}

// 1-based position of the first ": ", 0 when there is none.
size_t SeparatorPosition(const std::string& line) {
  size_t p = line.find(": ");
  return p == std::string::npos ? 0 : p + 1;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

}  // namespace

void SplitLines(std::string_view text, std::vector<std::string>& lines) {
  lines.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
}

std::string EncodeMultiLineValue(std::string_view value, size_t indent, bool dotFirstLine) {
  if (value.find(CrLf) == std::string_view::npos) return std::string(value);
  std::string v(value);
  ReplaceAll(v, ": ", ":_");
  std::vector<std::string> lines;
  SplitLines(v, lines);
  std::string out;
  out.reserve(v.size() + lines.size() * (indent + 3));
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) {
      out += CrLf;
      out.append(indent, ' ');
    }
    if (IsBlank(lines[i]) && (i > 0 || dotFirstLine))
      out += '.';
    else
      out += lines[i];
  }
  return out;
}

TLogItem::TLogItem(int32_t firstHeaderNumber) : firstHeaderNumber_(firstHeaderNumber) { Reset(); }

void TLogItem::Reset() {
  text_.clear();
  headerNumber_ = firstHeaderNumber_;
  itemNumber_ = 0;
}

void TLogItem::AddHeader(std::string_view title) {
  ++headerNumber_;
  itemNumber_ = 0;
  if (!text_.empty()) text_ += "\r\n\r\n";
  text_ += title;
  text_ += ":\r\n-";
}

void TLogItem::AddItem(std::string_view label, std::string_view value, bool shown) {
  ++itemNumber_;
  if (!shown) return;
  text_ += CrLf;
  text_ += "  ";
  text_ += std::to_string(headerNumber_);
  text_ += '.';
  text_ += std::to_string(itemNumber_);
  text_ += ' ';
  text_ += label;
  text_ += ": ";
  // Continuation lines get one space here; alignment adds the column in front of it.
  text_ += EncodeMultiLineValue(value, 1);
}

std::string TLogItem::Text() const {
  std::vector<std::string> lines;
  SplitLines(text_, lines);
  lines.emplace_back();
  size_t index = 0;
  for (;;) {
    size_t header = index;
    while (header < lines.size() && !IsHeaderLine(lines[header])) ++header;
    if (header >= lines.size()) break;
    size_t empty = header + 1;
    while (empty < lines.size() && !lines[empty].empty()) ++empty;
    if (empty >= lines.size()) break;

    size_t longest = 0, column = 1;
    for (size_t i = header; i < empty; ++i) {
      longest = std::max(longest, lines[i].size());
      column = std::max(column, SeparatorPosition(lines[i]));
    }
    if (empty - header <= 2) {
      // Every item of the section is hidden: the section goes, its number stays used.
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                  lines.begin() + static_cast<std::ptrdiff_t>(empty) + 1);
      index = header;
      continue;
    }
    for (size_t i = header + 2; i < empty; ++i) {
      std::string& line = lines[i];
      size_t p = SeparatorPosition(line);
      if (column - 1 >= p) {
        size_t at = p >= 1 ? p - 1 : 0;
        line.insert(at, column - p, ' ');
      }
      longest = std::max(longest, line.size());
    }
    lines[header + 1].assign(longest, '-');
    index = empty + 1;
  }
  if (!lines.empty()) lines.pop_back();
  std::string out;
  size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  out.reserve(total);
  for (const auto& l : lines) {
    out += l;
    out += CrLf;
  }
  return out;
}
