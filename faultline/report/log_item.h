#pragma once
// Builder of the numbered "label: value" sections of a report. Items are numbered header.item;
// hidden items and empty sections still use up their numbers so that an item keeps its number
// whatever the visibility settings. Text() aligns the ": " of every section to one column.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TLogItem {
 public:
  explicit TLogItem(int32_t firstHeaderNumber);

  void Reset();
  void AddHeader(std::string_view title);
  void AddItem(std::string_view label, std::string_view value, bool shown);
  // The aligned text of all sections; every line, the last included, ends with CR LF.
  std::string Text() const;

  int32_t HeaderNumber() const { return headerNumber_; }
  int32_t ItemNumber() const { return itemNumber_; }

 private:
  std::string text_;
  int32_t firstHeaderNumber_;
  int32_t headerNumber_ = 0;
  int32_t itemNumber_ = 0;
};

// A value of several lines as it is stored after its label: ": " becomes ":_", blank lines
// become "." and each line after the first gets `indent` before it. Values without CR LF are
// returned as they are. `dotFirstLine` false leaves a blank first line blank.
std::string EncodeMultiLineValue(std::string_view value, size_t indent, bool dotFirstLine = true);

// Splits like the runtime's string list: at CR LF, lone CR or lone LF; no empty last element for
// a text that ends with a line break.
void SplitLines(std::string_view text, std::vector<std::string>& lines);
