// The screenshot of a 1920 x 1080 screen-like picture (flat desktop and window areas, a gradient
// title bar, lines of text-like strokes with smoothed edges, a noisy photo-like region): our colour
// reduction, mapping and PNG writer, against libpng writing the very same palette picture (same
// indices, same palette) at compression level 9, measured in the same run. libpng runs three times:
// with its default filters, with no filtering (like our rows) and with all filters tried per row.
// Prints the times (best of several runs), the file sizes and the ratios.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "faultline/ui/color_reduction.h"
#include "faultline/ui/png_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double BestSeconds(int runs, F f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

struct TScreen {
  uint32_t Width = 1920;
  uint32_t Height = 1080;
  size_t Stride = 1920 * 3;
  std::vector<uint8_t> Bits = std::vector<uint8_t>(Stride * Height);  // top-down BGR

  void Set(int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= int(Width) || y >= int(Height)) return;
    uint8_t* p = &Bits[size_t(y) * Stride + size_t(x) * 3];
    p[0] = uint8_t(std::clamp(b, 0, 255));
    p[1] = uint8_t(std::clamp(g, 0, 255));
    p[2] = uint8_t(std::clamp(r, 0, 255));
  }
  void Fill(int x0, int y0, int x1, int y1, int r, int g, int b) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) Set(x, y, r, g, b);
    }
  }
};

TScreen MakeScreen() {
  TScreen s;
  std::mt19937 rng(42);
  s.Fill(0, 0, 1920, 1080, 58, 110, 165);  // desktop
  // Desktop icons: small noisy squares with captions below.
  for (int i = 0; i < 8; ++i) {
    int x0 = 20, y0 = 20 + i * 90;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) s.Set(x0 + x, y0 + y, 80 + int(rng() % 160), 60 + int(rng() % 120), int(rng() % 200));
    }
  }
  // A window: frame, gradient title bar, menu and tool bars, white client area.
  s.Fill(200, 80, 1600, 980, 212, 208, 200);
  for (int x = 204; x < 1596; ++x) {
    double t = double(x - 204) / 1392;
    for (int y = 84; y < 106; ++y) s.Set(x, y, int(10 + 156 * t), int(36 + 166 * t), int(106 + 134 * t));
  }
  s.Fill(204, 110, 1596, 132, 236, 233, 216);
  for (int i = 0; i < 24; ++i) s.Fill(208 + i * 28, 136, 232 + i * 28, 160, 200 - i % 3 * 30, 200, 220 - i % 5 * 20);
  s.Fill(208, 166, 1592, 972, 255, 255, 255);
  // Lines of text: strokes of black with a grey halo, as smoothed fonts give.
  for (int line = 0; line < 48; ++line) {
    int y0 = 176 + line * 16;
    int chars = 40 + int(rng() % 120);
    for (int c = 0; c < chars; ++c) {
      int x0 = 216 + c * 8;
      if (rng() % 7 == 0) continue;  // a space
      for (int stroke = 0; stroke < 3; ++stroke) {
        bool vertical = rng() % 2;
        int sx = x0 + int(rng() % 6), sy = y0 + 2 + int(rng() % 9), len = 3 + int(rng() % 7);
        for (int k = 0; k < len; ++k) {
          int x = vertical ? sx : sx + k % 6, y = vertical ? sy + k % 11 : sy;
          s.Set(x, y, 0, 0, 0);
          int halo = 128 + int(rng() % 4) * 32;
          if (vertical) {
            s.Set(x + 1, y, halo, halo, halo);
          } else {
            s.Set(x, y + 1, halo, halo, halo);
          }
        }
      }
    }
  }
  // A photo-like region: smooth gradients with noise.
  for (int y = 0; y < 420; ++y) {
    for (int x = 0; x < 640; ++x) {
      int n = int(rng() % 25) - 12;
      s.Set(900 + x, 480 + y, 40 + x * 180 / 640 + n, 90 + y * 120 / 420 + n, 200 - (x + y) * 150 / 1060 + n);
    }
  }
  // Task bar with a few buttons and a red focus frame, as the capture draws it.
  s.Fill(0, 1050, 1920, 1080, 36, 94, 220);
  for (int i = 0; i < 6; ++i) s.Fill(100 + i * 170, 1053, 260 + i * 170, 1077, 60, 130, 240);
  for (int k = 0; k < 2; ++k) {
    s.Fill(300 + k, 300 + k, 700 - k, 301 + k, 255, 0, 0);
    s.Fill(300 + k, 400 - 1 - k, 700 - k, 400 - k, 255, 0, 0);
    s.Fill(300 + k, 300 + k, 301 + k, 400 - k, 255, 0, 0);
    s.Fill(700 - 1 - k, 300 + k, 700 - k, 400 - k, 255, 0, 0);
  }
  return s;
}

void PngWrite(png_structp png, png_bytep data, png_size_t size) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}
void PngFlush(png_structp) {}

// libpng writing the palette picture at level 9 (window bits 15, memory level 8 like ours);
// filters < 0 leaves libpng's own choice.
std::string LibpngEncode(uint32_t width, uint32_t height, const std::vector<uint8_t>& indices,
                         const TPalette& palette, int filters) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng failed");
  }
  png_set_write_fn(png, &out, PngWrite, PngFlush);
  png_set_compression_level(png, 9);
  png_set_compression_window_bits(png, 15);
  png_set_compression_mem_level(png, 8);
  if (filters >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_color entries[256];
  for (int i = 0; i < 256; ++i) entries[i] = {palette.Colors[i].R, palette.Colors[i].G, palette.Colors[i].B};
  png_set_PLTE(png, info, entries, 256);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) png_write_row(png, indices.data() + size_t(y) * width);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace

int main() {
  const TScreen screen = MakeScreen();
  const uint32_t w = screen.Width, h = screen.Height;
  const TBgrView view{w, h, screen.Bits.data(), screen.Stride, TRowOrder::TopDown};
  const int runs = 5;

  TPalette palette;
  std::vector<uint8_t> indices(size_t(w) * h);
  std::string ours, whole;
  double reduce = BestSeconds(runs, [&] { palette = ReduceColors(view); });
  double map = BestSeconds(runs, [&] { MapToPalette(view, palette, indices.data(), w); });
  double write = BestSeconds(runs, [&] { ours = EncodePalettePng(w, h, indices.data(), w, palette); });
  double all = BestSeconds(runs, [&] { whole = EncodeScreenshotPng(w, h, screen.Bits.data(), screen.Stride,
                                                                     TRowOrder::TopDown); });
  if (whole != ours) std::printf("warning: the one-call screenshot differs from reduce + map + write\n");

  struct TPeer {
    const char* Name;
    int Filters;
    std::string File;
    double Seconds = 0;
  } peers[] = {{"libpng, default filters", -1, {}}, {"libpng, PNG_FILTER_NONE", PNG_FILTER_NONE, {}},
               {"libpng, PNG_ALL_FILTERS", PNG_ALL_FILTERS, {}}};
  for (TPeer& p : peers) p.Seconds = BestSeconds(runs, [&] { p.File = LibpngEncode(w, h, indices, palette, p.Filters); });

  std::printf("screen %ux%u, %u palette colours, best of %d runs\n", w, h, palette.Count, runs);
  std::printf("  ours: reduce %.1f ms, map %.1f ms, write %.1f ms; whole screenshot %.1f ms\n", reduce * 1e3,
              map * 1e3, write * 1e3, all * 1e3);
  std::printf("  ours: %zu bytes\n", ours.size());
  for (const TPeer& p : peers) {
    std::printf("  %-24s write %.1f ms, %zu bytes; ours/it: time %.2f (write only), %.2f (whole screenshot), "
                "size %.3f\n",
                p.Name, p.Seconds * 1e3, p.File.size(), write / p.Seconds, all / p.Seconds,
                double(ours.size()) / double(p.File.size()));
  }
  return 0;
}
