#pragma once
// Case-insensitive comparison of ASCII text (protocol keywords, file names, HTML tags): bytes
// outside A-Z are compared as they are, whatever the code page of the rest.
#include <cstddef>
#include <string_view>

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(s[i]) != AsciiLower(prefix[i])) return false;
  return true;
}
