#include "tools/flreader/gbk_text.h"

#include <windows.h>

std::string GbkToUtf8(std::string_view gbk) {
  size_t i = 0;
  while (i < gbk.size() && static_cast<unsigned char>(gbk[i]) < 0x80) ++i;
  if (i == gbk.size()) return std::string(gbk);
  const int n = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}
