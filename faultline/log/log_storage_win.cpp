// Win32 storage of the log file: shared opens so that other processes may read the log while a
// report holds it, and the user-profile and temporary folders of the folder fallback.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "faultline/log/log_storage.h"

namespace {

std::string SystemErrorText(DWORD code) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) --n;
  return n > 0 ? std::string(buf, n) : "System error " + std::to_string(code) + ".";
}

[[noreturn]] void Fail(const std::string& what, const std::string& name) {
  const DWORD code = GetLastError();
  throw ELogFileError(what + " \"" + name + "\". " + SystemErrorText(code));
}

class TWinLogStream : public TLogStream {
 public:
  TWinLogStream(HANDLE h, std::string name) : h_(h), name_(std::move(name)) {}
  ~TWinLogStream() override { CloseHandle(h_); }

  std::string ReadToEnd() override {
    std::string out;
    char buf[65536];
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(h_, buf, sizeof buf, &n, nullptr)) Fail("Cannot read file", name_);
      if (n == 0) break;
      out.append(buf, n);
    }
    return out;
  }

  void Rewrite(std::string_view bytes) override {
    if (SetFilePointer(h_, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
      Fail("Cannot seek in file", name_);
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
      if (!WriteFile(h_, bytes.data() + done, chunk, &n, nullptr) || n == 0)
        Fail("Cannot write file", name_);
      done += n;
    }
    if (!SetEndOfFile(h_)) Fail("Cannot truncate file", name_);
  }

 private:
  HANDLE h_;
  std::string name_;
};

// Readers do not keep a log from being replaced (FILE_SHARE_DELETE).
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class TWinLogLock : public TLogLock {
 public:
  explicit TWinLogLock(HANDLE mutex) : mutex_(mutex) {}
  ~TWinLogLock() override {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }

 private:
  HANDLE mutex_;
};

// The name of a log's lock: a named mutex of the session, from the log's full path, case-folded.
std::string LockName(const std::string& name) {
  char full[MAX_PATH * 2];
  const DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  std::string path = n > 0 && n < sizeof full ? std::string(full, n) : name;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (char c : path) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Local\\Faultline.Log.%016llX", static_cast<unsigned long long>(hash));
  return text;
}

bool IsFile(const std::string& name) {
  DWORD a = GetFileAttributesA(name.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

class TWinLogStorage : public TLogStorage {
 public:
  bool CanOpen(const std::string& name, bool readOnly) override {
    if (readOnly) {
      HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) return false;
      CloseHandle(h);
      return true;
    }
    const bool existed = IsFile(name);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    if (!existed) DeleteFileA(name.c_str());
    return true;
  }

  bool FileExists(const std::string& name) override { return IsFile(name); }

  std::unique_ptr<TLogStream> Open(const std::string& name, bool readOnly) override {
    HANDLE h = CreateFileA(name.c_str(), readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                           ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("Cannot open file", name);
    return std::make_unique<TWinLogStream>(h, name);
  }

  std::unique_ptr<TLogStream> Create(const std::string& name) override {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("Cannot create file", name);
    return std::make_unique<TWinLogStream>(h, name);
  }

  std::unique_ptr<TLogLock> Lock(const std::string& name, unsigned milliseconds) override {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, LockName(name).c_str());
    if (!mutex) return nullptr;
    const DWORD w = WaitForSingleObject(mutex, milliseconds);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
      CloseHandle(mutex);
      return nullptr;
    }
    return std::make_unique<TWinLogLock>(mutex);
  }

  void Replace(const std::string& name, std::string_view bytes) override {
    const std::string temporary = name + ".new";
    {
      HANDLE h = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) Fail("Cannot create file", temporary);
      TWinLogStream stream(h, temporary);
      stream.Rewrite(bytes);
      if (!FlushFileBuffers(h)) Fail("Cannot write file", temporary);
    }
    if (!MoveFileExA(temporary.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      const DWORD code = GetLastError();
      ::DeleteFileA(temporary.c_str());
      SetLastError(code);
      Fail("Cannot replace file", name);
    }
  }

  bool DeleteFile(const std::string& name) override { return ::DeleteFileA(name.c_str()) != 0; }

  bool DirectoryExists(const std::string& path) override {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool CreateDirectory(const std::string& path) override {
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  std::string EnvironmentVariable(const std::string& name) override {
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name.c_str(), buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
  }

  std::string ProgramFileName() override {
    char buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return std::string(buf, n);
  }

  std::string TempFolder() override {
    char buf[MAX_PATH + 2];
    DWORD n = GetTempPathA(MAX_PATH, buf);
    std::string t(buf, n > 0 && n <= MAX_PATH ? n : 0);
    if (t.empty() || t.back() != '\\') t += '\\';
    return t;
  }
};

}  // namespace

TLogStorage& DefaultLogStorage() {
  static TWinLogStorage storage;
  return storage;
}
