#include "import/file_manager.h"

#include <windows.h>

#include <mutex>
#include <set>

#include "import/shell_helpers.h"
#include "import/shell_platform.h"

namespace {
std::mutex liveLock;
std::set<TFileManager*>& LiveWorkers() {
  static std::set<TFileManager*> live;
  return live;
}
}  // namespace

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
  std::lock_guard<std::mutex> guard(liveLock);
  LiveWorkers().insert(this);
}

TFileManager::~TFileManager() {
  std::lock_guard<std::mutex> guard(liveLock);
  LiveWorkers().erase(this);
}

bool TFileManager::RequestStopIfAlive(TFileManager* worker) {
  std::lock_guard<std::mutex> guard(liveLock);
  if (!worker || !LiveWorkers().count(worker)) return false;
  worker->RequestStop();
  return true;
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
    TShellPlatform platform(::ProgramDir(), &TerminateFlag(), [this](int p) { ProgressStep(p); });
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
