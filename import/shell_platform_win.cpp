#include "import/shell_platform.h"

#include <windows.h>

#include "import/shell_helpers.h"
#include "rtl/exception.h"

TShellPlatform::TShellPlatform(std::string programDir, const std::atomic<bool>* terminateRequest,
                               std::function<void(int)> progress)
    : programDir_(std::move(programDir)), terminateRequest_(terminateRequest), progress_(std::move(progress)) {
  ini_.SetPathType(TRegIniFile::TPathType::IniFile);
}

bool TShellPlatform::Terminated() const {
  return terminateRequest_ && terminateRequest_->load(std::memory_order_relaxed);
}

void TShellPlatform::Progress(int position) {
  if (progress_) progress_(position);
}

std::string TShellPlatform::SpecialFolderPath(int csidl) { return GetSpecialFolderPath(csidl); }

void TShellPlatform::ListFolderFiles(const std::string& folder, TStringList& paths) {
  ::ListFolderFiles(folder, paths, terminateRequest_);
}

std::string TShellPlatform::ShortcutTarget(const std::string& path) { return GetShortcutTarget(path); }

bool TShellPlatform::FileExists(const std::string& path) { return FileExistsA(path); }

void TShellPlatform::ForceDirectories(const std::string& folder) {
  // Parents first; the first failure ends it silently. The path rules find the parent, so a
  // double-byte character ending in 0x5C is never taken for a separator.
  if (folder.empty() || folder.back() == ':' || GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
    return;
  std::string parent = ExtractFilePath(folder);
  if (!parent.empty() && parent.back() == '\\') parent.pop_back();
  if (!parent.empty() && parent != folder) ForceDirectories(parent);
  CreateDirectoryA(folder.c_str(), nullptr);
}

void TShellPlatform::MoveItem(const std::string& from, const std::string& to) { MoveFileA(from.c_str(), to.c_str()); }

void TShellPlatform::SaveTextFile(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw Exception("Cannot create file \"" + path + "\". " + SystemErrorText(GetLastError()));
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  DWORD code = GetLastError();
  CloseHandle(file);
  if (!ok || written != text.size()) throw Exception("Cannot write file \"" + path + "\". " + SystemErrorText(code));
}

std::string SystemErrorText(unsigned long code) {
  char buffer[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "System error " + std::to_string(code) : text;
}
