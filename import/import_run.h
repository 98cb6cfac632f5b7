#pragma once
// One import run: gathers the desktop items, system tools, bookmark-bar links and system folders
// into paired lists, optionally tidies the desktop, and writes the launcher's configuration files.
// The run is portable; all contact with the system goes through TImportPlatform.
#include <string>

#include "import/import_platform.h"
#include "import/path_rules.h"

struct TImportFlags {
  bool ImportDesktop = false;
  bool TidyDesktop = false;
  bool ImportTools = false;
  bool ImportBookmarks = false;
  bool ImportFolders = false;
};

// Special folders (the platform's CSIDL numbering).
enum : int {
  CSIDL_DESKTOP_ = 0,
  CSIDL_FAVORITES_ = 6,
  CSIDL_COMMON_DESKTOPDIRECTORY_ = 25,
  CSIDL_COMMON_FAVORITES_ = 31,
  CSIDL_WINDOWS_ = 36,
};

// The 58 special folders offered as system folders, in ascending order.
extern const int SystemFolderIds[58];

struct TToolRow {
  const char* RelativePath;  // below the Windows directory
  const char* Name;
};
extern const TToolRow SystemTools[27];

// Display names of the six default websites appended to the bookmarks; each is expected beside
// the program as NAME.url.
extern const char* const DefaultWebsiteNames[6];

class TImportRun {
 public:
  TImportRun(const TImportFlags& flags, TImportPlatform& platform);

  // Runs every phase and writes the files. True when the run reached its end; false when a check
  // found the terminate request (nothing more was written then). Errors propagate.
  bool Execute();

  // The phases, public for tests. Each returns false when a check ended the run.
  bool ImportDesktopPhase();
  void ImportToolsPhase();
  void ImportBookmarksPhase();
  bool ImportFoldersPhase();
  void WriteConfiguration();

  // The working data: index-aligned pairs of paths and display names.
  TStringList DesktopPaths, DocumentPaths, ToolPaths, FolderPaths, LinkPaths;
  TStringList DesktopNames, DocumentNames, ToolNames, FolderNames, LinkNames;

 private:
  bool Step(int position);
  bool Stopped() const { return platform_.Terminated(); }
  bool TidyDesktopItems();
  void WriteSection(const std::string& section, const TStringList& names, const TStringList& paths);
  int CountDesktopFiles();

  TImportFlags flags_;
  TImportPlatform& platform_;
  std::string programDir_;
};
