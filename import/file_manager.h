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
