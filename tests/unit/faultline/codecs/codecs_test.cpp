// CRC-32, Base64, MD5 and the block cipher against outside references: zlib's crc32, the vectors
// of RFC 4648 and RFC 1321, and cipher outputs computed by a separate Python implementation.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "faultline/codecs/codecs.h"

namespace {

std::string Hex(const void* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<const uint8_t*>(data)[i];
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char(rng());
  return s;
}

TEST(Crc32, MatchesZlibForWholeAndChunkedInput) {
  for (size_t n : {0, 1, 7, 64, 1000, 65537}) {
    std::string data = RandomBytes(n, unsigned(n));
    uLong expected = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size()));
    EXPECT_EQ(Crc32Update(0, data), expected) << n;
    size_t cut = n / 3;
    uint32_t chunked = Crc32Update(Crc32Update(0, data.substr(0, cut)), data.substr(cut));
    EXPECT_EQ(chunked, expected) << n;
  }
  EXPECT_EQ(Crc32Update(0, std::string_view("123456789")), 0xCBF43926u);  // the catalogue check value
}

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto [plain, coded] : vectors) {
    EXPECT_EQ(Base64Encode(plain), coded);
    EXPECT_EQ(Base64Decode(coded), plain);
  }
}

TEST(Base64, BadLengthsDecodeToNothingAndBinaryRoundTrips) {
  for (const char* text : {"Z", "Zm", "Zm9", "Zm9vY", "Zm9vYmFy="}) EXPECT_EQ(Base64Decode(text), "") << text;
  for (size_t n = 0; n < 40; ++n) {
    std::string data = RandomBytes(n, 99 + unsigned(n));
    std::string coded = Base64Encode(data);
    EXPECT_EQ(coded.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(Base64Decode(coded), data);
  }
}

TEST(Md5, Rfc1321Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (auto [text, digest] : vectors) {
    auto d = Md5Digest(text);
    EXPECT_EQ(Hex(d.data(), d.size()), digest) << text;
  }
}

// Outputs computed once with an independent Python implementation of the key set-up (hashlib's
// MD5, big-endian words) and of the round formulas.
TEST(Cipher, BlockVectorsFromIndependentImplementation) {
  struct Case {
    std::string password, plain, cipher;
  } cases[] = {
      {"", Unhex("0000000000000000"), Unhex("14c81d62b75bf9c6")},
      {"secret", "ABCDEFGH", Unhex("8c968fb4b1ce0887")},
      {"Tarn\xb5\xbc\xc8\xeb", Unhex("0001020304050607"), Unhex("ec3b503c66c2b6be")},
  };
  for (auto& c : cases) {
    CipherSetKey(c.password);
    std::string block = c.plain;
    CipherEncryptBlock(reinterpret_cast<uint8_t*>(block.data()));
    EXPECT_EQ(Hex(block.data(), 8), Hex(c.cipher.data(), 8)) << c.password;
    CipherDecryptBlock(reinterpret_cast<uint8_t*>(block.data()));
    EXPECT_EQ(block, c.plain);
  }
}

TEST(Cipher, ChainedBufferDecryptionMatchesReferenceAndInverts) {
  CipherSetKey("pw");
  const std::pair<size_t, const char*> cases[] = {
      {5, "934454e203"},  // tail only: keystream from the all-0xFF start block
      {16, "affd71ac7cc0d23af74ed4ae5ce88712"},
      {21, "affd71ac7cc0d23af74ed4ae5ce8871281b3c8d0b8"}};
  for (auto [n, expected] : cases) {
    std::string buf;
    for (size_t i = 0; i < n; ++i) buf += char(i);
    CipherDecrypt(buf.data(), buf.size());
    EXPECT_EQ(Hex(buf.data(), n), expected) << n;
    CipherEncrypt(buf.data(), buf.size());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(uint8_t(buf[i]), i) << n;
  }
}

TEST(Cipher, PasswordCheckValueOfEmptyPassword) {
  // The stored check value for the empty password: the little-endian magic 0x000FAB10 enciphered.
  CipherSetKey("");
  std::string check = Unhex("201570a3");
  CipherDecrypt(check.data(), check.size());
  EXPECT_EQ(Hex(check.data(), 4), "10ab0f00");
}

}  // namespace
