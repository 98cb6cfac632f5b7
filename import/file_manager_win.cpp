#include "import/file_manager.h"

#include <windows.h>

#include <fstream>
#include <memory>

#include "import/reg_ini_file.h"
#include "import/shell_helpers.h"
#include "rtl/exception.h"

// The Win32 side of an import run, bound to its worker's terminate request and progress.
class TWorkerPlatform : public TImportPlatform {
 public:
  explicit TWorkerPlatform(TFileManager& worker) : worker_(worker) {
    ini_.SetPathType(TRegIniFile::TPathType::IniFile);
  }

  bool Terminated() const override { return worker_.Terminated(); }
  void Progress(int position) override { worker_.ProgressStep(position); }
  std::string ProgramDir() const override { return ::ProgramDir(); }
  std::string SpecialFolderPath(int csidl) override { return GetSpecialFolderPath(csidl); }
  void ListFolderFiles(const std::string& folder, TStringList& paths) override {
    ::ListFolderFiles(folder, paths, &worker_.TerminateFlag());
  }
  std::string ShortcutTarget(const std::string& path) override { return GetShortcutTarget(path); }
  bool FileExists(const std::string& path) override { return FileExistsA(path); }
  void ForceDirectories(const std::string& folder) override {
    // Create each missing level; the first failure ends it silently.
    for (size_t i = folder.find('\\', 3); ; i = folder.find('\\', i + 1)) {
      std::string level = folder.substr(0, i);
      if (GetFileAttributesA(level.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(level.c_str(), nullptr))
        return;
      if (i == std::string::npos) return;
    }
  }
  void MoveItem(const std::string& from, const std::string& to) override { MoveFileA(from.c_str(), to.c_str()); }
  void SaveTextFile(const std::string& path, const std::string& text) override {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      throw Exception("Cannot create file \"" + path + "\". " + SystemErrorText(code));
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    DWORD code = GetLastError();
    CloseHandle(file);
    if (!ok || written != text.size()) throw Exception("Cannot write file \"" + path + "\". " + SystemErrorText(code));
  }
  TIniWriter& Ini() override { return ini_; }

  static std::string SystemErrorText(DWORD code) {
    char buffer[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "System error " + std::to_string(code) : text;
  }

 private:
  TFileManager& worker_;
  TRegIniFile ini_;
};

TFileManager::TFileManager(bool importDesktop, bool tidyDesktop, bool importTools, bool importBookmarks,
                           bool importFolders)
    : TThread(true),
      ImportDesktop(importDesktop),
      TidyDesktop(tidyDesktop),
      ImportTools(importTools),
      ImportBookmarks(importBookmarks),
      ImportFolders(importFolders) {
  Position = 0;
  OnEnd.Clear();
  OnFail.Clear();
}

void TFileManager::Execute() {
  SetFreeOnTerminate(true);
  RunImport();
}

void TFileManager::ProgressStep(int position) {
  Position = position;
  RunOnMainThread([this] { ReportProgress(); });
}

void TFileManager::RunImport() {
  bool completed = false;
  try {
    // The working data live exactly as long as this block, whatever ends it.
    TWorkerPlatform platform(*this);
    TImportRun run({ImportDesktop, TidyDesktop, ImportTools, ImportBookmarks, ImportFolders}, platform);
    completed = run.Execute();
  } catch (...) {
    RunOnMainThread([this] { ReportFail(); });
    return;
  }
  if (completed) RunOnMainThread([this] { ReportEnd(); });
}

void TFileManager::ReportProgress() { OnProgress(Position); }
void TFileManager::ReportEnd() { OnEnd(); }
void TFileManager::ReportFail() { OnFail(); }
