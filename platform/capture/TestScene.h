#pragma once
// The synthetic scene of the test source, as pure functions of the frame or block index:
// a textured still background, a bright block that enters every `motionSeconds` and stays
// `holdSeconds` (the last seconds of each cycle), and a strip of 32 cells along the bottom
// that spells the frame index in binary so a receiver can tell frames apart. Audio is a
// 440 Hz tone, 8-bit unsigned mono at 11025 Hz, in blocks of 1/10 s.
//
// Who may include it: platform/capture and its tests. Any thread; no state.
#include <cstddef>
#include <cstdint>

#include "platform/capture/CaptureSelection.h"

namespace platform::capture {

inline constexpr int kTestBlockLeft = 96;
inline constexpr int kTestBlockTop = 80;
inline constexpr int kTestBlockRight = 544;   // exclusive
inline constexpr int kTestBlockBottom = 400;  // exclusive: 448 x 320, 47 % of the frame
inline constexpr int kTestIndexStripTop = 472;
inline constexpr size_t kTestFrameBytes = 640 * 480 * 2;
inline constexpr size_t kTestAudioBlockMax = 1103;

bool TestSceneHasBlock(const TestSceneParams& params, uint64_t frameIndex);
// Writes kTestFrameBytes of YUY2.
void RenderTestFrame(const TestSceneParams& params, uint64_t frameIndex, uint8_t* out);
// The low 32 bits of the index spelled by the strip of a frame (from this scene).
uint32_t TestFrameIndexOf(const uint8_t* frame);

// Samples in audio block n (1102 or 1103, so that ten blocks make exactly one second).
uint32_t TestAudioBlockLength(uint64_t block);
// Writes TestAudioBlockLength(block) samples.
void RenderTestAudioBlock(uint64_t block, uint8_t* out);

}  // namespace platform::capture
