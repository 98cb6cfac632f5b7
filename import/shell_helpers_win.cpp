#include "import/shell_helpers.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "rtl/application.h"

namespace {

// The shell's shortcut object and the interfaces we use of it, spelled out so that nothing
// depends on which GUID definitions a given SDK links in.
const CLSID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kShellLinkA = {0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

template <class I>
struct TComRef {
  I* p = nullptr;
  ~TComRef() {
    if (p) p->Release();
  }
};

}  // namespace

std::string ProgramDir() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return ExtractFilePath(std::string(buffer, n));
}

std::string GetSpecialFolderPath(int csidl) {
  LPITEMIDLIST list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(Application().MainWindow(), csidl, &list)) || !list) return {};
  char buffer[MAX_PATH + 1] = {};
  BOOL ok = SHGetPathFromIDListA(list, buffer);
  CoTaskMemFree(list);
  // Some shells answer for virtual folders (printers, network) with a parsing name such as
  // "::{GUID}" instead of failing; that is no file-system path either.
  if (!ok || (buffer[0] == ':' && buffer[1] == ':')) return {};
  return std::string(buffer);
}

bool ResolveShortcut(const std::string& path, ShortcutInfo& info) {
  WCHAR wide[MAX_PATH] = {};
  if (FAILED(CoInitialize(nullptr))) return false;
  TComRef<IShellLinkA> link;
  if (FAILED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkA,
                              reinterpret_cast<void**>(&link.p))))
    return false;
  TComRef<IPersistFile> file;
  if (FAILED(link.p->QueryInterface(kPersistFile, reinterpret_cast<void**>(&file.p)))) return false;
  // At most 259 characters and the NUL: a longer path is cut, and then its load fails.
  std::wstring all(path.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), all.data(),
                              static_cast<int>(all.size()));
  if (n < 0) n = 0;
  if (n > MAX_PATH - 1) n = MAX_PATH - 1;
  std::memcpy(wide, all.data(), sizeof(WCHAR) * static_cast<size_t>(n));
  wide[n] = L'\0';
  if (FAILED(file.p->Load(wide, STGM_READ))) return false;
  if (FAILED(link.p->Resolve(nullptr, SLR_NO_UI))) return false;

  WIN32_FIND_DATAA find{};
  link.p->GetPath(info.Path, MAX_PATH, &find, SLGP_UNCPRIORITY);
  link.p->GetIconLocation(info.IconLocation, MAX_PATH, &info.IconIndex);
  link.p->GetWorkingDirectory(info.WorkingDirectory, MAX_PATH);
  link.p->GetDescription(info.Description, 255);
  link.p->GetArguments(info.Arguments, MAX_PATH);
  link.p->GetHotkey(&info.HotKey);
  link.p->GetIDList(&info.IDList);
  link.p->GetShowCmd(&info.ShowCmd);
  return true;
}

std::string GetShortcutTarget(const std::string& path) {
  ShortcutInfo info{};
  if (!ResolveShortcut(path, info)) return {};
  if (info.IDList) CoTaskMemFree(info.IDList);
  info.Path[MAX_PATH] = '\0';
  return std::string(info.Path);
}

bool FileExistsA(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ListFolderFiles(const std::string& folder, TStringList& paths, const std::atomic<bool>* terminateRequest) {
  // An empty folder path would otherwise list the root of the current drive.
  if (folder.empty()) return;
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (terminateRequest && terminateRequest->load(std::memory_order_relaxed)) break;
    std::string name = data.cFileName;
    if (IsSkippedListingName(name)) continue;
    std::string full = folder + "\\" + name;
    if (FileExistsA(full)) paths.push_back(full);
  } while (FindNextFileA(find, &data));
  FindClose(find);
}
