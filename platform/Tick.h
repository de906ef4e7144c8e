#pragma once
// The millisecond tick counter: CLOCK_MONOTONIC in ms, truncated to 32 bits, so it wraps
// every 49.7 days exactly like the counter the time rules were written for.
//
// Every time rule (ageing, spacing, time-outs) reads the tick through GetTickCount() and
// every wait that a test must not sit out goes through SleepMs(), so tests can move time
// with the seam below instead of sleeping. Safe to call from any thread.
#include <cstdint>

namespace platform {

uint32_t GetTickCount();

// Sleeps for the given milliseconds of real time. While the tick is frozen by a test, it
// advances the frozen tick instead and returns at once.
void SleepMs(uint32_t ms);

// Test seam. AdvanceTickForTest moves the tick forward (it may wrap); FreezeTickForTest
// pins the tick at a value until ResetTickForTest; both affect every thread.
void AdvanceTickForTest(uint32_t ms);
void FreezeTickForTest(uint32_t tick);
void ResetTickForTest();
bool IsTickFrozen();

}  // namespace platform
