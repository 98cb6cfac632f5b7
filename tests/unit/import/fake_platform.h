#pragma once
// A scripted stand-in for the system under an import run: folders and their files, shortcut
// targets, and a log of every progress step, move, batch file and INI write in order.
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "import/import_platform.h"

struct TIniWrite {
  std::string File, Section, Key, Value;
};

class TFakePlatform : public TImportPlatform, public TIniWriter {
 public:
  std::string Dir = "C:\\Tarn\\";
  std::map<int, std::string> Folders;                     // csidl -> path
  std::map<std::string, std::vector<std::string>> Files;  // folder -> file names in listing order
  std::map<std::string, std::string> Targets;             // shortcut path -> target
  std::set<std::string> Existing;                         // files FileExists() confirms
  int StopAtProgress = -1;                                // the terminate request is set at this step
  std::string RefuseFile;                                 // INI writes to this file fail
  bool RefuseBatch = false;

  std::vector<int> ProgressLog;
  std::vector<std::string> Events;  // "move A -> B", "save P", "list F"
  std::vector<TIniWrite> Writes;
  std::map<std::string, std::string> Saved;
  bool Stop = false;

  bool Terminated() const override { return Stop; }
  void Progress(int position) override {
    ProgressLog.push_back(position);
    if (position == StopAtProgress) Stop = true;
  }
  std::string ProgramDir() const override { return Dir; }
  std::string SpecialFolderPath(int csidl) override {
    auto it = Folders.find(csidl);
    return it == Folders.end() ? std::string() : it->second;
  }
  void ListFolderFiles(const std::string& folder, TStringList& paths) override {
    Events.push_back("list " + folder);
    auto it = Files.find(folder);
    if (folder.empty() || it == Files.end()) return;
    for (const std::string& name : it->second) {
      if (Stop) return;
      paths.push_back(folder + "\\" + name);
    }
  }
  std::string ShortcutTarget(const std::string& path) override {
    auto it = Targets.find(path);
    return it == Targets.end() ? std::string() : it->second;
  }
  bool FileExists(const std::string& path) override { return Existing.count(path) != 0; }
  void ForceDirectories(const std::string& folder) override { Events.push_back("mkdir " + folder); }
  void MoveItem(const std::string& from, const std::string& to) override { Events.push_back("move " + from + " -> " + to); }
  void SaveTextFile(const std::string& path, const std::string& text) override {
    if (RefuseBatch) throw std::runtime_error("Cannot create file " + path);
    Events.push_back("save " + path);
    Saved[path] = text;
  }
  TIniWriter& Ini() override { return *this; }

  void SetPath(const std::string& fileName) override { current_ = fileName; }
  void WriteString(const std::string& section, const std::string& key, const std::string& value) override {
    if (!RefuseFile.empty() && current_ == RefuseFile) throw std::runtime_error("Unable to write to " + current_);
    Writes.push_back({current_, section, key, value});
  }

  // The writes to one file, as "section/key=value" lines.
  std::vector<std::string> WritesTo(const std::string& file) const {
    std::vector<std::string> out;
    for (const TIniWrite& w : Writes)
      if (w.File == file) out.push_back(w.Section + "/" + w.Key + "=" + w.Value);
    return out;
  }
  std::set<std::string> FilesWritten() const {
    std::set<std::string> out;
    for (const TIniWrite& w : Writes) out.insert(w.File);
    return out;
  }

 private:
  std::string current_;
};
