#pragma once
// The owner-drawn rows of the call-stack and modules lists: thread headers in bold with a sign that
// collapses and expands their rows, row icons, indented nested threads, thin separator lines and a
// focus frame. Windows only.
#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>

#include <array>
#include <vector>

#include "faultline/ui/dialog_model.h"

class TListViewItems {
 public:
  // listFont: the list's font (the bold variant is made here).
  TListViewItems(HWND listView, HFONT listFont);
  ~TListViewItems();
  TListViewItems(const TListViewItems&) = delete;
  TListViewItems& operator=(const TListViewItems&) = delete;

  void AddRow(TListRowSpec spec);
  // Toggles the header row under a list-view item; with requireSignHit only when point (in list
  // client coordinates) lies on its sign. Returns whether a header was toggled.
  bool Toggle(int item, POINT point, bool requireSignHit);
  bool Draw(const DRAWITEMSTRUCT& item);
  void Clear();

  const TListRowsModel& Model() const { return model_; }
  // The model row shown by a list-view item, or -1.
  int RowOfItem(int item) const;
  int IndentStep() const { return indentStep_; }

 private:
  void FirstRow();
  void InsertItem(int at, size_t row);

  HWND list_;
  HFONT font_;
  HFONT bold_ = nullptr;
  TListRowsModel model_;
  std::array<HBRUSH, 6> brushes_{};
  std::array<HBITMAP, 6> bitmaps_{};  // DLL, BPL, VCL, PAS, PLUS, MINUS
  HIMAGELIST images_ = nullptr;
  std::string indent_;
  int indentStep_ = 0;
  int columns_ = 0;
  std::vector<UINT> align_;
  bool started_ = false;
};
#endif
