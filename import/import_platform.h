#pragma once
// What one import run needs from the system. The worker thread supplies the Win32 shell, file
// system and INI store; the unit tests supply a scripted stand-in, so that the run's order of
// steps, check points and writes can be tested without Windows.
#include <string>

#include "import/path_rules.h"

// The INI store in INI-file mode: the operations the configuration writer uses.
class TIniWriter {
 public:
  virtual ~TIniWriter() = default;
  // The next writes go to this file (a full path).
  virtual void SetPath(const std::string& fileName) = 0;
  // Writes key=value into the section of the current file; a refused write raises an error.
  virtual void WriteString(const std::string& section, const std::string& key, const std::string& value) = 0;
  void WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
  }
};

class TImportPlatform {
 public:
  virtual ~TImportPlatform() = default;

  // The worker's terminate request.
  virtual bool Terminated() const = 0;
  // A progress step: the worker stores the position and reports it on the main thread.
  virtual void Progress(int position) = 0;

  // The program's directory, with its trailing backslash.
  virtual std::string ProgramDir() const = 0;
  // A special folder's file-system path (no trailing backslash), or empty.
  virtual std::string SpecialFolderPath(int csidl) = 0;
  // Appends the full paths of the plain files of a folder; stops when Terminated().
  virtual void ListFolderFiles(const std::string& folder, TStringList& paths) = 0;
  // A shortcut's target path, or empty for anything that does not load and resolve as a shortcut.
  virtual std::string ShortcutTarget(const std::string& path) = 0;
  // True when path names an existing file that is not a folder.
  virtual bool FileExists(const std::string& path) = 0;
  // Creates a folder with any missing parents; failure is silent.
  virtual void ForceDirectories(const std::string& folder) = 0;
  // Moves a file; never replaces an existing destination; failure is silent.
  virtual void MoveItem(const std::string& from, const std::string& to) = 0;
  // Writes a text file whole; raises an error naming the path and the system's reason on failure.
  virtual void SaveTextFile(const std::string& path, const std::string& text) = 0;

  // The run's INI store.
  virtual TIniWriter& Ini() = 0;
};
