// Reading a log a piece at a time gives exactly the reports of reading it whole, wherever the
// pieces end: inside a CR LF, inside a run of separating line breaks, inside a report.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "faultline/log/log_file.h"
#include "faultline/log/log_reader.h"

namespace {

std::vector<std::string> SplitInPieces(const std::string& bytes, size_t piece) {
  std::vector<std::string> reports;
  TLogSplitter splitter([&](std::string&& r) { reports.push_back(std::move(r)); });
  for (size_t i = 0; i < bytes.size(); i += piece) splitter.Feed(std::string_view(bytes).substr(i, piece));
  splitter.Finish();
  return reports;
}

const char* const Report = "Faultline 5.1.11\r\n\r\nCall Stack Information:\r\n---\r\n|a|b|\r\n---\r\n";

TEST(LogSplitter, MatchesTheWholeTextSplit) {
  const std::string r = Report;
  const std::vector<std::string> cases = {
      "",
      "abc",
      "abcdef",
      r,
      r + "\r\n\r\n\r\n",
      r + "\r\n\r\n\r\n\r\n" + r + "\r\n\r\n\r\n",
      r + "\r\n\r\n\r\n\r\n\r\n\r\n" + r,                            // a longer run between reports
      r + "\r\n\r\n\r\n\r\nno table here\r\n\r\n\r\n\r\n" + r,        // a piece without a table is dropped
      "\r\n\r\n\r\n\r\n" + r + "\r\n\r\n\r\n\r\n",                    // runs at both ends
      "Faultline\n\n---\n|x|\n\n\n\n" + r,                            // LF only
      "Faultline\r\r---\r|x|\r\r\r\r" + r + "\r",                     // CR only, a CR at the very end
      r + "\r\n\r\n\r\n\r\n" + r.substr(0, 20),                       // a last report cut short
  };
  for (const std::string& text : cases) {
    const std::vector<std::string> whole = SplitLogText(text);
    for (size_t piece : {1, 2, 3, 5, 7, 8, 9, 64, 1 << 20})
      EXPECT_EQ(SplitInPieces(text, piece), whole) << "piece " << piece << " of " << testing::PrintToString(text);
  }
}

TEST(LogSplitter, RandomLineBreaksAndPieces) {
  // Texts of reports and line breaks of every kind; whatever the split of the whole text makes of
  // them, the pieces must make the same.
  std::mt19937 rng(7);
  const std::vector<std::string> parts = {Report, "\r\n", "\r", "\n", "x", "-\r\n|", "\r\n\r\n\r\n\r\n"};
  for (int n = 0; n < 400; ++n) {
    std::string text;
    const int count = static_cast<int>(rng() % 24);
    for (int i = 0; i < count; ++i) text += parts[rng() % parts.size()];
    const size_t piece = 1 + rng() % 13;
    ASSERT_EQ(SplitInPieces(text, piece), SplitLogText(text)) << "piece " << piece << " of " << testing::PrintToString(text);
  }
}

}  // namespace
