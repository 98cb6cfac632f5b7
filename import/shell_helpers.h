#pragma once
// The import engine's contact points with the Windows shell and file system (Windows build only).
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <string>

#include "import/path_rules.h"

// What reading a shortcut file yields. Texts are ANSI and NUL-terminated.
struct ShortcutInfo {
  char Path[MAX_PATH + 1];
  char WorkingDirectory[MAX_PATH + 1];
  char IconLocation[MAX_PATH + 1];
  int IconIndex;
  char Arguments[MAX_PATH + 1];
  char Description[256];
  LPITEMIDLIST IDList;  // owned by the shell allocator
  char RelativePath[256];
  int ShowCmd;
  WORD HotKey;
};

// The directory of the running program, with a trailing backslash.
std::string ProgramDir();
// The file-system path of a special folder (no trailing backslash), or empty.
std::string GetSpecialFolderPath(int csidl);
// Loads and resolves a shortcut file without user interface and fills info. False on any failure.
bool ResolveShortcut(const std::string& path, ShortcutInfo& info);
// The target path of a shortcut file, or empty.
std::string GetShortcutTarget(const std::string& path);
// Appends the full paths of the plain files of folder (no trailing backslash). Stops at the next
// entry once *terminateRequest is set (null: never).
void ListFolderFiles(const std::string& folder, TStringList& paths,
                     const std::atomic<bool>* terminateRequest = nullptr);
// True when path names an existing file that is not a folder.
bool FileExistsA(const std::string& path);
