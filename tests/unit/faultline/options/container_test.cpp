// Options container: both forms, older layouts, newer versions, damage, password check, loading
// into a module's options, shared block payload.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "faultline/options/container.h"
#include "faultline/codecs/codecs.h"

namespace {

std::string Le32(uint32_t v) {
  std::string s;
  WriteUInt32(s, v);
  return s;
}

std::string Header(uint16_t version, double time) {
  std::string s = Le32(FaultContainerMagic);
  WriteUInt16(s, version);
  WriteDouble(s, time);
  return s;
}

// zlib's own one-shot compressor, independent of the container writer.
std::string Zlib(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &size,
                     reinterpret_cast<const Bytef*>(data.data()), data.size()), Z_OK);
  out.resize(size);
  return out;
}

std::string Unzlib(std::string_view data, size_t expected) {
  std::string out(expected, '\0');
  uLongf size = expected;
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                       reinterpret_cast<const Bytef*>(data.data()), data.size()), Z_OK);
  out.resize(size);
  return out;
}

TFaultContainer Sample() {
  TFaultModuleOptions o("", false);
  o.SetMailTo("ops@example");
  o.SetSendFlags(0x41);
  TFaultContainer c;
  c.BuildTime = 45000.25;
  c.Symbols = {{0, 0x1234, 0x40}, {1, 0x2000, 0x80}};
  c.OptionsRecord = SaveOptionsRecord(o);
  c.PasswordCheck = 0xA1B2C3D4;
  c.DebugInfo = std::string("\x01\0\0\0", 4) + "debug" + std::string(1, '\0') + "bytes";
  return c;
}

TEST(Container, ResourceLayoutIsReadableByPlainZlib) {
  TFaultContainer c = Sample();
  std::string bytes = WriteContainer(c);
  TFaultRecordReader r(bytes);
  EXPECT_EQ(r.ReadUInt32(), 0x000FAB10u);
  EXPECT_EQ(r.ReadUInt16(), 5111);
  EXPECT_EQ(r.ReadDouble(), 45000.25);
  ASSERT_EQ(r.ReadUInt32(), 18u);
  EXPECT_EQ(r.ReadBytes(9), std::string("\x00\x34\x12\x00\x00\x40\x00\x00\x00", 9));
  r.Skip(9);
  uint32_t l2 = r.ReadUInt32();
  EXPECT_EQ(Unzlib(r.ReadBytes(l2), 1 << 16), c.OptionsRecord);
  EXPECT_EQ(r.ReadUInt32(), 0xA1B2C3D4u);
  EXPECT_EQ(Unzlib(r.Rest(), 1 << 16), Le32(15) + c.DebugInfo);
}

TEST(Container, ResourceRoundTripFullAndLight) {
  TFaultContainer c = Sample();
  std::string bytes = WriteContainer(c);
  auto full = ReadContainer(bytes);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->Version, 5111);
  EXPECT_EQ(full->BuildTime, 45000.25);
  EXPECT_EQ(full->Symbols, c.Symbols);
  EXPECT_EQ(full->OptionsRecord, c.OptionsRecord);
  EXPECT_EQ(full->PasswordCheck, c.PasswordCheck);
  EXPECT_EQ(full->DebugInfo, c.DebugInfo);
  EXPECT_TRUE(full->HasOptions && full->HasDebugInfo);
  auto light = ReadContainer(bytes, TContainerReadMode::Light);
  ASSERT_TRUE(light);
  EXPECT_TRUE(light->HasOptions);
  EXPECT_FALSE(light->HasDebugInfo);
  EXPECT_EQ(light->OptionsRecord, c.OptionsRecord);
}

TEST(Container, NewerThanCurrentIsIgnored) {
  TFaultContainer c = Sample();
  c.Version = 5112;
  std::string bytes = WriteContainer(c);
  EXPECT_FALSE(ReadContainer(bytes));
  EXPECT_FALSE(ReadContainerTrailerBody(ContainerTrailer(c).substr(0, 10)));

  TFaultModuleOptions o("", false);
  TFaultContainerLoad out;
  out.Version = 1;
  LoadModuleContainer(o, out, {.Resource = bytes});
  EXPECT_EQ(o.MailTo(), "");  // options untouched
  EXPECT_EQ(out.Version, 1);
  EXPECT_FALSE(out.DebugInfo);
}

// Older resource layouts: below 450 the sequence after the time stamp is plain, 450..499 keep it
// in one zlib stream; the options record has no length and is measured by reading it.
TEST(Container, OlderResourceLayouts) {
  for (uint16_t v : {449, 450, 499}) {
    SCOPED_TRACE(v);
    // The leading bytes: LogOn, FilterOn, LogSections, dialog byte 0, LogAppend ...
    std::string rec;
    rec += std::string("\x01\x01\x30\x00\x00", 5);
    if (v >= 450) rec += std::string("\x00\x00\x01", 3);
    rec += std::string("\x01\x00\x00", 3);                    // LogSaved, page, frame byte
    rec += std::string(1, '\0') + Le32(60) + Le32(0);                       // FreezeWatch, seconds, text ""
    if (v >= 450) rec += Le32(0);                             // MailSender ""
    rec += Le32(0);                                           // MailServer ""
    if (v >= 450) rec += std::string("\x19\x00", 2);          // port 25
    rec += Le32(0) + Le32(0) + std::string("\x01", 1);        // user, password, terminate action
    rec += "\x01" + Le32(32) + Le32(3);
    rec += Le32(11);
    for (char ch : std::string("old@example")) rec += static_cast<char>(ch ^ FaultRecordScrambleByte);
    rec += Le32(0) + std::string(1, '\0');                    // subject, mail mode
    rec += std::string(4, '\xFF');
    if (v < 450) rec += '\0';
    rec += Le32(0) + Le32(0) + Le32(0);                       // LogPath, filter count, MailBody
    int texts = 96 - (v < 450 ? 25 + 30 - 2 : 25);            // 47 and 48 are in both groups
    for (int i = 0; i < texts; ++i) rec += Le32(0);
    std::string tail = rec + Le32(3) + "dbg";
    std::string bytes = Header(v, 1.5) + (v < 450 ? tail : Zlib(tail));
    auto c = ReadContainer(bytes);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->OptionsRecord, rec);
    EXPECT_EQ(c->DebugInfo, "dbg");
    TFaultModuleOptions o("", false);
    TFaultContainerLoad out;
    LoadModuleContainer(o, out, {.Resource = bytes});
    EXPECT_EQ(out.Version, v);
    EXPECT_EQ(out.BuildTime, 1.5);
    EXPECT_EQ(out.DebugInfo, "dbg");
    EXPECT_EQ(o.MailTo(), "old@example");
    EXPECT_EQ(o.DialogFlags() & 0x01, v < 450 ? 0x01 : 0x00);  // stored dialog byte 0
  }
}

TEST(Container, EmptyInflationStopsTheLoad) {
  TFaultContainer c = Sample();
  std::string bytes = WriteContainer(c);
  // Options block that inflates to nothing: no options, no password check, no debug.
  std::string noOptions = Header(5111, 2.0) + Le32(0) + Le32(Zlib("").size()) + Zlib("") +
                          Le32(0) + Zlib(Le32(0));
  TFaultModuleOptions o("", false);
  TFaultContainerLoad out;
  LoadModuleContainer(o, out, {.Resource = noOptions});
  EXPECT_EQ(out.Version, 5111);
  EXPECT_EQ(out.BuildTime, 2.0);
  EXPECT_FALSE(out.DebugInfo);
  EXPECT_EQ(o.SendFlags(), 0x51);
  // Debug block missing entirely: options loaded, no debug information.
  std::string noDebug = bytes.substr(0, bytes.size() - Zlib(Le32(15) + c.DebugInfo).size());
  auto read = ReadContainer(noDebug);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->HasOptions);
  EXPECT_FALSE(read->HasDebugInfo);
}

TEST(Container, DamageIsAClearErrorNeverAnOverread) {
  std::string bytes = WriteContainer(Sample());
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::string cut = bytes.substr(0, n);  // exact-size copy for AddressSanitizer
    try {
      auto c = ReadContainer(cut);
      // Only a cut exactly at the start of the debug block leaves a readable container.
      ASSERT_TRUE(c);
      EXPECT_FALSE(c->HasDebugInfo) << n;
    } catch (const EFaultContainerError&) {
    }
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (char flip : {'\x01', '\x80', '\xFF'}) {
      std::string bad = bytes;
      bad[i] ^= flip;
      try {
        if (auto c = ReadContainer(bad)) {
          TFaultModuleOptions o("", false);
          if (c->HasOptions) LoadOptionsRecord(o, c->OptionsRecord, c->Version);
        }
      } catch (const EFaultContainerError&) {
      }
    }
  }
  EXPECT_THROW(ReadContainer("abc"), EFaultContainerError);
  EXPECT_THROW(ReadContainer(Header(5111, 0) + Le32(10)), EFaultContainerError);  // not 9k
  EXPECT_THROW(ReadContainer(Header(5111, 0) + Le32(0xFFFFFFF7)), EFaultContainerError);
  // Debug block announcing more bytes than it holds.
  std::string lying = Header(5111, 0) + Le32(0) + Le32(Zlib("x").size()) + Zlib("x") + Le32(0) +
                      Zlib(Le32(100) + "short");
  EXPECT_THROW(ReadContainer(lying), EFaultContainerError);
}

TEST(Container, TrailerForm) {
  TFaultContainer c = Sample();
  std::string module = "MZ fake module bytes";
  std::string file = AppendContainerTrailer(module, c);
  EXPECT_EQ(file.substr(0, module.size()), module);
  EXPECT_EQ(file.substr(file.size() - 4), Le32(FaultContainerMagic));
  EXPECT_TRUE(HasContainerTrailer(file));
  EXPECT_FALSE(HasContainerTrailer(module));
  uint32_t b = *TrailerBodySize(file.substr(file.size() - 8));
  EXPECT_EQ(b, 2 + 8 + c.OptionsRecord.size() + 4 + c.DebugInfo.size());
  auto read = FindContainerTrailer(file);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Version, 5111);
  EXPECT_EQ(read->BuildTime, c.BuildTime);
  EXPECT_EQ(read->OptionsRecord, c.OptionsRecord);
  EXPECT_EQ(read->DebugInfo, c.DebugInfo);
  EXPECT_TRUE(read->Symbols.empty());
  EXPECT_FALSE(FindContainerTrailer(module));

  // Damage: a size word larger than the file, and every cut of the body.
  std::string big = file;
  big.replace(big.size() - 8, 4, Le32(0x7FFFFFFF));
  EXPECT_THROW(FindContainerTrailer(big), EFaultContainerError);
  std::string body = file.substr(module.size(), b);
  for (size_t n = 0; n < body.size(); ++n)
    EXPECT_THROW(ReadContainerTrailerBody(body.substr(0, n)), EFaultContainerError) << n;

  TFaultModuleOptions o("", false);
  TFaultContainerLoad out;
  LoadModuleContainer(o, out, {.Trailer = std::string_view(body)});
  EXPECT_EQ(o.MailTo(), "ops@example");
  EXPECT_EQ(out.DebugInfo, c.DebugInfo);
  EXPECT_TRUE(out.PasswordAccepted);  // the trailer carries no check
}

TEST(Container, PasswordCheck) {
  uint32_t check = MakePasswordCheck("s3cret");
  EXPECT_NE(check, FaultContainerMagic);
  EXPECT_TRUE(PasswordMatches(check, "s3cret"));
  EXPECT_FALSE(PasswordMatches(check, "S3cret"));
  EXPECT_FALSE(PasswordMatches(check, ""));
  // Deciphering the stored bytes with the key of the password gives the magic.
  CipherSetKey("s3cret");
  std::string bytes = Le32(check);
  CipherDecrypt(bytes.data(), 4);
  EXPECT_EQ(bytes, Le32(FaultContainerMagic));
}

struct TAsked {
  int module = 0, handlers = 0;
  std::string moduleAnswer, handlerAnswer;
};

TFaultPasswordSources Sources(TAsked& asked) {
  TFaultPasswordSources p;
  p.Context = &asked;
  p.FromModule = [](void* ctx, const std::string&) -> std::optional<std::string> {
    auto* a = static_cast<TAsked*>(ctx);
    ++a->module;
    return a->moduleAnswer;
  };
  p.FromHandlers = [](void* ctx, const std::string&) -> std::optional<std::string> {
    auto* a = static_cast<TAsked*>(ctx);
    ++a->handlers;
    return a->handlerAnswer;
  };
  return p;
}

TEST(Container, LoadAsksForThePassword) {
  TFaultContainer c = Sample();
  c.PasswordCheck = MakePasswordCheck("right");
  std::string bytes = WriteContainer(c);
  struct { bool running; const char* fromModule; const char* fromHandlers; bool accepted;
           int handlersAsked; const char* kept; } cases[] = {
      {false, "right", "x", true, 0, "right"},
      {false, "wrong", "right", true, 1, "right"},
      {false, "wrong", "wrong2", false, 1, "wrong2"},
      {true, "wrong", "right", false, 0, "wrong"},  // the running module asks itself only
  };
  for (const auto& k : cases) {
    TAsked asked{0, 0, k.fromModule, k.fromHandlers};
    TFaultModuleOptions o("", false);
    TFaultContainerLoad out;
    LoadModuleContainer(o, out, {.Resource = bytes, .RunningModule = k.running,
                                 .Passwords = Sources(asked)});
    EXPECT_EQ(out.PasswordAccepted, k.accepted);
    EXPECT_EQ(asked.module, 1);
    EXPECT_EQ(asked.handlers, k.handlersAsked);
    EXPECT_EQ(out.DebugPassword, k.kept);
    EXPECT_EQ(out.DebugInfo, c.DebugInfo);
  }
  // Light registrations check nothing and load no debug information.
  TAsked asked{0, 0, "wrong", "wrong"};
  TFaultModuleOptions o("", false);
  TFaultContainerLoad out;
  LoadModuleContainer(o, out, {.Resource = bytes, .Mode = TContainerReadMode::Light,
                               .Passwords = Sources(asked)});
  EXPECT_EQ(asked.module, 0);
  EXPECT_TRUE(out.PasswordAccepted);
  EXPECT_FALSE(out.DebugInfo);
  EXPECT_EQ(o.MailTo(), "ops@example");
}

TEST(Container, NoContainerGivesCurrentVersionAndDefaults) {
  TFaultModuleOptions o("", false);
  TFaultContainerLoad out;
  out.Version = 7;
  out.BuildTime = 9;
  out.DebugInfo = "stale";
  LoadModuleContainer(o, out, {.Resource = std::string_view("not a container")});
  EXPECT_EQ(out.Version, 5111);
  EXPECT_EQ(out.BuildTime, 0);
  EXPECT_FALSE(out.DebugInfo);
  EXPECT_EQ(o.SendFlags(), 0x51);
}

TEST(Container, SharedBlockOfForeignModuleWins) {
  std::string bytes = WriteContainer(Sample());
  TFaultModuleOptions published("", false);
  published.SetMailTo("changed@runtime");
  std::string payload = SharedBlockPayload(&published);
  EXPECT_EQ(payload[0], '\1');
  EXPECT_EQ(SharedBlockPayload(nullptr), std::string(1, '\0'));
  for (bool running : {false, true}) {
    TFaultModuleOptions o("", false);
    TFaultContainerLoad out;
    LoadModuleContainer(o, out, {.Resource = bytes, .RunningModule = running,
                                 .SharedPayload = std::string_view(payload)});
    EXPECT_EQ(o.MailTo(), running ? "ops@example" : "changed@runtime");
  }
  TFaultModuleOptions o("", false);
  std::string empty(1, '\0');
  TFaultContainerLoad out;
  LoadModuleContainer(o, out, {.Resource = bytes, .SharedPayload = std::string_view(empty)});
  EXPECT_EQ(o.MailTo(), "ops@example");
  EXPECT_FALSE(LoadSharedBlockPayload(o, ""));
}

}  // namespace
