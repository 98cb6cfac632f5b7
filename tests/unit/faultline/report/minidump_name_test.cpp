// Names of the minidumps beside a log: one per report, never one over another, the newest kept.
#include <gtest/gtest.h>

#include "faultline/report/minidump_name.h"

namespace {

// 2026-12-11 12:00:00 as a date-time value (days since 1899-12-30).
constexpr double kNoon = 46367.5;

TEST(MinidumpName, BesideTheLogWithTheTimeAndASequenceForTheSameSecond) {
  const std::string log = "C:\\Apps\\Tool\\tool.flf";
  EXPECT_EQ(MinidumpPathFor(log, kNoon, {}), "C:\\Apps\\Tool\\tool_20261211120000.dmp");
  EXPECT_EQ(MinidumpPathFor(log, kNoon, {"tool_20261211120000.dmp", "other_20261211120000_7.dmp"}),
            "C:\\Apps\\Tool\\tool_20261211120000_2.dmp");
  EXPECT_EQ(MinidumpPathFor(log, kNoon, {"TOOL_20261211120000.DMP", "tool_20261211120000_9.dmp"}),
            "C:\\Apps\\Tool\\tool_20261211120000_10.dmp");
}

TEST(MinidumpName, OnlyThisLogsDumpsAreCountedAndTheOldestGo) {
  const std::string log = "C:\\x\\tool.flf";
  struct {
    const char* name;
    bool ours;
  } cases[] = {
      {"tool_20261211120000.dmp", true},   {"tool_20261211120000_3.dmp", true},
      {"tool_2026121112000.dmp", false},   {"tool_20261211120000_.dmp", false},
      {"tool_20261211120000.dmp.txt", false}, {"toolbox_20261211120000.dmp", false},
      {"tool_2026121112000x.dmp", false},  {"tool.dmp", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsMinidumpOf(log, c.name), c.ours) << c.name;
  std::vector<std::string> names = {"tool_20261211120000_2.dmp", "other_20200101000000.dmp",
                                    "tool_20251211120000.dmp", "tool_20261211120000.dmp", "notes.txt"};
  EXPECT_EQ(MinidumpsToDelete(log, names, 1),
            (std::vector<std::string>{"tool_20251211120000.dmp", "tool_20261211120000.dmp"}));
  EXPECT_TRUE(MinidumpsToDelete(log, names, 3).empty());
}

}  // namespace
