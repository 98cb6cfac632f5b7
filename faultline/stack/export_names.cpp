#include "faultline/stack/export_names.h"

#include <cxxabi.h>

#include <cstdlib>
#include <vector>

const TFaultFunctionInfo* FindExport(const TFaultFunctionsList& functions, uint32_t address) {
  if (functions.empty()) return nullptr;
  int64_t low = 0, high = static_cast<int64_t>(functions.size()) - 1;
  while (low <= high) {
    const int64_t middle = (low + high) / 2;
    const TFaultFunctionInfo& f = functions[static_cast<size_t>(middle)];
    if (f.Address <= address && static_cast<uint64_t>(address) <= static_cast<uint64_t>(f.Address) + f.Size) return &f;
    if (f.Address < address) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return nullptr;
}

namespace {

std::vector<std::string> Split(const std::string& s, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(separator, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// "Unit.Proc" / "Unit.Class.Proc", cut at a first "@".
void ParseDotted(std::string name, TFaultDebugInfo& entry) {
  const size_t at = name.find('@');
  if (at != std::string::npos) name.erase(at);
  const std::vector<std::string> parts = Split(name, '.');
  if (parts.size() == 2) {
    entry.UnitName = parts[0] + ".pas";
    entry.ClassName.clear();
    entry.ProcedureName = parts[1];
    entry.Kind = EntryQualified;
  } else if (parts.size() == 3) {
    entry.UnitName = parts[0] + ".pas";
    entry.ClassName = parts[1];
    entry.ProcedureName = parts[2];
    entry.Kind = EntryQualified;
  }
}

// The position of the "::" that separates a name's scope from its last part, outside template
// arguments and parentheses; npos when there is none.
size_t LastScopeSeparator(const std::string& s) {
  int depth = 0;
  size_t last = std::string::npos;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    const char c = s[i];
    if (c == '<' || c == '(') ++depth;
    if (c == '>' || c == ')') --depth;
    if (depth == 0 && c == ':' && s[i + 1] == ':') {
      last = i;
      ++i;
    }
  }
  return last;
}

}  // namespace

bool DemangledParts(const std::string& name, std::string& scope, std::string& procedure) {
  if (name.rfind("_Z", 0) != 0) return false;
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text) {
    std::free(text);
    return false;
  }
  std::string s(text);
  std::free(text);
  // Drop the parameter list (the last parenthesised group at depth 0) and what follows it
  // (const, noexcept, ...).
  int depth = 0;
  size_t open = std::string::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    if (s[i] == '>') --depth;
    // "(anonymous namespace)" is part of the scope, not a parameter list.
    if (s.compare(i, 21, "(anonymous namespace)") == 0) {
      i += 20;
      continue;
    }
    if (s[i] == '(' && depth == 0) {
      // "operator()" names its own parentheses: skip them.
      if (i >= 8 && s.compare(i - 8, 8, "operator") == 0 && i + 1 < s.size() && s[i + 1] == ')') {
        ++i;
        continue;
      }
      open = i;
      break;
    }
  }
  if (open != std::string::npos) s.erase(open);
  // Only a function template's name comes with its return type in front ("int f<int>"): drop
  // what stands before the last blank outside brackets.
  if (!s.empty() && s.back() == '>') {
    int depth = 0;
    size_t blank = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '<' || s[i] == '(') ++depth;
      if (s[i] == '>' || s[i] == ')') --depth;
      if (s[i] == ' ' && depth == 0) blank = i;
    }
    if (blank != std::string::npos && s.find("operator") == std::string::npos) s.erase(0, blank + 1);
  }
  const size_t sep = LastScopeSeparator(s);
  if (sep == std::string::npos) {
    scope.clear();
    procedure = s;
  } else {
    scope = s.substr(0, sep);
    procedure = s.substr(sep + 2);
  }
  return !procedure.empty();
}

void ParseExportName(const std::string& name, TFaultDebugInfo& entry) {
  if (name.empty()) return;
  std::string scope, procedure;
  if (DemangledParts(name, scope, procedure)) {
    entry.UnitName.clear();
    entry.ClassName = scope;
    entry.ProcedureName = procedure;
    entry.Kind = scope.empty() ? EntryExport : EntryQualified;
  } else if (name[0] != '@' && name[0] != '?') {
    if (name.find('.') != std::string::npos) {
      ParseDotted(name, entry);
    } else {
      entry.UnitName.clear();
      entry.ClassName.clear();
      entry.ProcedureName = name;
      entry.Kind = EntryExport;
    }
  } else if (name[0] == '@' && (name.size() < 2 || name[1] != '$')) {
    std::string s = name;
    const size_t dollar = s.find('$');
    if (dollar != std::string::npos) s.erase(dollar);
    if (!s.empty() && s.back() == '@') s.pop_back();
    if (!s.empty() && s[0] == '@') s.erase(0, 1);
    const size_t twice = s.find("@@");
    if (twice != std::string::npos) s[twice + 1] = '_';
    for (char& c : s)
      if (c == '@') c = '.';
    ParseDotted(s, entry);
  }
  if (!entry.ProcedureName.empty() && entry.ProcedureName[0] == '@') entry.ProcedureName[0] = '_';
}
