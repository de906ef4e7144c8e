// Per-frame work of a capture channel at 640 x 480: the YUY2 to 24-bit preview conversion
// (against libswscale doing the same conversion and against a plain copy of the output
// bytes, the memory floor) and the motion detector's frame analysis.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture/BlockLuminance.h"
#include "capture/MotionDetector.h"
#include "capture/PreviewRenderer.h"
#include "capture/Yuy2ToBgr24.h"

#ifdef VT_HAVE_SWSCALE
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 2;
constexpr size_t kImageBytes = static_cast<size_t>(kWidth) * kHeight * 3;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void SetFrameCounters(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageBytes));
  state.SetItemsProcessed(state.iterations());
}

void BM_Yuy2ToBgr24(benchmark::State& state) {
  const auto kernel = static_cast<yuy2::Kernel>(state.range(0));
  state.SetLabel(yuy2::KernelName(kernel));
  const auto frame = RandomBytes(kFrameBytes, 1);
  std::vector<uint8_t> image(kImageBytes);
  for (auto _ : state) {
    yuy2::ConvertFrameBottomUp(frame.data(), frame.size(), kWidth, kHeight, image.data(), kernel);
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state);
}
BENCHMARK(BM_Yuy2ToBgr24)
    ->Arg(static_cast<int>(yuy2::Kernel::Avx2))
    ->Arg(static_cast<int>(yuy2::Kernel::Ssse3))
    ->Arg(static_cast<int>(yuy2::Kernel::Scalar))
    ->Unit(benchmark::kMicrosecond);

// The whole preview step of a frame: conversion, clock text, no display.
void BM_RenderWithClock(benchmark::State& state) {
  const auto frame = RandomBytes(kFrameBytes, 2);
  CPreviewRenderer renderer;
  renderer.Create(nullptr, kWidth, kHeight);
  for (auto _ : state) {
    renderer.RenderAt(frame.data(), frame.size(), 1, 12, 34, 56);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state);
}
BENCHMARK(BM_RenderWithClock)->Unit(benchmark::kMicrosecond);

#ifdef VT_HAVE_SWSCALE
// The same conversion by libswscale, writing bottom-up as well (negative stride) so both
// do the same work, and top-down in case the negative stride costs it a fast path. Same
// size in and out, so the scaler flag only picks the filter set-up.
void BM_SwscaleYuyvToBgr24(benchmark::State& state) {
  const int flags = static_cast<int>(state.range(0));
  const bool bottomUp = state.range(1) != 0;
  state.SetLabel(std::string(flags == SWS_POINT ? "SWS_POINT" : "SWS_FAST_BILINEAR") +
                 (bottomUp ? " bottom-up" : " top-down"));
  SwsContext* ctx = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUYV422, kWidth, kHeight, AV_PIX_FMT_BGR24, flags,
                                   nullptr, nullptr, nullptr);
  if (ctx == nullptr) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  const auto frame = RandomBytes(kFrameBytes, 1);
  std::vector<uint8_t> image(kImageBytes);
  const uint8_t* src[4] = {frame.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {kWidth * 2, 0, 0, 0};
  uint8_t* dst[4] = {image.data() + (bottomUp ? static_cast<size_t>(kHeight - 1) * kWidth * 3 : 0), nullptr,
                     nullptr, nullptr};
  const int dstStride[4] = {bottomUp ? -kWidth * 3 : kWidth * 3, 0, 0, 0};
  for (auto _ : state) {
    sws_scale(ctx, src, srcStride, 0, kHeight, dst, dstStride);
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  sws_freeContext(ctx);
  SetFrameCounters(state);
}
BENCHMARK(BM_SwscaleYuyvToBgr24)
    ->Args({SWS_POINT, 1})
    ->Args({SWS_FAST_BILINEAR, 1})
    ->Args({SWS_FAST_BILINEAR, 0})
    ->Unit(benchmark::kMicrosecond);
#endif

// Copying the output bytes once: nothing that writes a whole picture can beat it.
void BM_MemcpyFloor(benchmark::State& state) {
  const auto source = RandomBytes(kImageBytes, 3);
  std::vector<uint8_t> image(kImageBytes);
  for (auto _ : state) {
    std::memcpy(image.data(), source.data(), kImageBytes);
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state);
}
BENCHMARK(BM_MemcpyFloor)->Unit(benchmark::kMicrosecond);

// One analysed frame after the first (maps allocated, background present), on a picture
// that changes every frame so the background keeps moving.
void BM_FeedFrame(benchmark::State& state) {
  const auto a = RandomBytes(kImageBytes, 4);
  const auto b = RandomBytes(kImageBytes, 5);
  CMotionDetector detector;
  detector.SetImage(kWidth, kHeight, a.data());
  detector.FeedFrame();
  bool flip = false;
  for (auto _ : state) {
    detector.SetImage(kWidth, kHeight, flip ? a.data() : b.data());  // same size: a pointer swap
    detector.FeedFrame();
    benchmark::DoNotOptimize(detector.IsTriggered());
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeedFrame)->Unit(benchmark::kMicrosecond);

// The brightness pass alone, vector and scalar.
void BM_BlockMeans(benchmark::State& state) {
  const auto kernel = state.range(0) ? blockluma::Kernel::Best : blockluma::Kernel::Scalar;
  state.SetLabel(state.range(0) ? "best" : "scalar");
  const auto image = RandomBytes(kImageBytes, 6);
  std::vector<uint8_t> means(80 * 60);
  for (auto _ : state) {
    blockluma::BlockMeans(image.data(), kWidth * 3, kWidth, kHeight, means.data(), kernel);
    benchmark::DoNotOptimize(means.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlockMeans)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
