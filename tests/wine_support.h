#pragma once
// Helpers for the Windows tests and the demo: temporary folders, files, shortcuts and INI reads,
// all through the real Win32 functions.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace wine_test {

inline std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// A Unix path (from the environment) as Wine sees it under drive Z:.
inline std::string FromUnix(const std::string& unixPath) {
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A fresh, empty folder under the temporary folder; removed (with its content) by the destructor.
class TTempDir {
 public:
  explicit TTempDir(const std::string& tag) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + "tarn-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount());
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TTempDir() { RemoveTree(path_); }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

  static void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::string n = d.cFileName;
        if (n == "." || n == "..") continue;
        std::string full = dir + "\\" + n;
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(full);
        } else {
          SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileA(full.c_str());
        }
      } while (FindNextFileA(h, &d));
      FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
  }

 private:
  std::string path_;
};

// Deletes the plain files of a folder (not its sub-folders).
inline void ClearFiles(const std::string& dir) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir + "\\" + d.cFileName).c_str());
  } while (FindNextFileA(h, &d));
  FindClose(h);
}

// The path of a special folder, created when missing.
inline std::string SpecialFolder(int csidl) {
  char path[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, path, csidl, TRUE);
  return path;
}

inline void WriteFile(const std::string& path, const std::string& content = "x") {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD n = 0;
  ::WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &n, nullptr);
  CloseHandle(f);
}

inline std::string ReadFile(const std::string& path) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return {};
  std::string out(GetFileSize(f, nullptr), '\0');
  DWORD n = 0;
  ::ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &n, nullptr);
  CloseHandle(f);
  out.resize(n);
  return out;
}

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Makes a real shortcut file with the shell's own shortcut object.
inline bool MakeShortcut(const std::string& lnkPath, const std::string& target) {
  CoInitialize(nullptr);
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return false;
  link->SetPath(target.c_str());
  IPersistFile* file = nullptr;
  bool ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
            SUCCEEDED(file->Save(Wide(lnkPath).c_str(), TRUE));
  if (file) file->Release();
  link->Release();
  return ok;
}

// Reads a value back with the platform's own profile reader.
inline std::string IniRead(const std::string& file, const std::string& section, const std::string& key,
                           const char* fallback = "<missing>") {
  char buffer[2048];
  GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback, buffer, sizeof buffer, file.c_str());
  return buffer;
}

}  // namespace wine_test
