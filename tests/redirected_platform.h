#pragma once
// The real shell platform with its special folders pointed at chosen folders, so that Windows
// tests and benchmarks can run an import on desktops of their own.
#include <atomic>
#include <map>
#include <string>

#include "import/shell_platform.h"

class TRedirectedPlatform : public TShellPlatform {
 public:
  explicit TRedirectedPlatform(const std::string& programDir, const std::atomic<bool>* stop = nullptr)
      : TShellPlatform(programDir, stop, nullptr) {}
  std::map<int, std::string> Folders;  // csidl -> path; any other folder has none
  std::string SpecialFolderPath(int csidl) override {
    auto it = Folders.find(csidl);
    return it == Folders.end() ? std::string() : it->second;
  }
};
