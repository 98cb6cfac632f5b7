#include "faultline/codecs/gzip.h"

#include <zlib.h>

#include <cstdint>

#include "faultline/codecs/codecs.h"
#include "rtl/ansi_paths.h"

std::string ZLibErrorText(int code) {
  switch (code) {
    case -1: return "file error";
    case -2: return "stream error";
    case -3: return "data error";
    case -4: return "insufficient memory";
    case -5: return "buffer error";
    case -6: return "incompatible version";
    default: return "zlib error " + std::to_string(code);
  }
}

EZLibError::EZLibError(int code) : Exception(ZLibErrorText(code)), code_(code) {}

namespace {

void AppendLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// The whole input as one zlib (RFC 1950) stream.
std::string ZlibCompress(std::string_view input) {
  z_stream zs{};
  int rc = deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (rc < 0) throw EZLibError(rc);
  size_t n = input.size();
  std::string out;
  out.resize((n + n / 10 + 12 + 255) / 256 * 256);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  for (;;) {
    rc = deflate(&zs, Z_FINISH);
    if (rc == Z_STREAM_END) break;
    if (rc < 0 && rc != Z_BUF_ERROR) {
      deflateEnd(&zs);
      throw EZLibError(rc);
    }
    // Not finished yet: the output buffer was too small; grow it and go on.
    size_t used = out.size() - zs.avail_out;
    out.resize(out.size() + 256);
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    zs.avail_out = static_cast<uInt>(out.size() - used);
  }
  out.resize(zs.total_out);
  rc = deflateEnd(&zs);
  if (rc < 0) throw EZLibError(rc);
  return out;
}

}  // namespace

std::string GzipCompress(std::string_view input, std::string_view gzipPath) {
  std::string zlibStream = ZlibCompress(input);
  std::string out("\x1F\x8B\x08\x08\0\0\0\0\0\0", 10);
  out += PathChangeExt(PathFileName(gzipPath), ".tar");
  out += '\0';
  // Raw deflate data: the zlib stream without its 2-byte header and 4-byte Adler-32 trailer.
  out.append(zlibStream, 2, zlibStream.size() - 6);
  AppendLe32(out, Crc32Update(0, input));
  AppendLe32(out, static_cast<uint32_t>(input.size()));
  return out;
}

std::string GzipDecompress(std::string_view gzip) {
  constexpr size_t kHeader = 10, kTrailer = 8;
  if (gzip.size() < kHeader + kTrailer) throw EZLibError(Z_DATA_ERROR);
  size_t pos = kHeader;
  if (static_cast<uint8_t>(gzip[3]) & 0x08) {
    size_t end = gzip.find('\0', pos);
    if (end == std::string_view::npos || end + 1 > gzip.size() - kTrailer) throw EZLibError(Z_DATA_ERROR);
    pos = end + 1;
  }
  std::string_view deflated = gzip.substr(pos, gzip.size() - kTrailer - pos);

  z_stream zs{};
  int rc = inflateInit2(&zs, -MAX_WBITS);
  if (rc < 0) throw EZLibError(rc);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  zs.avail_in = static_cast<uInt>(deflated.size());
  std::string out;
  char chunk[16384];
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(chunk);
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - zs.avail_out);
    // The end of the stream, damaged data or data that stops short all end the read with what
    // was produced so far.
    if (rc != Z_OK) break;
    if (zs.avail_in == 0 && zs.avail_out != 0) break;
  }
  rc = inflateEnd(&zs);
  if (rc < 0) throw EZLibError(rc);
  return out;
}
