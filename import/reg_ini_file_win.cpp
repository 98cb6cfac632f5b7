#include <windows.h>

#include "import/reg_ini_file.h"
#include "import/shell_helpers.h"

void TRegIniFile::SetPath(const std::string& fileName) {
  std::string full = fileName;
  if (ExtractFilePath(fileName).empty()) {
    std::string ext = ExtractFileExt(fileName);
    full = ProgramDir() + fileName.substr(0, fileName.size() - ext.size()) + ".ini";
  }
  if (full != fileName_) fileName_ = full;
}

void TRegIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (pathType_ != TPathType::IniFile) throw EIniFileException("Registry mode is not supported");
  if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), fileName_.c_str()))
    throw EIniFileException("Unable to write to " + fileName_);
}
