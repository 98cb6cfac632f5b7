#pragma once
// Gzip framing around zlib's deflate and inflate, as the report archive and the web pages that
// arrive gzip-compressed need it: one member, the stored name field and nothing else.
#include <string>
#include <string_view>

#include "rtl/exception.h"

// A negative zlib result. The message is the fixed text of the code ("data error", ...).
class EZLibError : public Exception {
 public:
  explicit EZLibError(int code);
  int Code() const { return code_; }

 private:
  int code_;
};

// The text of a negative zlib result code: -1 "file error" ... -6 "incompatible version".
std::string ZLibErrorText(int code);

// The complete gzip file for input: deflate at level 9 (window bits 15, memory level 8, default
// strategy), a header with time 0 and operating system 0, and the stored name: the file name part
// of gzipPath with its extension replaced by ".tar". Throws EZLibError.
std::string GzipCompress(std::string_view input, std::string_view gzipPath);

// Inflates one gzip member. Only the stored-name flag of the header is honoured; the trailer's
// CRC and length are not checked, and a damaged deflate stream gives the output produced up to
// the damage. Input too short to hold a header and a trailer, or a stored name that runs to the
// end, throws EZLibError("data error") rather than being read past its end.
std::string GzipDecompress(std::string_view gzip);
