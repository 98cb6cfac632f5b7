#include "tools/flreader/gbk_text.h"

#include <cerrno>
#include <iconv.h>

std::string GbkToUtf8(std::string_view gbk) {
  size_t i = 0;
  while (i < gbk.size() && static_cast<unsigned char>(gbk[i]) < 0x80) ++i;
  if (i == gbk.size()) return std::string(gbk);
  static const iconv_t cd = iconv_open("UTF-8", "CP936");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(gbk.size() * 3 / 2 + 8);
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // Not a character (or cut short at the end): one replacement character, then go on.
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}
