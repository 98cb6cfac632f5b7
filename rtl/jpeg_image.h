#pragma once
// Decoding of a JPEG picture held in memory into 8-bit RGB pixels (rows top-down).
#include <string>
#include <string_view>
#include <vector>

#include "rtl/exception.h"

class EJpegError : public Exception {
 public:
  using Exception::Exception;
};

struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<unsigned char> Pixels;  // Width * Height * 3 bytes, R G B
};

// Raises EJpegError for data that is not a decodable JPEG.
TRgbImage DecodeJpeg(std::string_view data);
