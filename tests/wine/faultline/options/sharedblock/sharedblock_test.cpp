// Containers found by the module that carries them (resource and trailer), password requests,
// and two modules publishing and reading each other's shared options blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "faultline/options/module_options.h"

namespace {

struct TOptModLoad {
  int Registered;
  int Version;
  int Accepted;
  int DebugSize;
  char MailTo[64];
};
using TLoadOwn = void (*)(TOptModLoad*);
using TSetMailTo = void (*)(const char*);
using TReadForeign = void (*)(HMODULE, char*, int);

std::string ExeDir() {
  std::string path = FaultModulePath(GetModuleHandleA(nullptr));
  return path.substr(0, path.find_last_of('\\') + 1);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "sharedblock_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

std::string DllContainer(const std::string& mailTo, const std::string& password,
                         const std::string& debug) {
  TFaultModuleOptions o("", false);
  o.SetMailTo(mailTo);
  TFaultContainer c;
  c.OptionsRecord = SaveOptionsRecord(o);
  c.PasswordCheck = MakePasswordCheck(password);
  c.DebugInfo = debug;
  return WriteContainer(c);
}

// A copy of optmod.dll with an "FLDATA" resource put in by the resource-update API.
std::string DllWithResource(const std::string& name, const std::string& container) {
  std::string path = TempPath(name);
  EXPECT_TRUE(CopyFileA((ExeDir() + "optmod.dll").c_str(), path.c_str(), FALSE));
  HANDLE update = BeginUpdateResourceA(path.c_str(), FALSE);
  EXPECT_NE(update, nullptr);
  EXPECT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(10), "FLDATA",
                              MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                              const_cast<char*>(container.data()), container.size()));
  EXPECT_TRUE(EndUpdateResourceA(update, FALSE));
  return path;
}

std::string DllWithTrailer(const std::string& name, const TFaultContainer& c) {
  std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << AppendContainerTrailer(ReadAll(ExeDir() + "optmod.dll"), c);
  return path;
}

template <class F>
F Export(HMODULE m, const char* name) {
  auto p = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  EXPECT_NE(p, nullptr) << name;
  return p;
}

TEST(OwnContainer, ExecutableFindsItsResource) {
  HMODULE exe = GetModuleHandleA(nullptr);
  EXPECT_EQ(FaultRunningModule(), exe);
  ASSERT_TRUE(FaultContainerPresent(exe));
  auto resource = FaultContainerResource(exe);
  ASSERT_TRUE(resource);
  auto c = ReadContainer(*resource);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Symbols, (std::vector<TFaultSymbol>{{0, 0x100, 16}}));

  TFaultContainerLoad load;
  TFaultModuleOptionsEx& own = FaultLoadOwnOptions(&load);
  EXPECT_EQ(own.MailTo(), "exe@container");
  EXPECT_EQ(own.FreezeSeconds(), 0);
  EXPECT_EQ(own.ModulePath(), FaultModulePath(exe));
  EXPECT_EQ(load.Version, 5111);
  EXPECT_EQ(load.BuildTime, 46000.5);
  EXPECT_EQ(load.DebugInfo, "EXEDBG");
  EXPECT_TRUE(load.PasswordAccepted);
  EXPECT_EQ(&CurrentFaultlineOptions(), &own);
  // Freshly loaded options are not "changed at run time": the block says so.
  auto payload = FaultOpenSharedBlock(exe, GetCurrentProcessId());
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, std::string(1, '\0'));
}

TEST(OwnContainer, LogFileNameCarriesTheComputerName) {
  TFaultModuleOptionsEx& own = FaultLoadOwnOptions();
  std::string exe = own.ModulePath();
  std::string folder = exe.substr(0, exe.find_last_of('\\') + 1);
  EXPECT_EQ(own.LogFileName(), folder + "sharedblock_test.flf");
  char name[64] = {};
  ASSERT_GT(GetEnvironmentVariableA("COMPUTERNAME", name, sizeof name), 0u);
  TFaultModuleOptions withName(exe, false);
  withName.SetLogSections(0x08);
  EXPECT_EQ(withName.LogFileName("C:\\x\\y.exe"), std::string("C:\\x\\y_") + name + ".flf");
}

TEST(OwnContainer, DllFindsResourceOrTrailer) {
  TFaultModuleOptions o("", false);
  o.SetMailTo("trailer@dll");
  TFaultContainer trailer;
  trailer.OptionsRecord = SaveOptionsRecord(o);
  trailer.DebugInfo = "TRAILERDEBUG";
  std::string plain = TempPath("plain.dll");
  ASSERT_TRUE(CopyFileA((ExeDir() + "optmod.dll").c_str(), plain.c_str(), FALSE));
  struct {
    std::string path;
    int registered, accepted, debugSize;
    const char* mailTo;
  } cases[] = {
      {DllWithResource("res.dll", DllContainer("res@dll", "dllpass", "RESDBG")), 1, 1, 6,
       "res@dll"},
      {DllWithTrailer("trailer.dll", trailer), 1, 1, 12, "trailer@dll"},
      {plain, 0, 1, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    HMODULE dll = LoadLibraryA(c.path.c_str());
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(FaultContainerPresent(dll), c.registered == 1);
    TOptModLoad r{};
    Export<TLoadOwn>(dll, "OptModLoadOwn")(&r);
    EXPECT_EQ(r.Registered, c.registered);
    EXPECT_EQ(r.Version, 5111);
    EXPECT_EQ(r.Accepted, c.accepted);  // resource: the module's own export gave "dllpass"
    EXPECT_EQ(r.DebugSize, c.debugSize);
    EXPECT_STREQ(r.MailTo, c.mailTo);
    EXPECT_EQ(Export<HMODULE (*)()>(dll, "OptModRunningModule")(), dll);
  }
}

std::optional<std::string> HandlerPassword(const std::string&) { return "handlerpass"; }

TEST(OwnContainer, ForeignModuleAsksThePasswordHandlers) {
  std::string path = DllWithResource("pw.dll", DllContainer("pw@dll", "handlerpass", "X"));
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr);
  TOptModLoad r{};
  Export<TLoadOwn>(dll, "OptModLoadOwn")(&r);
  EXPECT_EQ(r.Accepted, 0);  // its own export says "dllpass"; handlers are not asked for oneself

  TFaultModuleOptions o("", false);
  TFaultContainerLoad load;
  FaultLoadContainer(dll, o, load, TContainerReadMode::Full);
  EXPECT_FALSE(load.PasswordAccepted);
  EXPECT_EQ(load.DebugPassword, "dllpass");
  FaultLoadContainer(dll, o, load, TContainerReadMode::Full, HandlerPassword);
  EXPECT_TRUE(load.PasswordAccepted);
  EXPECT_EQ(load.DebugPassword, "handlerpass");
  EXPECT_EQ(load.DebugInfo, "X");
}

TEST(SharedBlock, TwoModulesSeeEachOthersChanges) {
  // The module's base as wide as the program's addresses.
  EXPECT_EQ(FaultSharedBlockName(reinterpret_cast<HMODULE>(0x10000000), 0x1A),
            sizeof(void*) == 8 ? "MODULE00000000100000000000001A" : "MODULE100000000000001A");
  HMODULE exe = GetModuleHandleA(nullptr);
  TFaultModuleOptionsEx& own = FaultLoadOwnOptions();
  std::string path = DllWithResource("shared.dll", DllContainer("res@dll", "dllpass", ""));
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr);
  TOptModLoad r{};
  Export<TLoadOwn>(dll, "OptModLoadOwn")(&r);
  auto setMailTo = Export<TSetMailTo>(dll, "OptModSetMailTo");
  auto readForeign = Export<TReadForeign>(dll, "OptModReadForeign");

  auto exeSees = [&] {
    TFaultModuleOptions o("", false);
    TFaultContainerLoad load;
    FaultLoadContainer(dll, o, load, TContainerReadMode::Light);
    return o.MailTo();
  };
  auto dllSees = [&] {
    char mailTo[600] = {};
    readForeign(exe, mailTo, sizeof mailTo);
    return std::string(mailTo);
  };

  EXPECT_EQ(exeSees(), "res@dll");  // nothing published yet: the container's values
  setMailTo("dll@runtime");
  EXPECT_EQ(exeSees(), "dll@runtime");
  std::string longer(500, 'x');  // a larger block replaces the smaller one
  setMailTo(longer.c_str());
  EXPECT_EQ(exeSees(), longer);

  own.SetMailTo("exe@runtime");
  EXPECT_EQ(dllSees(), "exe@runtime");
  own.BeginUpdate();
  own.SetMailTo("not yet");
  EXPECT_EQ(dllSees(), "exe@runtime");
  own.EndUpdate();
  own.Changed();
  EXPECT_EQ(dllSees(), "not yet");

  // The current-options object (no path, no publishing) never touches the block.
  TFaultModuleOptionsEx current("", false);
  current.SetMailTo("current");
  EXPECT_EQ(dllSees(), "not yet");
  EXPECT_FALSE(FaultOpenSharedBlock(exe, GetCurrentProcessId() + 4));
}

}  // namespace
