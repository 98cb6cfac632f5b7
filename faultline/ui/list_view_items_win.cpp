#include "faultline/ui/list_view_items.h"

#include "faultline/ui/dialog_resources.h"

namespace {

enum : int { SelectedBack, UnselectedBack, SelectedFocus, UnselectedFocus, HeaderLine, RowLine };

int TextWidth(HDC dc, const std::string& s) {
  SIZE size{};
  GetTextExtentPoint32A(dc, s.c_str(), int(s.size()), &size);
  return size.cx;
}

}  // namespace

TListViewItems::TListViewItems(HWND listView, HFONT listFont) : list_(listView), font_(listFont) {
  static const COLORREF colours[6] = {RGB(204, 218, 241), RGB(255, 255, 255), RGB(49, 106, 197),
                                      RGB(152, 181, 226), RGB(123, 164, 224), RGB(206, 203, 194)};
  for (int i = 0; i < 6; ++i) brushes_[i] = CreateSolidBrush(colours[i]);
  static const char* const names[6] = {"FL_DLL", "FL_BPL", "FL_VCL", "FL_PAS", "FL_PLUS", "FL_MINUS"};
  for (int i = 0; i < 6; ++i) bitmaps_[i] = LoadFaultBitmap(names[i]);
  images_ = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 4, 0);
  for (int i = 0; i < 4; ++i) ImageList_AddMasked(images_, bitmaps_[i], RGB(255, 0, 255));
  // The list's row height follows its small images.
  ListView_SetImageList(list_, images_, LVSIL_SMALL);
}

TListViewItems::~TListViewItems() {
  Clear();
  for (HBRUSH b : brushes_) DeleteObject(b);
  for (HBITMAP b : bitmaps_) DeleteObject(b);
  if (bold_) DeleteObject(bold_);
  if (IsWindow(list_)) ListView_SetImageList(list_, nullptr, LVSIL_SMALL);
  if (images_) ImageList_Destroy(images_);
}

void TListViewItems::FirstRow() {
  started_ = true;
  HWND header = ListView_GetHeader(list_);
  columns_ = header ? Header_GetItemCount(header) : 1;
  align_.assign(size_t(std::max(columns_, 1)), DT_LEFT);
  for (int c = 0; c < columns_; ++c) {
    LVCOLUMNA col{};
    col.mask = LVCF_FMT;
    if (SendMessageA(list_, LVM_GETCOLUMNA, WPARAM(c), LPARAM(&col))) {
      const int fmt = col.fmt & LVCFMT_JUSTIFYMASK;
      align_[size_t(c)] = fmt == LVCFMT_RIGHT ? DT_RIGHT : fmt == LVCFMT_CENTER ? DT_CENTER : DT_LEFT;
    }
  }
  HDC dc = GetDC(list_);
  HGDIOBJ old = SelectObject(dc, font_);
  while (TextWidth(dc, indent_) < 14) indent_ += ' ';
  indentStep_ = TextWidth(dc, indent_);
  SelectObject(dc, old);
  ReleaseDC(list_, dc);
  LOGFONTA lf{};
  GetObjectA(font_, sizeof lf, &lf);
  lf.lfWeight = FW_BOLD;
  bold_ = CreateFontIndirectA(&lf);
}

void TListViewItems::InsertItem(int at, size_t row) {
  const TListRowsModel::TRow& r = model_.Rows()[row];
  std::string first = r.Spec.Cells.empty() ? std::string() : r.Spec.Cells[0];
  if (r.Indented) first = indent_ + first;
  LVITEMA item{};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
  item.iItem = at;
  item.pszText = const_cast<char*>(r.Spec.Header ? r.Spec.HeaderText.c_str() : first.c_str());
  item.iImage = r.Spec.Image;
  item.lParam = LPARAM(row);
  const int index = int(SendMessageA(list_, LVM_INSERTITEMA, 0, LPARAM(&item)));
  for (size_t c = 1; c < r.Spec.Cells.size(); ++c) {
    LVITEMA sub{};
    sub.iSubItem = int(c);
    sub.pszText = const_cast<char*>(r.Spec.Cells[c].c_str());
    SendMessageA(list_, LVM_SETITEMTEXTA, WPARAM(index), LPARAM(&sub));
  }
}

void TListViewItems::AddRow(TListRowSpec spec) {
  if (!started_) FirstRow();
  model_.Add(std::move(spec));
  InsertItem(ListView_GetItemCount(list_), model_.Rows().size() - 1);
}

int TListViewItems::RowOfItem(int item) const {
  LVITEMA lv{};
  lv.mask = LVIF_PARAM;
  lv.iItem = item;
  if (item < 0 || !SendMessageA(list_, LVM_GETITEMA, 0, LPARAM(&lv))) return -1;
  return lv.lParam >= 0 && size_t(lv.lParam) < model_.Rows().size() ? int(lv.lParam) : -1;
}

bool TListViewItems::Toggle(int item, POINT point, bool requireSignHit) {
  const int row = RowOfItem(item);
  if (row < 0 || !model_.Rows()[size_t(row)].Spec.Header) return false;
  if (requireSignHit) {
    RECT r{};
    r.left = LVIR_BOUNDS;
    ListView_GetItemRect(list_, item, &r, LVIR_BOUNDS);
    if (!model_.SignHit(size_t(row), point.x - r.left, point.y - r.top, indentStep_)) return false;
  }
  std::vector<bool> before;
  for (const auto& r : model_.Rows()) before.push_back(r.Visible);
  model_.Toggle(size_t(row));
  SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
  // Rows that disappear are deleted from the list, rows that come back are inserted after the
  // previous visible one.
  int at = 0;
  for (size_t i = 0; i < model_.Rows().size(); ++i) {
    const bool now = model_.Rows()[i].Visible;
    if (before[i] && !now) {
      ListView_DeleteItem(list_, at);
    } else if (!before[i] && now) {
      InsertItem(at++, i);
    } else if (now) {
      ++at;
    }
  }
  SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list_, nullptr, TRUE);
  return true;
}

bool TListViewItems::Draw(const DRAWITEMSTRUCT& di) {
  const int row = int(di.itemData);
  if (row < 0 || size_t(row) >= model_.Rows().size()) return true;
  const TListRowsModel::TRow& r = model_.Rows()[size_t(row)];
  HDC dc = di.hDC;
  const RECT item = di.rcItem;
  const bool selected = (di.itemState & ODS_SELECTED) != 0;
  const int indent = r.Indented ? indentStep_ : 0;
  RECT back = item;
  back.left += indent + 2;
  FillRect(dc, &item, brushes_[UnselectedBack]);
  FillRect(dc, &back, brushes_[selected ? SelectedBack : UnselectedBack]);
  SetBkMode(dc, TRANSPARENT);
  const int height = item.bottom - item.top;

  if (r.Spec.Header) {
    COLORREF colour = RGB(96, 96, 96);
    int x = item.left;
    if (row == 0) {
      colour = RGB(128, 0, 0);
    } else if (r.Spec.Running) {
      colour = RGB(0, 0, 128);
    } else {
      x += indentStep_;
    }
    RECT line{x, item.bottom - 2, item.right, item.bottom};
    FillRect(dc, &line, brushes_[HeaderLine]);
    HGDIOBJ old = SelectObject(dc, bold_ ? bold_ : font_);
    SetTextColor(dc, colour);
    RECT text{x + 15, item.top, item.right, item.bottom};
    DrawTextA(dc, r.Spec.HeaderText.c_str(), int(r.Spec.HeaderText.size()), &text,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS | DT_LEFT);
    SelectObject(dc, old);
    DrawTransparentBitmap(dc, bitmaps_[r.Expanded ? 5 : 4], x + 1, item.top + 1);
  } else {
    if (r.Spec.Image >= 0 && r.Spec.Image < 4)
      DrawTransparentBitmap(dc, bitmaps_[size_t(r.Spec.Image)], item.left + indent + 2,
                            item.top + (height - 16) / 2);
    HGDIOBJ old = SelectObject(dc, font_);
    SetTextColor(dc, RGB(0, 0, 0));
    HWND header = ListView_GetHeader(list_);
    int left = item.left;
    for (int c = 0; c < columns_ && size_t(c) < r.Spec.Cells.size(); ++c) {
      RECT h{};
      Header_GetItemRect(header, c, &h);
      const int width = h.right - h.left;
      RECT cell{c == 0 ? left + 20 + indent : left + 6, item.top, left + width - 6 + (c == 0 ? 4 : 0), item.bottom};
      const std::string& s = r.Spec.Cells[size_t(c)];
      DrawTextA(dc, s.c_str(), int(s.size()), &cell,
                DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS | align_[size_t(c)]);
      left += width;
    }
    SelectObject(dc, old);
    if (!r.Blank) {
      RECT line{item.left, item.bottom - 1, item.right, item.bottom};
      FillRect(dc, &line, brushes_[RowLine]);
    }
  }
  if (di.itemState & ODS_FOCUS) {
    RECT focus = back;
    FrameRect(dc, &focus, brushes_[GetFocus() == list_ ? SelectedFocus : UnselectedFocus]);
  }
  return true;
}

void TListViewItems::Clear() {
  if (IsWindow(list_)) ListView_DeleteAllItems(list_);
  model_ = TListRowsModel();
}
