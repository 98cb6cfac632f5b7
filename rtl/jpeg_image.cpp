#include "rtl/jpeg_image.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

// libjpeg's default error handler ends the process; ours jumps back with the message instead.
// (A C++ exception must not unwind through libjpeg's C frames.)
struct TJpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
  auto* err = reinterpret_cast<TJpegErrorManager*>(info->err);
  (*info->err->format_message)(info, err->message);
  std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr, int) {}

}  // namespace


// Only plain data live in this frame, so the error jump skips no destructor.
static bool DecodeInto(std::string_view data, TRgbImage* image, char* message) {
  jpeg_decompress_struct info{};
  TJpegErrorManager err{};
  info.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.pub.emit_message = OnJpegMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image->Width = static_cast<int>(info.output_width);
  image->Height = static_cast<int>(info.output_height);
  image->Pixels.resize(static_cast<size_t>(image->Width) * image->Height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->Pixels.data() + static_cast<size_t>(info.output_scanline) * image->Width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

TRgbImage DecodeJpeg(std::string_view data) {
  TRgbImage image;
  char message[JMSG_LENGTH_MAX] = {};
  if (data.empty() || !DecodeInto(data, &image, message)) throw EJpegError(std::string("JPEG error: ") + message);
  return image;
}
