// Tarn_Import.exe carries its options container: the options of its options file, the symbol
// table and debug information that name its own code; and at run time it loads them itself.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstring>

#include "faultline/options/container.h"
#include "faultline/debuginfo/debuginfo.h"
#include "faultline/options/module_options.h"
#include "tests/wine_support.h"
#include "tools/demo/wizard_driver.h"

using namespace wine_test;

namespace {

class OwnContainer : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = prog_ / "Tarn_Import.exe";
    ASSERT_TRUE(CopyFileA(FromUnix(TARN_IMPORT_EXE).c_str(), exe_.c_str(), FALSE));
  }
  TTempDir prog_{"own"};
  std::string exe_;
};

}  // namespace

TEST_F(OwnContainer, HoldsTheWizardsOptionsAndNamesItsOwnCode) {
  HMODULE module = LoadLibraryExA(exe_.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_TRUE(module);
  TFaultModuleOptionsEx options("", false);
  TFaultContainerLoad load;
  FaultLoadContainer(module, options, load, TContainerReadMode::Full);
  EXPECT_EQ(load.Version, 5111);
  EXPECT_TRUE(options.LogOn());
  EXPECT_EQ(options.FreezeSeconds(), 0);
  EXPECT_EQ(options.SendFlags(), 0x41);
  EXPECT_EQ(options.DialogFlags(), 0x9F);
  EXPECT_TRUE(options.FilterClasses().empty());
  // Everything else keeps its default.
  TFaultModuleOptionsEx defaults("", false);
  EXPECT_EQ(options.LogMaxReports(), defaults.LogMaxReports());
  EXPECT_EQ(options.Texts(), defaults.Texts());

  auto resource = FaultContainerResource(module);
  ASSERT_TRUE(resource);
  auto container = ReadContainer(*resource);
  ASSERT_TRUE(container);
  ASSERT_TRUE(load.DebugInfo);
  TDebugModule debug;
  debug.Stream = *load.DebugInfo;
  debug.Version = container->Version;
  debug.Handle = reinterpret_cast<uintptr_t>(module);
  debug.PasswordAccepted = load.PasswordAccepted;
  debug.ReadCode = [](uint64_t address, void* buffer, size_t size) {
    std::memcpy(buffer, reinterpret_cast<const void*>(uintptr_t(address)), size);
    return true;
  };
  // Ids 0 and 1: the application object's exception handler and display.
  const char* const expected[2] = {"HandleException", "ShowException"};
  ASSERT_EQ(container->Symbols.size(), 2u);
  for (const TFaultSymbol& s : container->Symbols) {
    TDebugHit hit;
    ASSERT_TRUE(DebugLookup(debug, debug.Handle + 4096 + s.Offset, hit)) << int(s.Id);
    EXPECT_EQ(hit.Unit, "application_win.cpp");
    EXPECT_EQ(hit.Class, "TApplication");
    EXPECT_EQ(hit.Procedure, expected[s.Id]);
  }
  FreeLibrary(module);
}

TEST_F(OwnContainer, TheRunningWizardLoadsItAndPublishesItsBlock) {
  TWizardDriver wizard;
  ASSERT_TRUE(wizard.Launch(exe_, prog_.Path()));
  DWORD pid = 0;
  GetWindowThreadProcessId(wizard.Main(), &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  ASSERT_TRUE(process);
  HMODULE modules[1] = {};
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcessModules(process, modules, sizeof modules, &needed));
  CloseHandle(process);
  // The block exists once the program has loaded its own container; a fresh load publishes
  // "no run-time change".
  auto payload = FaultOpenSharedBlock(modules[0], pid);
  ASSERT_TRUE(payload) << "no shared options block";
  EXPECT_EQ(*payload, std::string(1, '\0'));
}
