// POSIX storage for the native build (tools and tests). The Windows build has log_storage_win.cpp.
#ifndef _WIN32
#include "faultline/log/log_storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

std::string ErrorText(const std::string& what, const std::string& name) {
  return what + " \"" + name + "\": " + std::strerror(errno);
}

class TPosixLogStream : public TLogStream {
 public:
  TPosixLogStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~TPosixLogStream() override { ::close(fd_); }

  std::string ReadToEnd() override {
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ELogFileError(ErrorText("Cannot read", name_));
      }
      if (n == 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  void Rewrite(std::string_view bytes) override {
    if (::lseek(fd_, 0, SEEK_SET) < 0) throw ELogFileError(ErrorText("Cannot seek", name_));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ELogFileError(ErrorText("Cannot write", name_));
      }
      done += static_cast<size_t>(n);
    }
    if (::ftruncate(fd_, static_cast<off_t>(bytes.size())) != 0)
      throw ELogFileError(ErrorText("Cannot truncate", name_));
  }

 private:
  int fd_;
  std::string name_;
};

class TPosixLogLock : public TLogLock {
 public:
  explicit TPosixLogLock(int fd) : fd_(fd) {}
  ~TPosixLogLock() override { ::close(fd_); }  // closing gives the lock back

 private:
  int fd_;
};

bool IsRegularFile(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

class TPosixLogStorage : public TLogStorage {
 public:
  bool CanOpen(const std::string& name, bool readOnly) override {
    if (readOnly) {
      int fd = ::open(name.c_str(), O_RDONLY);
      if (fd < 0) return false;
      bool ok = IsRegularFile(fd);
      ::close(fd);
      return ok;
    }
    const bool existed = FileExists(name);
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return false;
    bool ok = IsRegularFile(fd);
    ::close(fd);
    if (!existed) ::unlink(name.c_str());
    return ok;
  }

  bool FileExists(const std::string& name) override {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  std::unique_ptr<TLogStream> Open(const std::string& name, bool readOnly) override {
    int fd = ::open(name.c_str(), readOnly ? O_RDONLY : O_RDWR);
    if (fd < 0) throw ELogFileError(ErrorText("Cannot open file", name));
    if (!IsRegularFile(fd)) {
      ::close(fd);
      throw ELogFileError("Cannot open file \"" + name + "\": not a file");
    }
    return std::make_unique<TPosixLogStream>(fd, name);
  }

  std::unique_ptr<TLogStream> Create(const std::string& name) override {
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw ELogFileError(ErrorText("Cannot create file", name));
    return std::make_unique<TPosixLogStream>(fd, name);
  }

  std::unique_ptr<TLogLock> Lock(const std::string& name, unsigned milliseconds) override {
    // A lock file beside the log (left in place: removing it would race with the next locker).
    const int fd = ::open((name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return std::make_unique<TLogLock>();  // no lock beside it: the save itself decides
    for (unsigned waited = 0;; waited += 10) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<TPosixLogLock>(fd);
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (waited >= milliseconds) break;
      ::usleep(10 * 1000);
    }
    ::close(fd);
    return nullptr;
  }

  void Replace(const std::string& name, std::string_view bytes) override {
    const std::string temporary = name + ".new";
    {
      const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) throw ELogFileError(ErrorText("Cannot create file", temporary));
      TPosixLogStream stream(fd, temporary);
      stream.Rewrite(bytes);
      if (::fsync(fd) != 0) throw ELogFileError(ErrorText("Cannot write", temporary));
    }
    if (::rename(temporary.c_str(), name.c_str()) != 0) {
      const std::string error = ErrorText("Cannot replace file", name);
      ::unlink(temporary.c_str());
      throw ELogFileError(error);
    }
  }

  bool DeleteFile(const std::string& name) override { return ::unlink(name.c_str()) == 0; }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool CreateDirectory(const std::string& path) override {
    return ::mkdir(path.c_str(), 0755) == 0;
  }

  std::string EnvironmentVariable(const std::string& name) override {
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
  }

  std::string ProgramFileName() override {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  std::string TempFolder() override {
    std::string t = EnvironmentVariable("TMPDIR");
    if (t.empty()) t = "/tmp";
    if (t.back() != '/') t += '/';
    return t;
  }
};

}  // namespace

TLogStorage& DefaultLogStorage() {
  static TPosixLogStorage storage;
  return storage;
}
#endif
