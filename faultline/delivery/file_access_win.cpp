#include <windows.h>

#include "faultline/delivery/file_access.h"

namespace {

class THandle {
 public:
  explicit THandle(HANDLE h) : h_(h) {}
  ~THandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

std::string LastErrorText() {
  DWORD code = GetLastError();
  char buf[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = '\0';
  return n ? std::string(buf, n) : "error " + std::to_string(code);
}

class TWinFileAccess : public TFaultFileAccess {
 public:
  bool Exists(const std::string& path) override {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::string ReadAll(const std::string& path) override {
    THandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) throw EFaultFileError("Cannot open file \"" + path + "\". " + LastErrorText());
    DWORD high = 0;
    DWORD low = GetFileSize(file.Get(), &high);
    if (high != 0 || low > 0x7FFFFFFF) throw EFaultFileError("File too large: \"" + path + "\"");
    std::string bytes(low, '\0');
    DWORD done = 0;
    while (done < low) {
      DWORD got = 0;
      if (!ReadFile(file.Get(), bytes.data() + done, low - done, &got, nullptr))
        throw EFaultFileError("Cannot read file \"" + path + "\". " + LastErrorText());
      if (got == 0) break;  // the file shrank while we read it
      done += got;
    }
    bytes.resize(done);
    return bytes;
  }

  double LastWriteTime(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    // FILETIME counts 100 ns since 1601-01-01 UTC, which is day -109205 of the date-time scale.
    ULARGE_INTEGER t;
    t.LowPart = data.ftLastWriteTime.dwLowDateTime;
    t.HighPart = data.ftLastWriteTime.dwHighDateTime;
    return static_cast<double>(t.QuadPart) / 864000000000.0 - 109205.0;
  }

  void WriteAll(const std::string& path, std::string_view bytes) override {
    THandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) throw EFaultFileError("Cannot create file \"" + path + "\". " + LastErrorText());
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD wrote = 0;
      if (!WriteFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) ||
          wrote == 0)
        throw EFaultFileError("Cannot write file \"" + path + "\". " + LastErrorText());
      done += wrote;
    }
  }

  void Remove(const std::string& path) override { DeleteFileA(path.c_str()); }
};

}  // namespace

TFaultFileAccess& WinFileAccess() {
  static TWinFileAccess access;
  return access;
}

std::vector<std::string> FileNamesIn(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> out;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return out;
}
