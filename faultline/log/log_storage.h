#pragma once
// File-system services of the log file: a shared file that stays open while a TLogFile lives,
// the folder tests of the folder fallback, and the few process facts they need. The Windows build
// uses Win32 (files opened with FILE_SHARE_READ | FILE_SHARE_WRITE so that several processes can
// read one log); the native build uses POSIX calls.
#include <memory>
#include <string>
#include <string_view>

#include "rtl/exception.h"

// A file that cannot be opened, read or written.
class ELogFileError : public Exception {
 public:
  using Exception::Exception;
};

class TLogStream {
 public:
  virtual ~TLogStream() = default;
  // Everything from the current position to the end.
  virtual std::string ReadToEnd() = 0;
  // Seeks to the start, writes the bytes and truncates the file after them.
  virtual void Rewrite(std::string_view bytes) = 0;
};

// Held while one process changes a log: other processes (and instances) wait for it.
class TLogLock {
 public:
  virtual ~TLogLock() = default;
};

class TLogStorage {
 public:
  virtual ~TLogStorage() = default;
  // Takes the lock of the log named name, waiting at most milliseconds; null when it was not
  // taken in time (its holder hangs). A holder that ended without giving it back does not count.
  virtual std::unique_ptr<TLogLock> Lock(const std::string& name, unsigned milliseconds) {
    (void)name;
    (void)milliseconds;
    return std::make_unique<TLogLock>();
  }
  // Replaces the file's contents with bytes in one step: written beside it first, then put in its
  // place, so that a process that ends in the middle leaves the old contents whole.
  virtual void Replace(const std::string& name, std::string_view bytes) { Create(name)->Rewrite(bytes); }
  // The folder-fallback test: read only, the existing file opens for reading; otherwise it opens
  // (or is created) for reading and writing, and a file created by the test is deleted again.
  virtual bool CanOpen(const std::string& name, bool readOnly) = 0;
  virtual bool FileExists(const std::string& name) = 0;
  // Opens an existing file, shared; throws ELogFileError.
  virtual std::unique_ptr<TLogStream> Open(const std::string& name, bool readOnly) = 0;
  // Creates the file (replacing an existing one), shared; throws ELogFileError.
  virtual std::unique_ptr<TLogStream> Create(const std::string& name) = 0;
  virtual bool DeleteFile(const std::string& name) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool CreateDirectory(const std::string& path) = 0;
  // Value of an environment variable, empty when unset.
  virtual std::string EnvironmentVariable(const std::string& name) = 0;
  // Full path of the running program.
  virtual std::string ProgramFileName() = 0;
  // The user's temporary folder, with its trailing separator.
  virtual std::string TempFolder() = 0;
};

// The platform's storage (Win32 in the Windows build, POSIX natively).
TLogStorage& DefaultLogStorage();
