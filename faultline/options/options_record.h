#pragma once
// Byte-level helpers of the options record and the options container: a bounds-checked reader,
// little-endian writers, and the string scrambling. Every read past the end throws
// EFaultContainerError, so damaged or truncated input never leads to an out-of-bounds access.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "rtl/exception.h"

// Raised for a damaged or truncated options record or options container.
class EFaultContainerError : public Exception {
 public:
  using Exception::Exception;
};

// Every byte of a record string is XORed with this value; the writer and reader share it.
constexpr uint8_t FaultRecordScrambleByte = 0xA7;

// The stored form of a record string: trailing lone CR LF dropped (see RecordStringStored), then
// scrambled. Scrambling is its own inverse.
std::string ScrambleRecordString(std::string_view text);
// A string longer than one character whose first CR LF stands at its very end loses that CR LF;
// a string with an earlier CR LF keeps everything.
std::string RecordStringStored(std::string_view text);

class TFaultRecordReader {
 public:
  explicit TFaultRecordReader(std::string_view bytes) : bytes_(bytes) {}

  uint8_t ReadByte();
  bool ReadBool() { return ReadByte() != 0; }
  uint16_t ReadUInt16();
  uint32_t ReadUInt32();
  int32_t ReadInt32() { return static_cast<int32_t>(ReadUInt32()); }
  double ReadDouble();
  // A 32-bit length and that many scrambled bytes, unscrambled.
  std::string ReadString();
  std::string_view ReadBytes(size_t count);
  void Skip(size_t count) { ReadBytes(count); }

  size_t Position() const { return pos_; }
  size_t Remaining() const { return bytes_.size() - pos_; }
  std::string_view Rest() const { return bytes_.substr(pos_); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

void WriteByte(std::string& out, uint8_t value);
void WriteUInt16(std::string& out, uint16_t value);
void WriteUInt32(std::string& out, uint32_t value);
void WriteDouble(std::string& out, double value);
// Writes a record string: stored form (RecordStringStored), 32-bit length, scrambled bytes.
void WriteRecordString(std::string& out, std::string_view text);
