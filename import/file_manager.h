#pragma once
// The worker that performs one import run on a thread of its own and reports progress, completion
// or failure on the main thread. It frees itself when its run ends.
#include "import/import_run.h"
#include "rtl/callback.h"
#include "rtl/thread.h"

class TFileManager : public TThread {
 public:
  // Created suspended; set the callbacks, then Start().
  TFileManager(bool importDesktop, bool tidyDesktop, bool importTools, bool importBookmarks, bool importFolders);
  ~TFileManager() override;

  // Sets the terminate request of worker if it has not yet freed itself; false when it has.
  // A worker frees itself when its run ends, so whoever keeps a reference past the end reports
  // stops through here and never touches a freed object.
  static bool RequestStopIfAlive(TFileManager* worker);

  TNotifyEvent OnEnd;
  TNotifyEvent OnFail;
  TCallback<int> OnProgress;

  bool ImportDesktop, TidyDesktop, ImportTools, ImportBookmarks, ImportFolders;
  int Position = 0;

 protected:
  void Execute() override;

 private:
  void RunImport();
  void ProgressStep(int position);
  void ReportProgress();
  void ReportEnd();
  void ReportFail();
};
