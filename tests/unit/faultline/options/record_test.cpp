// Options record: round trip, string scrambling, records written by older builds, damage.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "faultline/options/container.h"
#include "faultline/options/options.h"

namespace {

// Writes record fields by hand, the way a build of the given vintage stored them.
struct TRecordBytes {
  std::string b;
  TRecordBytes& U8(uint8_t v) { b += static_cast<char>(v); return *this; }
  TRecordBytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  TRecordBytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  TRecordBytes& Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    for (char c : s) b += static_cast<char>(c ^ FaultRecordScrambleByte);
    return *this;
  }
};

std::set<int> AbsentTexts(uint16_t v) {
  std::set<int> absent;
  if (v < 500)
    for (int i : {12, 13, 21, 27, 46, 47, 48, 54, 55, 56, 57, 58, 59, 60, 61, 68, 69, 70, 71, 72,
                  73, 74, 89, 94, 95})
      absent.insert(i);
  if (v < 450) {
    for (int i : {8, 9, 10, 11, 18, 19, 20, 26, 41, 47, 48, 52}) absent.insert(i);
    for (int i = 75; i < 96; ++i) absent.insert(i);
  }
  if (v < 421) absent.insert(16);
  if (v < 420) absent.insert(17);
  return absent;
}

struct TCraft {
  uint16_t version;
  uint8_t dialogByte = 0;       // < 500
  uint8_t frameByte = 1;        // 403..499
  uint32_t freezeStored = 30;   // >= 420
  std::string mailServer = "smtp.example";
  uint8_t mailMode = 3;
};

// A record as a build of `c.version` wrote it.
std::string Craft(const TCraft& c) {
  uint16_t v = c.version;
  TRecordBytes r;
  r.U8(1).U8(0).U8(0x3D);                 // LogOn, FilterOn, LogSections
  if (v < 500) r.U8(c.dialogByte);
  r.U8(1);                                // LogAppend
  if (v >= 450 && v < 500) r.U8(1).U8(0).U8(1);
  if (v >= 401) r.U8(0).U8(2);            // LogSaved, FirstDialogPage
  if (v >= 403 && v < 500) r.U8(c.frameByte);
  if (v >= 420) {
    r.U8(1).U32(c.freezeStored).Str("Frozen!");
    if (v >= 450) r.Str("me@example");
    r.Str(c.mailServer);
  }
  if (v >= 450) r.U16(2525);
  if (v >= 421) r.Str("user").Str("pass").U8(0);
  r.U8(0).U32(0).U32(5).Str("to@example").Str("subject").U8(c.mailMode);
  if (v >= 500) r.U8(1).U8(2).U8(3).U8(4).U8(5);
  else r.U8(0xFF).U8(0x00).U8(0xFF).U8(0x00);
  if (v < 450) r.U8(0xEE);
  r.Str("C:\\Logs");
  if (v >= 500) {
    r.U8(2).Str("https://up.example/x").Str("upuser").Str("uppass").U32(8443).Str("a.txt");
    r.U16(0x0383).U8(0x81).U32(9).Str("https://support").Str("<p><%HTML_TAG%></p>");
    r.U8(0x1F).U8(0x7F).U8(2).U32(4).U32(6);
  }
  r.U32(2).Str("EAbort").Str("").Str("EFoo").Str("foo happened");
  r.Str("body\r\nmore");
  std::set<int> absent = AbsentTexts(v);
  for (int i = 0; i < 96; ++i)
    if (!absent.count(i)) r.Str("T" + std::to_string(i));
  return r.b;
}

TEST(OptionsRecord, CraftedRecordsOfEveryVintage) {
  for (uint16_t v : {400, 405, 420, 421, 449, 450, 499, 500, 5111}) {
    SCOPED_TRACE("version " + std::to_string(v));
    std::string record = Craft({v});
    TFaultModuleOptions o("", false);
    EXPECT_EQ(LoadOptionsRecord(o, record, v), record.size());  // every byte, no more
    EXPECT_TRUE(o.LogOn());
    EXPECT_FALSE(o.FilterOn());
    EXPECT_EQ(o.LogSections(), 0x3D);
    EXPECT_TRUE(o.LogAppend());
    EXPECT_EQ(o.LogSaved(), v < 401);
    EXPECT_EQ(o.FirstDialogPage(), v >= 401 ? 2 : 0);
    EXPECT_EQ(o.FreezeWatch(), v >= 420);
    EXPECT_EQ(o.FreezeText(), v >= 420 ? "Frozen!" : "The application seems to be frozen.");
    EXPECT_EQ(o.MailSender() == "me@example", v >= 450);
    EXPECT_EQ(o.MailServer(), v >= 420 ? "smtp.example" : "");
    EXPECT_EQ(o.MailServerPort(), v >= 450 ? 2525 : 25);
    EXPECT_EQ(o.MailServerUser(), v >= 421 ? "user" : "");
    EXPECT_EQ(o.TerminateAction(), v >= 421 ? 0 : 1);
    EXPECT_FALSE(o.TerminateButtonShown());
    EXPECT_EQ(o.LogMaxReports(), 1);  // stored 0
    EXPECT_EQ(o.TerminateButtonAfter(), 5);
    EXPECT_EQ(o.MailTo(), "to@example");
    EXPECT_EQ(o.LogPath(), "C:\\Logs");
    EXPECT_EQ(o.FilterClasses(), (std::vector<std::string>{"EAbort", "EFoo"}));
    EXPECT_EQ(o.FilterTexts(), (std::vector<std::string>{"", "foo happened"}));
    EXPECT_EQ(o.MailBody(), "body\r\nmore");
    std::set<int> absent = AbsentTexts(v);
    const TCustomizedTexts& defaults = DefaultCustomizedTexts();
    for (int i = 0; i < 96; ++i)
      EXPECT_EQ(o.Text(i), absent.count(i) ? defaults[i] : "T" + std::to_string(i)) << i;
    if (v >= 500) {
      EXPECT_EQ(o.MailMode(), 3);
      EXPECT_EQ(o.ItemVisibility(), (TItemVisibility{1, 2, 3, 4, 5}));
      EXPECT_EQ(o.UploadMode(), 2);
      EXPECT_EQ(o.UploadUrl(), "https://up.example/x");
      EXPECT_EQ(o.UploadPort(), 8443u);
      EXPECT_EQ(o.SendFlags(), 0x0383);
      EXPECT_EQ(o.DialogFlags(), 0x81);
      EXPECT_EQ(o.PageTemplate(), "<p><%HTML_TAG%></p>");
      EXPECT_EQ(o.HandlingFlags(), 0x7F);
      EXPECT_EQ(o.CrashMinutes(), 6);
    } else {
      EXPECT_EQ(o.UploadUrl(), "");
      EXPECT_EQ(o.CrashCount(), 10);
      // 32 stored bits in the old order, the fifth byte (0xFF by default) kept and moved down.
      EXPECT_EQ(o.ItemVisibility(), (TItemVisibility{0x7F, 0x80, 0x8F, 0x7F, 0x00}));
    }
  }
}

TEST(OptionsRecord, VersionDependentRules) {
  struct {
    TCraft craft;
    uint8_t dialogFlags;
    uint16_t sendFlags;
    uint8_t mailMode;
    int32_t freezeSeconds;
  } cases[] = {
      // Below 450 the stored dialog byte is inverted; 403..499 store the frame bit separately.
      {{.version = 405, .dialogByte = 0, .frameByte = 1}, 0x9F, 0x51, 1, 60},
      {{.version = 449, .dialogByte = 0, .frameByte = 0}, 0x1F, 0x45, 2, 30},
      {{.version = 449, .dialogByte = 1, .frameByte = 0}, 0x1E, 0x51, 2, 30},
      {{.version = 450, .dialogByte = 0, .frameByte = 0}, 0x1E, 0x45, 3, 30},
      {{.version = 499, .dialogByte = 1, .frameByte = 1}, 0x9F, 0x45, 3, 30},
      {{.version = 402, .dialogByte = 1}, 0x1E, 0x51, 1, 60},
      // 420 and 421 stored the freeze time in milliseconds.
      {{.version = 421, .freezeStored = 60000}, 0x9F, 0x51, 2, 60},
      {{.version = 420, .freezeStored = 1500}, 0x9F, 0x51, 2, 1},
      {{.version = 422, .freezeStored = 45}, 0x9F, 0x51, 2, 45},
      // Old mail modes: any non-zero mode becomes 2 with a server, 1 without.
      {{.version = 421, .mailServer = "", .mailMode = 3}, 0x9F, 0x51, 1, 0},
      {{.version = 449, .mailMode = 0}, 0x9F, 0x45, 0, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.craft.version));
    std::string record = Craft(c.craft);
    TFaultModuleOptions o("", false);
    ASSERT_EQ(LoadOptionsRecord(o, record, c.craft.version), record.size());
    EXPECT_EQ(o.DialogFlags(), c.dialogFlags);
    if (c.craft.version >= 450) EXPECT_EQ(o.SendFlags(), c.sendFlags);
    else EXPECT_EQ(o.SendFlags(), 0x51);
    EXPECT_EQ(o.MailMode(), c.mailMode);
    EXPECT_EQ(o.FreezeSeconds(), c.freezeSeconds);
  }
}

void FillNonDefault(TFaultModuleOptions& o) {
  o.SetLogOn(true);
  o.SetFreezeWatch(true);
  o.SetFreezeSeconds(-7);
  o.SetMailServer("smtp.example");
  o.SetMailServerPort(465);
  o.SetItemVisibility({0x12, 0x34, 0x56, 0x78, 0x9A});
  o.SetSendFlags(0xFFFF);
  o.SetUploadPort(0xFFFFFFFF);
  o.SetPageTemplate("\xC4\xE3\xBA\xC3 <%HTML_TAG%>\r\nend");  // GBK bytes pass through
  o.SetFilter({"EA", "EB", "EC"}, {"only one"});
  o.SetText(0, "");
  o.SetText(95, std::string("with\0nul", 8));
}

TEST(OptionsRecord, RoundTripInCurrentLayout) {
  TFaultModuleOptions a("", false);
  FillNonDefault(a);
  std::string record = SaveOptionsRecord(a);
  EXPECT_EQ(record.find("smtp.example"), std::string::npos) << "strings are scrambled";
  for (uint16_t v : {500, 5111}) {
    TFaultModuleOptions b("", false);
    EXPECT_EQ(LoadOptionsRecord(b, record, v), record.size());
    EXPECT_EQ(SaveOptionsRecord(b), record);
    EXPECT_EQ(b.FreezeSeconds(), -7);
    EXPECT_EQ(b.ItemVisibility(), a.ItemVisibility());
    EXPECT_EQ(b.FilterClasses(), (std::vector<std::string>{"EA", "EB", "EC"}));
    EXPECT_EQ(b.FilterTexts(), (std::vector<std::string>{"only one", "", ""}));
    EXPECT_EQ(b.Text(95), std::string("with\0nul", 8));
    EXPECT_EQ(b.PageTemplate(), a.PageTemplate());
  }
}

// Options added after the layout was fixed travel after the texts, only when one differs from
// its default: a record of default options is what it always was, and the added part is read back
// in today's layout (only there: an older layout has other data right after the texts).
TEST(OptionsRecord, AddedOptionsTravelAfterTheTexts) {
  TFaultModuleOptions plain("", false), added("", false);
  added.SetMailFallbackDns("192.0.2.53:5353");
  added.SetMinidumpMode(2);
  added.SetResendKept(true);
  const std::string before = SaveOptionsRecord(plain), after = SaveOptionsRecord(added);
  ASSERT_GT(after.size(), before.size());
  EXPECT_EQ(after.substr(0, before.size()), before);
  TFaultModuleOptions back("", false);
  EXPECT_EQ(LoadOptionsRecord(back, after, 5111), after.size());
  EXPECT_EQ(back.MailFallbackDns(), "192.0.2.53:5353");
  EXPECT_EQ(back.MinidumpMode(), 2);
  EXPECT_TRUE(back.ResendKept());
  EXPECT_EQ(SaveOptionsRecord(back), after);
  TFaultModuleOptions old("", false);
  EXPECT_EQ(LoadOptionsRecord(old, after, 500), before.size());  // an older layout stops at the texts
  EXPECT_EQ(old.MailFallbackDns(), DefaultMailFallbackDns);
  // A count the bytes cannot hold is damage.
  std::string damaged = after.substr(0, before.size() + 4) + std::string("\xFF\xFF\xFF\x7F", 4);
  TFaultModuleOptions d("", false);
  EXPECT_THROW(LoadOptionsRecord(d, damaged, 5111), EFaultContainerError);
  // So is a value the option cannot take.
  TFaultModuleOptions wrong("", false);
  wrong.SetMinidumpMode(9);
  EXPECT_THROW(LoadOptionsRecord(d, SaveOptionsRecord(wrong), 5111), EFaultContainerError);
}

TEST(OptionsRecord, TrailingLineBreakRule) {
  struct { const char* in; const char* out; } cases[] = {
      {"Hello\r\n", "Hello"},          // the only CR LF is at the end: dropped
      {"a\r\nb\r\n", "a\r\nb\r\n"},    // an earlier CR LF keeps the trailing one
      {"\r\n", ""},
      {"\n", "\n"},
      {"x", "x"},
      {"a\r\n\r\n", "a\r\n\r\n"},
  };
  for (const auto& c : cases) {
    TFaultModuleOptions a("", false), b("", false);
    a.SetMailBody(c.in);
    LoadOptionsRecord(b, SaveOptionsRecord(a), 5111);
    EXPECT_EQ(b.MailBody(), c.out) << c.in;
  }
  EXPECT_EQ(ScrambleRecordString(ScrambleRecordString("any \x80 bytes")), "any \x80 bytes");
  EXPECT_NE(ScrambleRecordString("abc"), "abc");
}

TEST(OptionsRecord, EveryTruncationIsAClearError) {
  TFaultModuleOptions full("", false);
  FillNonDefault(full);
  for (auto [record, version] : {std::pair{SaveOptionsRecord(full), uint16_t{5111}},
                                 std::pair{Craft({405}), uint16_t{405}},
                                 std::pair{Craft({450}), uint16_t{450}}}) {
    for (size_t n = 0; n < record.size(); ++n) {
      // An exact-size copy, so that AddressSanitizer sees any read past the end.
      std::string cut = record.substr(0, n);
      TFaultModuleOptions o("", false);
      EXPECT_THROW(LoadOptionsRecord(o, cut, version), EFaultContainerError) << n;
      EXPECT_EQ(o.UpdateDepth(), 0);
    }
  }
}

TEST(OptionsRecord, HostileLengthsAreRejected) {
  TFaultModuleOptions o("", false);
  std::string record = SaveOptionsRecord(o);
  // FreezeText's length word sits after 7 flag bytes and the 4-byte seconds.
  std::string huge = record;
  huge[11] = huge[12] = huge[13] = huge[14] = '\xF0';
  try {
    LoadOptionsRecord(o, huge, 5111);
    FAIL();
  } catch (const EFaultContainerError& e) {
    EXPECT_NE(std::string(e.what()).find("offset 11"), std::string::npos) << e.what();
  }
  // A filter count far beyond what the bytes can hold fails at once.
  TRecordBytes r;
  r.b = Craft({5111});
  std::string crafted = r.b;
  size_t countAt = crafted.find(TRecordBytes().U32(2).Str("EAbort").b);
  ASSERT_NE(countAt, std::string::npos);
  crafted[countAt + 3] = '\x40';
  EXPECT_THROW(LoadOptionsRecord(o, crafted, 5111), EFaultContainerError);
}

}  // namespace
