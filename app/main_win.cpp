// Start-up of the import wizard.
#include <windows.h>

#include <string>

#include "app/main_window.h"
#include "faultline/capture/capture.h"
#include "rtl/application.h"

namespace {

// The reporting layer comes up before any window: it reads the options container built into
// this program, publishes them to the other modules of the process and puts its interception
// points in place. A damaged container must not keep the wizard from running; the reason goes to
// the debugger output.
void InitializeReporting() {
  try {
    FaultlineStart();
  } catch (const std::exception& e) {
    OutputDebugStringA((std::string("Tarn_Import: exception reporting not started: ") + e.what()).c_str());
  }
}

void FinalizeReporting() {
  try {
    FaultlineStop();
  } catch (const std::exception& e) {
    OutputDebugStringA((std::string("Tarn_Import: exception reporting not stopped: ") + e.what()).c_str());
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InitializeReporting();
  Application().Initialize();
  Application().SetTitle("Tarn导入向导");
  TfrmMain* form = TfrmMain::Create();
  if (!form) return 1;
  Application().SetMainWindow(form->Handle());
  Application().Run();
  FinalizeReporting();
  return 0;
}
