// The demo of the README's run command, inside the demo's private Wine prefix.
//   tarn_demo prepare PROGRAM_DIR   lays out a desktop as a user might have it: documents, programs,
//                                   shortcuts (made with the shell's own shortcut object) on both
//                                   desktops, and bookmark-bar links in the favourites
//   tarn_demo drive PROGRAM_DIR BMP starts the wizard, runs a whole import through its window,
//                                   saves a picture of the window and closes it
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "tests/wine_support.h"
#include "tools/demo/wizard_driver.h"

namespace {

void Write(const std::string& path, const std::string& text) { wine_test::WriteFile(path, text); }
bool Shortcut(const std::string& lnk, const std::string& target) { return wine_test::MakeShortcut(lnk, target); }
using wine_test::ClearFiles;
using wine_test::SpecialFolder;

int Prepare(std::string prog) {
  if (prog.back() != '\\') prog += '\\';
  CoInitialize(nullptr);
  const std::string user = SpecialFolder(CSIDL_DESKTOPDIRECTORY), common = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  ClearFiles(user);
  ClearFiles(common);
  // A fresh start: what an earlier demo run wrote or tidied away is gone.
  for (const char* f : {"Tab.ini", "Group1.ini", "Group2.ini", "Group3.ini", "Tarn.ini", "双击还原桌面快捷方式.bat"})
    DeleteFileA((prog + f).c_str());
  wine_test::TTempDir::RemoveTree(prog + "被Tarn管理的快捷方式");

  const std::string games = "C:\\Program Files\\Tarn Demo";
  CreateDirectoryA(games.c_str(), nullptr);
  Write(games + "\\game.exe", "MZ");
  Write(games + "\\tarnSetup.exe", "MZ");

  Write(user + "\\工作计划.docx", "plan");
  Write(user + "\\照片.jpg", "jpeg");
  Write(user + "\\readme", "no extension: stays software");
  Write(user + "\\tarnSetup.exe", "MZ");
  Write(user + "\\Report.DOC", "upper-case extension: a document");
  Shortcut(user + "\\记事本.lnk", "C:\\windows\\notepad.exe");
  Shortcut(user + "\\小游戏.lnk", games + "\\game.exe");
  Shortcut(user + "\\安装.lnk", games + "\\tarnSetup.exe");
  Shortcut(user + "\\Tarn.lnk", prog + "Tarn.exe");
  Write(common + "\\公共通知.pdf", "pdf");
  Shortcut(common + "\\注册表.lnk", "C:\\windows\\regedit.exe");

  const std::string links = SpecialFolder(CSIDL_FAVORITES) + "\\链接";
  CreateDirectoryA(links.c_str(), nullptr);
  ClearFiles(links);
  Write(links + "\\维基百科.url", "[InternetShortcut]\r\nURL=https://zh.wikipedia.org/\r\n");
  Write(links + "\\desktop.ini", "[.ShellClassInfo]\r\n");
  std::printf("prepared %s and %s\n", user.c_str(), common.c_str());
  return 0;
}

// Saves what the screen shows of a window as a 24-bit BMP.
bool SaveWindowPicture(HWND wnd, const std::string& path) {
  RECT r;
  GetWindowRect(wnd, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
  bmi.bmiHeader.biWidth = w;
  bmi.bmiHeader.biHeight = h;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u, size = stride * static_cast<DWORD>(h);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(BITMAPINFOHEADER);
  fh.bfSize = fh.bfOffBits + size;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, &fh, sizeof fh, &n, nullptr) &&
            WriteFile(f, &bmi.bmiHeader, sizeof(BITMAPINFOHEADER), &n, nullptr) && WriteFile(f, bits, size, &n, nullptr);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok;
}

int Drive(std::string prog, const std::string& picture) {
  if (prog.back() != '\\') prog += '\\';
  TWizardDriver wizard;
  if (!wizard.Launch(prog + "Tarn_Import.exe", prog)) {
    std::printf("the wizard's window did not appear\n");
    return 1;
  }
  Sleep(500);
  std::printf("window \"%s\", button \"%s\"\n", wizard.Title().c_str(), wizard.Caption().c_str());
  wizard.Click();
  std::printf("clicked: button \"%s\", status \"%s\"\n", wizard.Caption().c_str(), wizard.Status().c_str());
  if (!TWizardDriver::WaitUntil([&] { return wizard.Tag() == 1 || wizard.Status() == "导入失败..."; }, 120000)) {
    std::printf("the import did not finish\n");
    return 1;
  }
  Sleep(500);
  std::printf("finished: button \"%s\", status \"%s\", progress %d\n", wizard.Caption().c_str(),
              wizard.Status().c_str(), wizard.Position());
  SetForegroundWindow(wizard.Main());
  Sleep(300);
  const bool completed = wizard.Tag() == 1;
  const bool saved = SaveWindowPicture(wizard.Main(), picture);
  PostMessageA(wizard.Main(), WM_CLOSE, 0, 0);
  wizard.Exited(10000);
  return saved && completed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "prepare" && argc == 3) return Prepare(argv[2]);
  if (verb == "drive" && argc == 4) return Drive(argv[2], argv[3]);
  std::fprintf(stderr, "usage: tarn_demo prepare PROGRAM_DIR | drive PROGRAM_DIR PICTURE.bmp\n");
  return 2;
}
