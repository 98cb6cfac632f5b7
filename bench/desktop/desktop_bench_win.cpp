// Desktop import benchmark: a desktop of 2,000 files and 2,000 shortcuts. Reports the time per
// entry of the whole desktop phase, and of the listing and the shortcut resolution apart, each
// against a bare peer measured in the same run (a plain FindFirstFile loop; a shortcut object
// that only loads the file and reads its path, without resolving).
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <map>
#include <string>

#include "import/import_run.h"
#include "import/shell_helpers.h"
#include "import/shell_platform.h"
#include "tests/redirected_platform.h"
#include "tests/wine_support.h"
#include "bench/win_clock.h"

using namespace wine_test;

namespace {

std::string PeerTarget(const std::string& path) {
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return {};
  IPersistFile* file = nullptr;
  char buffer[MAX_PATH] = {};
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(Wide(path).c_str(), STGM_READ)))
    link->GetPath(buffer, MAX_PATH, nullptr, 0);
  if (file) file->Release();
  link->Release();
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  CoInitialize(nullptr);
  TTempDir prog("bench-prog"), desk("bench-desk"), common("bench-common"), targets("bench-targets");
  for (int i = 0; i < n; ++i) WriteFile(targets / ("app" + std::to_string(i) + ".exe"), "MZ");
  for (int i = 0; i < n; ++i) WriteFile(desk / ("doc" + std::to_string(i) + ".txt"));
  const std::string first = desk / "s0.lnk";
  MakeShortcut(first, targets / "app0.exe");
  for (int i = 1; i < n; ++i) {
    // Distinct targets, so that every shortcut resolves for itself.
    MakeShortcut(desk / ("s" + std::to_string(i) + ".lnk"), targets / ("app" + std::to_string(i) + ".exe"));
  }
  const int entries = 2 * n;

  // Listing: ours against a bare enumeration.
  double t0 = Now();
  TStringList listed;
  ListFolderFiles(desk.Path(), listed);
  double ours = Now() - t0;
  const double listing = ours;
  t0 = Now();
  int bare = 0;
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((desk.Path() + "\\*.*").c_str(), &d);
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++bare;
  } while (FindNextFileA(h, &d));
  FindClose(h);
  double peer = Now() - t0;
  std::printf("listing:    %zu entries, %.2f us/entry, bare enumeration %.2f us/entry, ratio %.2f\n", listed.size(),
              1e6 * ours / entries, 1e6 * peer / bare, ours / peer);

  // Shortcut resolution: ours (load and resolve) against load-and-read-path only.
  t0 = Now();
  int resolved = 0;
  for (int i = 0; i < n; ++i) resolved += !GetShortcutTarget(desk / ("s" + std::to_string(i) + ".lnk")).empty();
  ours = Now() - t0;
  const double resolution = ours;
  t0 = Now();
  for (int i = 0; i < n; ++i) PeerTarget(desk / ("s" + std::to_string(i) + ".lnk"));
  peer = Now() - t0;
  std::printf("shortcuts:  %d resolved, %.1f us/shortcut, load-only peer %.1f us/shortcut, ratio %.2f\n", resolved,
              1e6 * ours / n, 1e6 * peer / n, ours / peer);

  // The whole desktop phase (listing, names, shortcut pass, document pass), no tidying.
  TRedirectedPlatform platform(prog.Path() + "\\");
  platform.Folders = {{CSIDL_DESKTOP_, desk.Path()}, {CSIDL_COMMON_DESKTOPDIRECTORY_, common.Path()}};
  TImportRun run({true, false, false, false, false}, platform);
  t0 = Now();
  run.ImportDesktopPhase();
  double phase = Now() - t0;
  std::printf("desktop:    %d entries -> %zu software, %zu documents, %.1f us/entry; the phase takes %.1f x the "
              "listing and %.2f x the shortcut resolution alone\n",
              entries, run.DesktopPaths.size(), run.DocumentPaths.size(), 1e6 * phase / entries, phase / listing,
              phase / resolution);
  return 0;
}
