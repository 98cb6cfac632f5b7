#pragma once
// Small codecs shared across the reporting layer: CRC-32, Base64, MD5 and the block cipher that
// protects symbol names in debug information. All portable; they work on bytes held in strings.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Standard CRC-32 (zlib/PNG). Start with 0 and feed successive chunks: Crc32Update(Crc32Update(0, a), b).
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);
inline uint32_t Crc32Update(uint32_t crc, std::string_view bytes) {
  return Crc32Update(crc, bytes.data(), bytes.size());
}

// RFC 4648 Base64 without line breaks. Decode of a text whose length is 0 or not a multiple of 4
// gives an empty result.
std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);

// RFC 1321 MD5 digest.
std::array<uint8_t, 16> Md5Digest(std::string_view bytes);

// The process-wide cipher key, derived from a password (MD5, four big-endian words). Setting the
// password already in use does nothing.
void CipherSetKey(std::string_view password);
// Encrypts one 8-byte block in place with the current key.
void CipherEncryptBlock(uint8_t block[8]);
// Decrypts size bytes in place: chained blocks from an all-0xFF start value, tail by keystream.
void CipherDecrypt(void* buffer, size_t size);

// The inverse of CipherDecrypt with the current key (used by the tool that writes debug
// information, and by tests).
void CipherEncrypt(void* buffer, size_t size);
// Decrypts one 8-byte block in place with the current key.
void CipherDecryptBlock(uint8_t block[8]);
