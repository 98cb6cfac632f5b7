#pragma once
// The wizard's only window: banner, task list, progress bar, status line and one button.
#include <windows.h>

#include "import/file_manager.h"

class TfrmMain {
 public:
  // Creates the window (which runs FormCreate) and shows it centred on the screen.
  static TfrmMain* Create();
  HWND Handle() const { return handle_; }

  void FormCreate(void* sender);
  void btnStartClick(void* sender);
  void OnWorking(int position);
  void OnWorkEnd();
  void OnWorkFaild();

 private:
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK PanelProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  void CreateControls();
  void SetStatus(const char* text);
  void SetButton(const char* caption, int tag);

  HWND handle_ = nullptr;
  HWND btnStart_ = nullptr, panel1_ = nullptr, listView1_ = nullptr, progressBar2_ = nullptr;
  HWND label1_ = nullptr, panel2_ = nullptr, image1_ = nullptr;
  HFONT font_ = nullptr;
  HBITMAP banner_ = nullptr;
  // The worker started last, until a stop drops it. It frees itself when its run ends, so it is
  // only ever reached through TFileManager::RequestStopIfAlive.
  TFileManager* worker_ = nullptr;
};
