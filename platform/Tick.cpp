#include "platform/Tick.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace platform {
namespace {

std::atomic<uint32_t> g_offset{0};
std::atomic<bool> g_frozen{false};
std::atomic<uint32_t> g_frozenTick{0};

uint32_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace

uint32_t GetTickCount() {
  if (g_frozen.load(std::memory_order_acquire)) return g_frozenTick.load(std::memory_order_acquire);
  return MonotonicMs() + g_offset.load(std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) {
  if (g_frozen.load(std::memory_order_acquire)) {
    g_frozenTick.fetch_add(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void AdvanceTickForTest(uint32_t ms) {
  if (g_frozen.load(std::memory_order_acquire)) g_frozenTick.fetch_add(ms);
  else g_offset.fetch_add(ms);
}

void FreezeTickForTest(uint32_t tick) {
  g_frozenTick.store(tick);
  g_frozen.store(true, std::memory_order_release);
}

void ResetTickForTest() {
  g_frozen.store(false, std::memory_order_release);
  g_offset.store(0);
}

bool IsTickFrozen() { return g_frozen.load(std::memory_order_acquire); }

}  // namespace platform
