#pragma once
// Control identifiers of the main window; the end-to-end driver finds the controls by them.
enum : int {
  IDC_BTNSTART = 100,
  IDC_PANEL1 = 101,
  IDC_LISTVIEW1 = 102,
  IDC_PROGRESSBAR2 = 103,
  IDC_LABEL1 = 104,
  IDC_PANEL2 = 105,
  IDC_IMAGE1 = 106,
};
// The main window's class name.
#define TARN_MAIN_WINDOW_CLASS "TfrmMain"
// The button's tag (1: a run has completed) is kept in the button's user data.
