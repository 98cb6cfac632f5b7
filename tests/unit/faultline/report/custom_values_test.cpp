// The program's values for its reports: names checked, values cleaned, and a report never waits
// for a writer (it reads while other threads may be held in the middle of a change).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "faultline/report/custom_values.h"

namespace {

struct CustomValues : ::testing::Test {
  void SetUp() override { ClearCustomValues(); }
  void TearDown() override { ClearCustomValues(); }
};

TEST_F(CustomValues, SetChangedRemovedInNameOrder) {
  SetCustomValue("build", "1234");
  SetCustomValue("channel", "nightly");
  SetCustomValue("build", "1235");
  SetCustomValue("zone", "x");
  SetCustomValue("zone", "");  // removed
  bool complete = false;
  const auto values = CustomValuesForReport(&complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(CustomValuesText(values), "build = 1235\r\nchannel = nightly");
}

TEST_F(CustomValues, NamesAndValuesThatDoNotFitAreRefused) {
  for (const std::string& name :
       std::vector<std::string>{"", "with space", "line\nbreak", "colon:", std::string(65, 'a'), "\xC3\xA9"})
    EXPECT_THROW(SetCustomValue(name, "v"), std::invalid_argument) << name;
  EXPECT_THROW(SetCustomValue("big", std::string(4097, 'v')), std::invalid_argument);
  EXPECT_NO_THROW(SetCustomValue(std::string(64, 'a'), std::string(4096, 'v')));
  // A value's line breaks and control characters cannot start lines of their own in a report.
  SetCustomValue("text", "one\r\ntwo\tthree\x01");
  EXPECT_EQ(CustomValuesForReport().back().second, "one  two three ");
}

TEST_F(CustomValues, WritersOnManyThreadsLoseNothing) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) SetCustomValue("t" + std::to_string(t) + "-" + std::to_string(i), "v");
    });
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading) CustomValuesForReport();
  });
  for (auto& w : writers) w.join();
  reading = false;
  reader.join();
  EXPECT_EQ(CustomValuesForReport().size(), 8u * 200u);
}

}  // namespace
