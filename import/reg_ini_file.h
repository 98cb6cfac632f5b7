#pragma once
// The INI store of an import run, over the platform's private-profile functions (Windows only).
#include "import/import_platform.h"
#include "rtl/exception.h"

class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

class TRegIniFile : public TIniWriter {
 public:
  enum class TPathType { Registry, IniFile };

  void SetPathType(TPathType type) { pathType_ = type; }
  // A name without a folder is taken relative to the program's folder, with the extension ".ini".
  void SetPath(const std::string& fileName) override;
  const std::string& Path() const { return fileName_; }
  void WriteString(const std::string& section, const std::string& key, const std::string& value) override;

 private:
  TPathType pathType_ = TPathType::IniFile;
  std::string fileName_;
};
