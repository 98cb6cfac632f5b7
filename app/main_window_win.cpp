#include "app/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>

#include "app/main_window_ids.h"
#include "import/shell_helpers.h"
#include "rtl/application.h"
#include "rtl/jpeg_image.h"

namespace {

constexpr int kClientWidth = 580;
constexpr int kClientHeight = 382;
constexpr char kPanelClass[] = "TPanel";

const char* const kTasks[5] = {
    "分类导入桌面文件与快捷方式", "-----> 整理桌面", "导入系统常见工具", "导入书签栏书签", "添加系统常见目录",
};

// The banner is a JPEG stored in the program's resources; it becomes a top-down 24-bit DIB.
HBITMAP LoadBanner() {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC res = FindResourceA(module, "BANNER", MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (!res) return nullptr;
  HGLOBAL data = LoadResource(module, res);
  const char* bytes = static_cast<const char*>(LockResource(data));
  if (!bytes) return nullptr;
  TRgbImage image = DecodeJpeg(std::string_view(bytes, SizeofResource(module, res)));

  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
  bmi.bmiHeader.biWidth = image.Width;
  bmi.bmiHeader.biHeight = -image.Height;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 24;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap) return nullptr;
  const int stride = (image.Width * 3 + 3) & ~3;
  for (int y = 0; y < image.Height; ++y) {
    auto* dst = static_cast<unsigned char*>(bits) + static_cast<size_t>(y) * stride;
    const unsigned char* src = image.Pixels.data() + static_cast<size_t>(y) * image.Width * 3;
    for (int x = 0; x < image.Width; ++x) {
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  return bitmap;
}

}  // namespace

TfrmMain* TfrmMain::Create() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TfrmMain::WndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
  wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, 0));
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = TARN_MAIN_WINDOW_CLASS;
  RegisterClassExA(&wc);

  WNDCLASSA panel{};
  panel.lpfnWndProc = &TfrmMain::PanelProc;
  panel.hInstance = instance;
  panel.hCursor = wc.hCursor;
  panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  panel.lpszClassName = kPanelClass;
  RegisterClassA(&panel);

  // Single border, system menu and minimise only; the client area is fixed.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT r{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;

  auto* form = new TfrmMain();
  CreateWindowExA(0, TARN_MAIN_WINDOW_CLASS, "Tarn导入向导", style, x, y, w, h, nullptr, nullptr, instance, form);
  if (!form->handle_) {
    delete form;
    return nullptr;
  }
  ShowWindow(form->handle_, SW_SHOWNORMAL);
  UpdateWindow(form->handle_);
  return form;
}

void TfrmMain::CreateControls() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  font_ = CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "宋体");
  auto make = [&](const char* cls, const char* text, DWORD style, int x, int y, int w, int h, HWND parent, int id,
                  DWORD exStyle = 0) {
    HWND wnd = CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageA(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return wnd;
  };

  // Created in tab order: button, task list panel, progress bar, banner panel.
  btnStart_ = make("BUTTON", "开始导入", WS_TABSTOP | BS_PUSHBUTTON, 216, 344, 353, 25, handle_, IDC_BTNSTART);
  SetWindowLongPtrA(btnStart_, GWLP_USERDATA, 0);
  panel1_ = make(kPanelClass, "", WS_TABSTOP | WS_CLIPCHILDREN, 216, 8, 353, 281, handle_, IDC_PANEL1);
  listView1_ = make(WC_LISTVIEWA, "",
                    WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | LVS_SINGLESEL, 2, 2, 349, 277,
                    panel1_, IDC_LISTVIEW1);
  ListView_SetExtendedListViewStyle(listView1_, LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  LVCOLUMNA column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.cx = 332;
  column.pszText = const_cast<char*>("操作");
  SendMessageA(listView1_, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
  for (int i = 0; i < 5; ++i) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = i;
    item.pszText = const_cast<char*>(kTasks[i]);
    SendMessageA(listView1_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  progressBar2_ = make(PROGRESS_CLASSA, "", WS_TABSTOP, 216, 296, 353, 17, handle_, IDC_PROGRESSBAR2);
  SendMessageA(progressBar2_, PBM_SETRANGE32, 0, 100);
  SendMessageA(progressBar2_, PBM_SETPOS, 0, 0);
  label1_ = make("STATIC", "", SS_LEFT | SS_NOPREFIX, 216, 320, 6, 12, handle_, IDC_LABEL1);
  panel2_ = make(kPanelClass, "", WS_TABSTOP | WS_CLIPCHILDREN, 8, 8, 198, 363, handle_, IDC_PANEL2);
  image1_ = make("STATIC", "", SS_BITMAP, 2, 2, 194, 359, panel2_, IDC_IMAGE1);
  banner_ = LoadBanner();
  if (banner_) SendMessageA(image1_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(banner_));
}

void TfrmMain::FormCreate(void* sender) {
  worker_ = nullptr;
  const int count = static_cast<int>(SendMessageA(listView1_, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) ListView_SetCheckState(listView1_, i, TRUE);
}

void TfrmMain::SetStatus(const char* text) {
  // The status label sizes itself to its text.
  SetWindowTextA(label1_, text);
  HDC dc = GetDC(label1_);
  HGDIOBJ old = SelectObject(dc, font_);
  SIZE size{};
  GetTextExtentPoint32A(dc, text, static_cast<int>(strlen(text)), &size);
  SelectObject(dc, old);
  ReleaseDC(label1_, dc);
  SetWindowPos(label1_, nullptr, 0, 0, size.cx > 0 ? size.cx : 6, 12, SWP_NOMOVE | SWP_NOZORDER);
  InvalidateRect(handle_, nullptr, TRUE);
}

void TfrmMain::SetButton(const char* caption, int tag) {
  SetWindowLongPtrA(btnStart_, GWLP_USERDATA, tag);
  SetWindowTextA(btnStart_, caption);
}

void TfrmMain::btnStartClick(void* sender) {
  bool checked[5];
  for (int i = 0; i < 5; ++i) checked[i] = ListView_GetCheckState(listView1_, i) != 0;

  if (GetWindowLongPtrA(btnStart_, GWLP_USERDATA) != 0) {
    const std::string launcher = ProgramDir() + "Tarn.exe";
    ShellExecuteA(nullptr, "open", launcher.c_str(), "", ExtractFilePath(launcher).c_str(), SW_SHOWNORMAL);
    DestroyWindow(handle_);
    return;
  }
  if (worker_) {
    TFileManager::RequestStopIfAlive(worker_);
    worker_ = nullptr;
    SetButton("开始导入", 0);
    SetStatus("");
    SendMessageA(progressBar2_, PBM_SETPOS, 0, 0);
    return;
  }
  SetButton("停止导入", 0);
  SetStatus("导入中，请稍后...");
  worker_ = new TFileManager(checked[0], checked[1], checked[2], checked[3], checked[4]);
  worker_->OnEnd = TNotifyEvent::Bind<&TfrmMain::OnWorkEnd>(this);
  worker_->OnFail = TNotifyEvent::Bind<&TfrmMain::OnWorkFaild>(this);
  worker_->OnProgress = TCallback<int>::Bind<&TfrmMain::OnWorking>(this);
  worker_->Start();
}

void TfrmMain::OnWorking(int position) { SendMessageA(progressBar2_, PBM_SETPOS, position, 0); }

void TfrmMain::OnWorkEnd() {
  SetButton("完成", 1);
  SetStatus("导入完成");
}

void TfrmMain::OnWorkFaild() {
  SetStatus("导入失败...");
  SendMessageA(progressBar2_, PBM_SETPOS, 0, 0);
}

LRESULT CALLBACK TfrmMain::PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedWndProc([&]() -> LRESULT {
    switch (msg) {
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        DrawEdge(dc, &r, BDR_SUNKENINNER, BF_RECT);
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_NOTIFY:
      case WM_COMMAND:
        return SendMessageA(GetParent(hwnd), msg, wp, lp);
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
  });
}

LRESULT CALLBACK TfrmMain::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* form = static_cast<TfrmMain*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    form->handle_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TfrmMain*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!form) return DefWindowProcA(hwnd, msg, wp, lp);
  return GuardedWndProc([&] { return form->HandleMessage(msg, wp, lp); });
}

LRESULT TfrmMain::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      CreateControls();
      FormCreate(this);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) == IDC_BTNSTART && HIWORD(wp) == BN_CLICKED) btnStartClick(btnStart_);
      return 0;
    case WM_CTLCOLORSTATIC:
      SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_DESTROY:
      Application().SetMainWindow(nullptr);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(handle_, msg, wp, lp);
}
