#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "capture/ClockFont.h"
#include "capture/PreviewRenderer.h"
#include "capture/Yuy2ToBgr24.h"
#include "gtest/gtest.h"

namespace {

using Bgr = std::array<int, 3>;

constexpr yuy2::Kernel kAllKernels[] = {yuy2::Kernel::Avx2, yuy2::Kernel::Ssse3, yuy2::Kernel::Scalar};

Bgr Reference(int y, int u, int v) {
  const int c = y - 16, d = u - 128, e = v - 128;
  auto clamp = [](int x) { return std::clamp(x, 0, 255); };
  return {clamp((298 * c + 516 * d + 128) >> 8), clamp((298 * c - 100 * d - 208 * e + 128) >> 8),
          clamp((298 * c + 409 * e + 128) >> 8)};
}

std::vector<uint8_t> UniformFrame(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  std::vector<uint8_t> f(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0; i + 3 < f.size(); i += 4) {
    f[i] = y;
    f[i + 1] = u;
    f[i + 2] = y;
    f[i + 3] = v;
  }
  return f;
}

Bgr PixelAt(const uint8_t* image, int width, int row, int column) {
  const uint8_t* p = image + (static_cast<size_t>(row) * width + column) * 3;
  return {p[0], p[1], p[2]};
}

class RecordingView : public IImageView {
 public:
  void ShowImage(const uint8_t* bgrBottomUp, int width, int height) override {
    ++shown;
    pixels = bgrBottomUp;
    w = width;
    h = height;
  }
  int shown = 0;
  const uint8_t* pixels = nullptr;
  int w = 0, h = 0;
};

TEST(Yuy2Conversion, EdgeValuesClampInEveryKernel) {
  struct Row {
    uint8_t y, u, v;
    Bgr expected;
  };
  const Row rows[] = {
      {16, 128, 128, {0, 0, 0}},         // black
      {235, 128, 128, {255, 255, 255}},  // white
      {255, 128, 255, {255, 175, 255}},  // red clamps high
      {0, 0, 128, {0, 31, 0}},           // blue clamps low
      {100, 90, 200, {21, 54, 213}},     // worked by hand
      {81, 90, 240, {0, 0, 255}},        // negative blue sum, red just over 255
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Reference(r.y, r.u, r.v), r.expected) << int(r.y) << "," << int(r.u) << "," << int(r.v);
    for (auto kernel : kAllKernels) {
      const auto frame = UniformFrame(40, 2, r.y, r.u, r.v);
      std::vector<uint8_t> out(40 * 2 * 3, 0xAB);
      ASSERT_EQ(yuy2::ConvertFrameBottomUp(frame.data(), frame.size(), 40, 2, out.data(), kernel), 2);
      for (int x = 0; x < 40; ++x) EXPECT_EQ(PixelAt(out.data(), 40, 1, x), r.expected) << "column " << x;
    }
  }
}

TEST(Yuy2Conversion, EveryKernelMatchesFormulaForEveryYuv) {
  constexpr int kGroups = 256;
  std::vector<uint8_t> src(kGroups * 4);
  std::vector<uint8_t> dst(kGroups * 6);
  for (auto kernel : kAllKernels) {
    if (yuy2::Resolve(kernel) != kernel) {
      std::printf("kernel %d not available here, checked as %s\n", static_cast<int>(kernel), yuy2::KernelName(kernel));
    }
    long mismatches = 0;
    for (int u = 0; u < 256; ++u) {
      for (int v = 0; v < 256; ++v) {
        for (int g = 0; g < kGroups; ++g) {
          src[g * 4] = static_cast<uint8_t>(g);
          src[g * 4 + 1] = static_cast<uint8_t>(u);
          src[g * 4 + 2] = static_cast<uint8_t>(255 - g);
          src[g * 4 + 3] = static_cast<uint8_t>(v);
        }
        yuy2::ConvertRow(src.data(), dst.data(), kGroups, kernel);
        for (int g = 0; g < kGroups; ++g) {
          const Bgr a = Reference(g, u, v), b = Reference(255 - g, u, v);
          const uint8_t* p = &dst[g * 6];
          if (p[0] != a[0] || p[1] != a[1] || p[2] != a[2] || p[3] != b[0] || p[4] != b[1] || p[5] != b[2]) {
            if (++mismatches < 5)
              ADD_FAILURE() << yuy2::KernelName(kernel) << " u=" << u << " v=" << v << " group " << g;
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << yuy2::KernelName(kernel);
  }
}

TEST(Yuy2Conversion, RowOrderOddWidthAndEveryTailLength) {
  std::mt19937 rng(7);
  for (auto kernel : kAllKernels) {
    for (int width = 1; width <= 75; ++width) {
      const int height = 3;
      std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 2);
      for (auto& b : frame) b = static_cast<uint8_t>(rng());
      std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3, 0xAB);
      yuy2::ConvertFrameBottomUp(frame.data(), frame.size(), width, height, out.data(), kernel);
      for (int r = 0; r < height; ++r) {
        const uint8_t* src = frame.data() + static_cast<size_t>(r) * width * 2;
        const int outRow = height - 1 - r;  // bottom-up: the top source row is the last row
        for (int x = 0; x + 1 < width; x += 2) {
          const uint8_t* g = src + x * 2;
          EXPECT_EQ(PixelAt(out.data(), width, outRow, x), Reference(g[0], g[1], g[3]))
              << width << " " << r << " " << x;
          EXPECT_EQ(PixelAt(out.data(), width, outRow, x + 1), Reference(g[2], g[1], g[3]));
        }
        if (width % 2 == 1) {
          EXPECT_EQ(PixelAt(out.data(), width, outRow, width - 1), (Bgr{0xAB, 0xAB, 0xAB}));
        }
      }
    }
  }
}

TEST(PreviewRenderer, ClockIsClippedOnTinyPicturesAndLocalTimeIsDrawn) {
  CPreviewRenderer tiny;
  ASSERT_TRUE(tiny.Create(nullptr, 14, 9));
  const auto black = UniformFrame(14, 9, 16, 128, 128);
  EXPECT_EQ(tiny.RenderAt(black.data(), black.size(), 1, 23, 59, 59), 1);
  int red = 0;
  for (int i = 0; i < 14 * 9; ++i) red += tiny.Pixels()[i * 3 + 2] == 255;
  EXPECT_GT(red, 0);

  CPreviewRenderer renderer;
  ASSERT_TRUE(renderer.Create(nullptr, 96, 32));
  const auto frame = UniformFrame(96, 32, 16, 128, 128);
  EXPECT_EQ(renderer.Render(frame.data(), frame.size(), 1), 1);
  red = 0;
  for (int i = 0; i < 96 * 32; ++i) red += renderer.Pixels()[i * 3 + 2] == 255;
  EXPECT_GT(red, 8 * 10);  // at least the two colons and six digits
  EXPECT_EQ(renderer.Render(frame.data(), frame.size(), 0), 1);
  EXPECT_EQ(std::count(renderer.Pixels(), renderer.Pixels() + 96 * 32 * 3, 0), 96 * 32 * 3);
}

TEST(PreviewRenderer, LifecycleAndRefusals) {
  CPreviewRenderer renderer;
  const auto frame = UniformFrame(16, 4, 16, 128, 128);
  EXPECT_EQ(renderer.Render(frame.data(), frame.size(), 1), 0);  // not created
  EXPECT_EQ(renderer.Pixels(), nullptr);
  EXPECT_FALSE(renderer.Create(nullptr, 0, 4));
  EXPECT_FALSE(renderer.Create(nullptr, 16, -1));
  EXPECT_FALSE(renderer.Create(nullptr, CPreviewRenderer::kMaxSide + 1, 4));
  ASSERT_TRUE(renderer.Create(nullptr, 16, 4));
  EXPECT_EQ(renderer.Render(nullptr, 100, 1), 0);
  EXPECT_EQ(renderer.Render(frame.data(), frame.size(), 1), 1);
  renderer.Destroy();
  EXPECT_EQ(renderer.Pixels(), nullptr);
  EXPECT_EQ(renderer.Render(frame.data(), frame.size(), 1), 0);
}

TEST(PreviewRenderer, ShortFrameFillsOnlyTheRowsItHolds) {
  CPreviewRenderer renderer;
  ASSERT_TRUE(renderer.Create(nullptr, 32, 8));
  std::fill(renderer.Pixels(), renderer.Pixels() + 32 * 8 * 3, 0xAB);
  const auto whole = UniformFrame(32, 8, 235, 128, 128);
  const std::vector<uint8_t> part(whole.begin(), whole.begin() + 32 * 2 * 3 + 17);
  EXPECT_EQ(renderer.RenderAt(part.data(), part.size(), 0, 0, 0, 0), 1);
  for (int row = 0; row < 8; ++row) {
    const Bgr expected = row >= 5 ? Bgr{255, 255, 255} : Bgr{0xAB, 0xAB, 0xAB};
    for (int x = 0; x < 32; ++x) ASSERT_EQ(PixelAt(renderer.Pixels(), 32, row, x), expected) << row << " " << x;
  }
  EXPECT_EQ(renderer.RenderAt(part.data(), 0, 0, 0, 0, 0), 1);  // nothing present, nothing read
}

TEST(PreviewRenderer, ClockGlyphsAreRedAtTheirPlaceAndTransparent) {
  constexpr int kW = 96, kH = 40;
  CPreviewRenderer renderer;
  RecordingView view;
  ASSERT_TRUE(renderer.Create(&view, kW, kH));
  const auto white = UniformFrame(kW, kH, 235, 128, 128);
  ASSERT_EQ(renderer.RenderAt(white.data(), white.size(), 1, 12, 34, 56), 1);
  ASSERT_EQ(view.shown, 1);
  EXPECT_EQ(view.pixels, renderer.Pixels());
  EXPECT_EQ(view.w, kW);
  EXPECT_EQ(view.h, kH);

  auto at = [&](int x, int y) { return PixelAt(renderer.Pixels(), kW, kH - 1 - y, x); };
  const Bgr red{0, 0, 255}, bg{255, 255, 255};
  EXPECT_EQ(at(10 + 3, 5 + 2), red);
  EXPECT_EQ(at(10 + 2, 5 + 2), bg);
  EXPECT_EQ(at(10 + 16 + 3, 5 + 5), red);
  EXPECT_EQ(at(10 + 16 + 3, 5 + 4), bg);
  for (int x = 0; x < kW; ++x) {
    for (int y = 0; y < kH; ++y) {
      if (y < 5 || y >= 5 + 16 || x < 10 || x >= 10 + 8 * 8) {
        ASSERT_EQ(at(x, y), bg) << x << "," << y;
      }
    }
  }
  const char* text = "12:34:56";
  int redCount = 0;
  for (int i = 0; i < 8; ++i) {
    const uint8_t* glyph = clockfont::Glyph(text[i]);
    ASSERT_NE(glyph, nullptr);
    for (int gy = 0; gy < 16; ++gy) {
      for (int gx = 0; gx < 8; ++gx) {
        const bool on = (glyph[gy] >> (7 - gx)) & 1;
        redCount += on;
        ASSERT_EQ(at(10 + 8 * i + gx, 5 + gy), on ? red : bg) << text[i] << " " << gx << "," << gy;
      }
    }
  }
  EXPECT_GT(redCount, 8 * 10);
}

}  // namespace
