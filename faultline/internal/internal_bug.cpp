#include "faultline/internal/internal_bug.h"

#include <cctype>
#include <cstdio>

namespace {

bool SameNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && !b[i];
}

}  // namespace

TInternalBugConfig& InternalBugConfig() {
  static TInternalBugConfig config = [] {
    TInternalBugConfig c;
#ifdef _WIN64
    c.DevelopmentEnvironment = "GCC (MinGW-w64) x86_64";
    c.AddressDigits = 16;
#endif
    return c;
  }();
  return config;
}

std::string InternalBugDump(const uint8_t* bytes, size_t count) {
  std::string out;
  char piece[8];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof piece, "$%02X ", bytes[i]);
    out += piece;
  }
  return out;
}

std::string InternalBugText(const TInternalBugFacts& f) {
  std::string stack;
  char line[80];
  const int digits = InternalBugConfig().AddressDigits;
  for (size_t i = 0; i < f.Stack.size(); ++i) {
    const TInternalBugStackLine& s = f.Stack[i];
    if (i > 0) stack += std::string(12, ' ');
    std::snprintf(line, sizeof line, "%02X $%.*llx - [%.*llx] ", static_cast<unsigned>(i & 0xFF), digits,
                  static_cast<unsigned long long>(s.Address), digits, static_cast<unsigned long long>(s.ModuleHandle));
    stack += line + s.ModuleFile + " ";
    if (s.Line != 0) stack += " - " + s.Unit + " - " + s.Class + " - " + s.Procedure + " - " + std::to_string(s.Line);
    stack += "\r\n";
  }
  char address[24];
  std::snprintf(address, sizeof address, "%0*llX", digits, static_cast<unsigned long long>(f.Address));
  return "Version   : " + std::string(kInternalBugVersion) + "\r\nDate      : " + f.Date + "\r\nOS        : " + f.Os +
         "\r\nRAD       : " + InternalBugConfig().DevelopmentEnvironment + "\r\nDump      : " + f.Dump +
         "\r\nSection   : " + std::to_string(f.Section) + "\r\nLastExcept: " + f.LastExcept + "\r\nAddress   : $" +
         address + "\r\nException : " + f.Exception + "\r\nMessage   : " + f.Message + "\r\nCall Stack: " + stack;
}

std::string InternalErrorDebugLine(int section, uint64_t address, const std::string& message) {
  char head[96];
  std::snprintf(head, sizeof head, "[ERROR] - Section: %d - Address: %0*llX - Message: ", section,
                InternalBugConfig().AddressDigits, static_cast<unsigned long long>(address));
  return head + ("\"" + message + "\"");
}

bool IsQuietInternalError(const std::vector<std::string>& lineage) {
  for (const std::string& name : lineage)
    if (SameNoCase(name, "EAbort") || SameNoCase(name, "EFaultSocketError")) return true;
  return false;
}

std::string InternalBugQuestion(const std::string& message) {
  return "Error: '" + message +
         "'\r\n\r\nThis is an internal Faultline bug.\r\nDo you want to send the bug information to Faultline author?";
}

std::string InternalBugMailFailedText(const std::string& filePath, const std::string& supportAddress) {
  return "Cannot connect with your email client.\r\nSend manually the \"" + filePath + "\" file to the " +
         supportAddress + " email address, after click on OK button to close this box.";
}
