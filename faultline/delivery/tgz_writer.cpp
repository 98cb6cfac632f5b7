#include "faultline/delivery/tgz_writer.h"

#include <cstring>

#include "faultline/codecs/gzip.h"
#include "rtl/ansi_paths.h"

void TarOctalField(char* field, int width, uint64_t value) {
  const int digits = width == 8 ? 6 : 11;
  for (int i = digits - 1; i >= 0; --i) {
    field[i] = char('0' + (value & 7));
    value >>= 3;
  }
  for (int i = 0; i < digits - 1 && field[i] == '0'; ++i) field[i] = ' ';
  field[digits] = ' ';
  if (width == 8) field[7] = '\0';
}

std::string TarHeader(const TTarRec& rec) {
  std::string header(512, '\0');
  char* h = header.data();
  std::memcpy(h, rec.Name.data(), rec.Name.size() < 100 ? rec.Name.size() : 100);
  TarOctalField(h + 100, 8, 0);
  TarOctalField(h + 108, 8, 0);
  TarOctalField(h + 116, 8, 0);
  TarOctalField(h + 124, 12, static_cast<uint32_t>(rec.Size < 0 ? 0 : rec.Size));
  TarOctalField(h + 136, 12, static_cast<uint64_t>(DateTimeToUnixSeconds(rec.Time)));
  h[156] = '0';
  std::memcpy(h + 257, "ustar   ", 8);
  std::memset(h + 148, ' ', 8);
  uint32_t sum = 0;
  for (unsigned char c : header) sum += c;
  TarOctalField(h + 148, 8, sum);
  return header;
}

TTGZWriter::TTGZWriter(std::string archivePath, TFaultFileAccess& files)
    : archivePath_(std::move(archivePath)), files_(files) {}

TTGZWriter::~TTGZWriter() {
  if (finished_) return;
  try {
    Finish();
  } catch (...) {
  }
}

void TTGZWriter::AddFile(const std::string& path, const std::string& archiveName) {
  std::string bytes = files_.ReadAll(path);
  double time = files_.LastWriteTime(path);
  AddStream(bytes, PathFileName(archiveName.empty() ? path : archiveName), time);
}

void TTGZWriter::AddStream(std::string_view bytes, const std::string& name, double time) {
  // The size field is a 32-bit signed count; a larger entry could not be described.
  if (bytes.size() > 0x7FFFFFFF) throw EFaultFileError("File too large for the archive: " + name);
  TTarRec rec{name, static_cast<int32_t>(bytes.size()), time};
  tar_ += TarHeader(rec);
  tar_.append(bytes);
  if (size_t rest = bytes.size() % 512) tar_.append(512 - rest, '\0');
}

void TTGZWriter::Finish() {
  if (finished_) return;
  finished_ = true;
  tar_.append(512, '\0');
  std::string gz = GzipCompress(tar_, archivePath_);
  std::string().swap(tar_);
  files_.WriteAll(archivePath_, gz);
}
