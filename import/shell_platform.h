#pragma once
// The Win32 side of an import run: the real shell, file system and INI files (Windows only).
#include <atomic>
#include <functional>
#include <string>

#include "import/import_platform.h"
#include "import/reg_ini_file.h"

class TShellPlatform : public TImportPlatform {
 public:
  // programDir: where the run writes (with trailing backslash); terminateRequest: the worker's
  // flag (null: never set); progress: called at each progress step (may be empty).
  TShellPlatform(std::string programDir, const std::atomic<bool>* terminateRequest,
                 std::function<void(int)> progress);

  bool Terminated() const override;
  void Progress(int position) override;
  std::string ProgramDir() const override { return programDir_; }
  std::string SpecialFolderPath(int csidl) override;
  void ListFolderFiles(const std::string& folder, TStringList& paths) override;
  std::string ShortcutTarget(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  void ForceDirectories(const std::string& folder) override;
  void MoveItem(const std::string& from, const std::string& to) override;
  void SaveTextFile(const std::string& path, const std::string& text) override;
  TIniWriter& Ini() override { return ini_; }

 private:
  std::string programDir_;
  const std::atomic<bool>* terminateRequest_;
  std::function<void(int)> progress_;
  TRegIniFile ini_;
};

// The system's text for an error code, without its trailing line break.
std::string SystemErrorText(unsigned long code);
