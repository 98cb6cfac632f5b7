#include "faultline/codecs/codecs.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// CRC-32: reflected polynomial 0xEDB88320, table built once on first use.

namespace {

const uint32_t* CrcTable() {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table.data();
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
  const uint32_t* table = CrcTable();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = crc ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// ---------------------------------------------------------------------------------------------
// Base64

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, -1 otherwise ("=" included: it is handled by position).
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return {};
  size_t outSize = text.size() / 4 * 3;
  if (text[text.size() - 1] == '=') --outSize;
  if (text[text.size() - 2] == '=') --outSize;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      // Characters outside the alphabet (padding included) count as zero bits; the length rule
      // above decides how many bytes are kept, so nothing is ever read or written past the ends.
      int d = Base64Value(static_cast<unsigned char>(text[i + k]));
      v = (v << 6) | uint32_t(d < 0 ? 0 : d);
    }
    out += char((v >> 16) & 0xFF);
    out += char((v >> 8) & 0xFF);
    out += char(v & 0xFF);
  }
  out.resize(outSize);
  return out;
}

// ---------------------------------------------------------------------------------------------
// MD5 (RFC 1321)

namespace {

constexpr uint32_t kMd5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kMd5Shifts[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Md5Block(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 | uint32_t(block[i * 4 + 2]) << 16 |
           uint32_t(block[i * 4 + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    int round = i / 16;
    if (round == 0) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (round == 1) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (round == 2) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t next = b + Rotl(a + f + kMd5Sines[i] + x[g], kMd5Shifts[round * 4 + i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

std::array<uint8_t, 16> Md5Digest(std::string_view bytes) {
  uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t n = bytes.size();
  size_t whole = n / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) Md5Block(state, p + i);
  // Padding: 0x80, zeros up to 56 mod 64, then the bit length as 64-bit little-endian.
  uint8_t tail[128] = {};
  size_t rest = n - whole;
  if (rest) std::memcpy(tail, p + whole, rest);
  tail[rest] = 0x80;
  size_t tailSize = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(n) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 8 + i] = uint8_t(bits >> (8 * i));
  for (size_t i = 0; i < tailSize; i += 64) Md5Block(state, tail + i);
  std::array<uint8_t, 16> digest{};
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) digest[i * 4 + k] = uint8_t(state[i] >> (8 * k));
  return digest;
}

// ---------------------------------------------------------------------------------------------
// Block cipher. The key is process-wide by design: the debug lookup sets it only when the password
// differs from the last one used. No lock: it is used from the report thread while other threads
// may be suspended at any point, and a lock held by a suspended thread would hang the report.

namespace {

uint32_t cipherKey[4];
constexpr uint32_t kDelta = 0x9E3779B9u;

uint32_t LoadBe(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
void StoreBe(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

void EncryptBlockWith(const uint32_t k[4], uint8_t block[8]) {
  uint32_t l = LoadBe(block), r = LoadBe(block + 4), sum = 0;
  for (int i = 0; i < 32; ++i) {
    sum += kDelta;
    l += (r << 4) + (r ^ k[0]) + ((r >> 5) ^ sum) + k[1];
    r += (l << 4) + (l ^ k[2]) + ((l >> 5) ^ sum) + k[3];
  }
  StoreBe(block, l);
  StoreBe(block + 4, r);
}

void DecryptBlockWith(const uint32_t k[4], uint8_t block[8]) {
  uint32_t l = LoadBe(block), r = LoadBe(block + 4), sum = 0xC6EF3720u;
  for (int i = 0; i < 32; ++i) {
    r -= (l << 4) + (l ^ k[2]) + ((l >> 5) ^ sum) + k[3];
    l -= (r << 4) + (r ^ k[0]) + ((r >> 5) ^ sum) + k[1];
    sum -= kDelta;
  }
  StoreBe(block, l);
  StoreBe(block + 4, r);
}

}  // namespace

void CipherSetKey(std::string_view password) {
  // Deriving the key again for the password already in use would change nothing.
  static std::string current;
  static bool keySet = false;
  if (keySet && current == password) return;
  current = password;
  keySet = true;
  auto digest = Md5Digest(password);
  for (int i = 0; i < 4; ++i) cipherKey[i] = LoadBe(digest.data() + i * 4);
}

void CipherEncryptBlock(uint8_t block[8]) {
  EncryptBlockWith(cipherKey, block);
}

void CipherDecryptBlock(uint8_t block[8]) {
  DecryptBlockWith(cipherKey, block);
}

void CipherDecrypt(void* buffer, size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  uint8_t chain[8];
  std::memset(chain, 0xFF, sizeof chain);
  size_t whole = size / 8 * 8;
  for (size_t i = 0; i < whole; i += 8) {
    uint8_t cipherText[8];
    std::memcpy(cipherText, p + i, 8);
    DecryptBlockWith(cipherKey, p + i);
    for (int k = 0; k < 8; ++k) p[i + k] ^= chain[k];
    std::memcpy(chain, cipherText, 8);
  }
  if (size > whole) {
    EncryptBlockWith(cipherKey, chain);
    for (size_t k = 0; k < size - whole; ++k) p[whole + k] ^= chain[k];
  }
}

void CipherEncrypt(void* buffer, size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  uint8_t chain[8];
  std::memset(chain, 0xFF, sizeof chain);
  size_t whole = size / 8 * 8;
  for (size_t i = 0; i < whole; i += 8) {
    for (int k = 0; k < 8; ++k) p[i + k] ^= chain[k];
    EncryptBlockWith(cipherKey, p + i);
    std::memcpy(chain, p + i, 8);
  }
  if (size > whole) {
    EncryptBlockWith(cipherKey, chain);
    for (size_t k = 0; k < size - whole; ++k) p[whole + k] ^= chain[k];
  }
}
