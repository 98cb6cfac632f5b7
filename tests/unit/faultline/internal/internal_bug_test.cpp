#include "faultline/internal/internal_bug.h"

#include <gtest/gtest.h>

TEST(InternalBug, QuietForAbortsAndSocketFailuresAnywhereInTheLineage) {
  struct Case {
    std::vector<std::string> lineage;
    bool quiet;
  } cases[] = {
      {{"EAbort", "Exception", "std::exception"}, true},
      {{"EMyAbort", "eabort", "Exception"}, true},  // a descendant, any case
      {{"EFaultSocketError", "Exception"}, true},
      {{"EAbortive", "Exception"}, false},          // whole names only
      {{"std::runtime_error", "std::exception"}, false},
      {{}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsQuietInternalError(c.lineage), c.quiet) << ::testing::PrintToString(c.lineage);
}

TEST(InternalBug, TextHasEveryFieldAndAlignsTheCallStack) {
  TInternalBugFacts f;
  f.Date = "Thu, 10 Dec 2026 16:20:00 +0000";
  f.Os = "Microsoft Windows 10";
  const uint8_t bytes[] = {0x8B, 0x00, 0xFF};
  f.Dump = InternalBugDump(bytes, sizeof bytes);
  f.Section = 11;
  f.Address = 0x00401A2B;
  f.Exception = "Exception";
  f.Message = "Console";
  f.Stack = {{0x00401A30, 0x00400000, "faultlab-console.exe", "dispatch_win.cpp", "TReportRun", "Steps", 412},
             {0x7BC0C51C, 0x7BC00000, "ntdll.dll", "", "", "", 0}};
  const std::string text = InternalBugText(f);
  EXPECT_EQ(text,
            "Version   : 5.1.11\r\n"
            "Date      : Thu, 10 Dec 2026 16:20:00 +0000\r\n"
            "OS        : Microsoft Windows 10\r\n"
            "RAD       : " + InternalBugConfig().DevelopmentEnvironment + "\r\n"
            "Dump      : $8B $00 $FF \r\n"
            "Section   : 11\r\n"
            "LastExcept: \r\n"
            "Address   : $00401A2B\r\n"
            "Exception : Exception\r\n"
            "Message   : Console\r\n"
            "Call Stack: 00 $00401a30 - [00400000] faultlab-console.exe  - dispatch_win.cpp - TReportRun - Steps - 412\r\n"
            "            01 $7bc0c51c - [7bc00000] ntdll.dll \r\n");
}

TEST(InternalBug, DebuggerLineAndMessages) {
  EXPECT_EQ(InternalErrorDebugLine(16, 0xC0FFEE, "disk \"full\""),
            "[ERROR] - Section: 16 - Address: 00C0FFEE - Message: \"disk \"full\"\"");
  EXPECT_EQ(InternalBugQuestion("x"),
            "Error: 'x'\r\n\r\nThis is an internal Faultline bug.\r\nDo you want to send the bug information to "
            "Faultline author?");
  EXPECT_EQ(InternalBugMailFailedText("C:\\a.log", "bugs@example"),
            "Cannot connect with your email client.\r\nSend manually the \"C:\\a.log\" file to the bugs@example email "
            "address, after click on OK button to close this box.");
}
