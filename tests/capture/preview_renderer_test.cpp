#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <tuple>
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

std::vector<uint8_t> UniformFrame(int width, int height, uint8_t y) {
  std::vector<uint8_t> f(static_cast<size_t>(width) * height * 2, 128);
  for (size_t i = 0; i < f.size(); i += 2) f[i] = y;
  return f;
}

Bgr PixelAt(const uint8_t* image, int width, int row, int column) {
  const uint8_t* p = image + (static_cast<size_t>(row) * width + column) * 3;
  return {p[0], p[1], p[2]};
}

struct RecordingView : IImageView {
  void ShowImage(const uint8_t* pixels, int width, int height) override { shown.emplace_back(pixels, width, height); }
  std::vector<std::tuple<const uint8_t*, int, int>> shown;
};

// Converts bottom-up with the kernel and compares every pixel with the formula; an odd last
// column is left alone.
void ExpectConverted(const std::vector<uint8_t>& frame, int width, int height, yuy2::Kernel kernel) {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3, 0xAB);
  ASSERT_EQ(yuy2::ConvertFrameBottomUp(frame.data(), frame.size(), width, height, out.data(), kernel), height);
  int mismatches = 0;
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* g = frame.data() + static_cast<size_t>(r) * width * 2 + (x & ~1) * 2;
      const Bgr want = x + 1 == width && width % 2 ? Bgr{0xAB, 0xAB, 0xAB} : Reference(g[x & 1 ? 2 : 0], g[1], g[3]);
      if (PixelAt(out.data(), width, height - 1 - r, x) != want && ++mismatches < 5)
        ADD_FAILURE() << yuy2::KernelName(kernel) << " width " << width << " row " << r << " column " << x;
    }
  }
}

TEST(Yuy2Conversion, EveryKernelMatchesTheFormulaForEveryYuvAndEveryTailLength) {
  // The reference itself, worked by hand: black, white, a mid colour, both clamps (a negative blue sum).
  EXPECT_EQ((std::vector{Reference(16, 128, 128), Reference(235, 128, 128), Reference(100, 90, 200),
                         Reference(255, 128, 255), Reference(81, 90, 240)}),
            (std::vector<Bgr>{{0, 0, 0}, {255, 255, 255}, {21, 54, 213}, {255, 175, 255}, {0, 0, 255}}));
  std::mt19937 rng(7);
  std::vector<uint8_t> all(256 * 256 * 4);  // for one u: a row for each v, a group for each y pair
  for (auto kernel : kAllKernels) {
    if (yuy2::Resolve(kernel) != kernel) std::printf("kernel %s not available here\n", yuy2::KernelName(kernel));
    for (int u = 0; u < 256; ++u) {
      for (int i = 0; i < 256 * 256; ++i) {
        const uint8_t group[4] = {uint8_t(i), uint8_t(u), uint8_t(255 - i), uint8_t(i >> 8)};
        std::copy(group, group + 4, &all[i * 4]);
      }
      ExpectConverted(all, 512, 256, kernel);
    }
    for (int width = 1; width <= 75; ++width) {
      std::vector<uint8_t> frame(static_cast<size_t>(width) * 3 * 2);
      for (auto& b : frame) b = static_cast<uint8_t>(rng());
      ExpectConverted(frame, width, 3, kernel);
    }
  }
}

// A short frame fills only the rows it holds (bottom-up: the last ones).
TEST(PreviewRenderer, LifecycleRefusalsAndShortFrames) {
  CPreviewRenderer renderer;
  const auto whole = UniformFrame(32, 8, 235);
  EXPECT_EQ(renderer.Render(whole.data(), whole.size(), 1), 0);  // not created
  EXPECT_EQ(renderer.Pixels(), nullptr);
  for (auto [w, h] : {std::pair{0, 4}, {16, -1}, {CPreviewRenderer::kMaxSide + 1, 4}})
    EXPECT_FALSE(renderer.Create(nullptr, w, h)) << w << "x" << h;
  ASSERT_TRUE(renderer.Create(nullptr, 32, 8));
  EXPECT_EQ(renderer.Render(nullptr, 100, 1), 0);
  std::fill(renderer.Pixels(), renderer.Pixels() + 32 * 8 * 3, 0xAB);
  const std::vector<uint8_t> part(whole.begin(), whole.begin() + 32 * 2 * 3 + 17);  // overreads show under ASan
  EXPECT_EQ(renderer.RenderAt(part.data(), part.size(), 0, 0, 0, 0), 1);
  for (int row = 0; row < 8; ++row) {
    const Bgr expected = row >= 5 ? Bgr{255, 255, 255} : Bgr{0xAB, 0xAB, 0xAB};
    for (int x = 0; x < 32; ++x) ASSERT_EQ(PixelAt(renderer.Pixels(), 32, row, x), expected) << row << " " << x;
  }
  EXPECT_EQ(renderer.RenderAt(part.data(), 0, 0, 0, 0, 0), 1);  // nothing present, nothing read
  renderer.Destroy();
  EXPECT_EQ(renderer.Pixels(), nullptr);
  EXPECT_EQ(renderer.Render(whole.data(), whole.size(), 1), 0);
}

TEST(PreviewRenderer, ClockGlyphsAreRedAtTheirPlaceAndTransparent) {
  constexpr int kW = 96, kH = 40;
  CPreviewRenderer renderer;
  RecordingView view;
  ASSERT_TRUE(renderer.Create(&view, kW, kH));
  const auto white = UniformFrame(kW, kH, 235);
  ASSERT_EQ(renderer.RenderAt(white.data(), white.size(), 1, 12, 34, 56), 1);
  EXPECT_EQ(view.shown, (decltype(view.shown){{renderer.Pixels(), kW, kH}}));
  const char* text = "12:34:56";
  const Bgr red{0, 0, 255}, bg{255, 255, 255};
  for (int x = 0; x < kW; ++x) {
    for (int y = 0; y < kH; ++y) {
      const int gx = x - 10, gy = y - 5;  // top-down, from the clock's corner
      bool on = false;
      if (gx >= 0 && gx < 64 && gy >= 0 && gy < 16) on = (clockfont::Glyph(text[gx / 8])[gy] >> (7 - gx % 8)) & 1;
      ASSERT_EQ(PixelAt(renderer.Pixels(), kW, kH - 1 - y, x), on ? red : bg) << x << "," << y;
    }
  }
  ASSERT_EQ(renderer.RenderAt(white.data(), white.size(), 0, 12, 34, 56), 1);
  EXPECT_EQ(std::count(renderer.Pixels(), renderer.Pixels() + kW * kH * 3, 255), kW * kH * 3);
  ASSERT_EQ(renderer.Render(white.data(), white.size(), 1), 1);  // the local time
  EXPECT_GT(std::count(renderer.Pixels(), renderer.Pixels() + kW * kH * 3, 0), 2 * 8 * 10);

  CPreviewRenderer tiny;  // the clock runs off the picture
  ASSERT_TRUE(tiny.Create(nullptr, 14, 9));
  EXPECT_EQ(tiny.RenderAt(white.data(), 14 * 9 * 2, 1, 23, 59, 59), 1);
  EXPECT_GT(std::count(tiny.Pixels(), tiny.Pixels() + 14 * 9 * 3, 0), 0);
}

}  // namespace
