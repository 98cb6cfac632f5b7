// The drawn assets are what the window and the executable need: a baseline three-component JPEG
// banner of 194 x 359 that our decoder reads, and an icon of seven images.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>

#include "rtl/jpeg_image.h"

namespace {
std::string Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
uint32_t U16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
}  // namespace

TEST(Assets, BannerIsABaselineJpegOfTheWindowsSize) {
  const std::string jpeg = Load(TARN_ASSETS_DIR "/banner.jpg");
  ASSERT_GT(jpeg.size(), 1000u);
  // A baseline frame (SOF0) and no progressive one (SOF2).
  EXPECT_NE(jpeg.find("\xFF\xC0"), std::string::npos);
  EXPECT_EQ(jpeg.find("\xFF\xC2"), std::string::npos);
  const size_t sof = jpeg.find("\xFF\xC0");
  EXPECT_EQ(static_cast<uint8_t>(jpeg[sof + 9]), 3) << "colour components";
  TRgbImage image = DecodeJpeg(jpeg);
  EXPECT_EQ(image.Width, 194);
  EXPECT_EQ(image.Height, 359);
  EXPECT_EQ(image.Pixels.size(), 194u * 359u * 3u);
}

TEST(Assets, DamagedJpegIsAnErrorNotACrash) {
  std::string jpeg = Load(TARN_ASSETS_DIR "/banner.jpg");
  EXPECT_THROW(DecodeJpeg(jpeg.substr(0, 200)), EJpegError);
  EXPECT_THROW(DecodeJpeg("not a picture"), EJpegError);
  EXPECT_THROW(DecodeJpeg(""), EJpegError);
}

TEST(Assets, IconHoldsSevenImagesAtTheirSizesAndDepths) {
  const std::string ico = Load(TARN_ASSETS_DIR "/Tarn_Import.ico");
  ASSERT_GE(ico.size(), 6u + 7 * 16);
  EXPECT_EQ(U16(ico, 2), 1u);
  ASSERT_EQ(U16(ico, 4), 7u);
  std::multiset<std::pair<int, int>> images;
  for (int i = 0; i < 7; ++i) {
    const size_t e = 6 + 16 * static_cast<size_t>(i);
    int size = static_cast<uint8_t>(ico[e]);
    images.insert({size == 0 ? 256 : size, static_cast<int>(U16(ico, e + 6))});
  }
  EXPECT_EQ(images, (std::multiset<std::pair<int, int>>{{48, 8}, {32, 8}, {16, 8}, {128, 32}, {48, 32}, {32, 32}, {16, 32}}));
}
