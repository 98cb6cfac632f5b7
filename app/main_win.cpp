// Start-up of the import wizard.
#include <windows.h>

#include "app/main_window.h"
#include "rtl/application.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Application().Initialize();
  Application().SetTitle("Tarn导入向导");
  TfrmMain* form = TfrmMain::Create();
  if (!form) return 1;
  Application().SetMainWindow(form->Handle());
  Application().Run();
  return 0;
}
