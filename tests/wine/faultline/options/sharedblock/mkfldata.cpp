// Writes the options container that sharedblock_test carries as its "FLDATA" resource.
#include <cstdio>

#include "faultline/options/container.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  TFaultModuleOptions options("", false);
  options.SetMailTo("exe@container");
  options.SetFreezeSeconds(0);
  TFaultContainer c;
  c.BuildTime = 46000.5;
  c.Symbols = {{0, 0x100, 16}};
  c.OptionsRecord = SaveOptionsRecord(options);
  c.PasswordCheck = MakePasswordCheck("");
  c.DebugInfo = "EXEDBG";
  std::string bytes = WriteContainer(c);
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok ? 0 : 1;
}
