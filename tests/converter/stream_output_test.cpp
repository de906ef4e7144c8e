#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "converter/AudioEncoder.h"
#include "converter/StreamOutput.h"
#include "converter/VideoEncoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace converter {
namespace {

using Writes = std::vector<std::vector<uint8_t>>;

[[maybe_unused]] const int kQuietLibraries = (av_log_set_level(AV_LOG_ERROR), 0);

uint32_t Be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | Be24(p + 1); }

// A live FLV stream of 160x120 frames at 10 per second, with 1103-byte audio blocks at 11025 Hz.
Writes Produce(int frames) {
  Writes writes;
  CStreamOutput output;
  std::string error;
  const auto collect = [&](const uint8_t* d, size_t n) { return writes.emplace_back(d, d + n).size() == n; };
  EXPECT_TRUE(output.Open(OutputMode::LiveFlv, collect, &error)) << error;
  CAudioEncoder audio;
  AudioInput in;
  in.sampleRate = 11025;
  EXPECT_TRUE(audio.Open(in, 44100, 1, &error)) << error;
  const int audioStream = output.AddStream(audio.Context(), &error);
  CVideoEncoder video;
  EXPECT_TRUE(video.Open(160, 120, 160, 120, 10, &error)) << error;
  const int videoStream = output.AddStream(video.Context(), &error);
  EXPECT_GE(videoStream, 0) << error;
  EXPECT_TRUE(writes.empty()) << "nothing may be sent before the first packet";
  const auto toStream = [&](int index) {
    return [&output, index, &error](AVPacket* p, const AVCodecContext* c) {
      return output.WritePacket(p, c, index, &error);
    };
  };
  std::vector<uint8_t> block(1103), frame(160 * 120 * 2, 128);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(128 + (i % 20) * 4);
  for (int i = 0; i < frames; ++i) {
    for (size_t p = 0; p < frame.size(); p += 2) frame[p] = static_cast<uint8_t>(p / 2 % 160 + p / 320 + i * 7);
    EXPECT_TRUE(video.Encode(frame.data(), i, toStream(videoStream), &error)) << error;
    EXPECT_TRUE(audio.Feed(block.data(), block.size(), toStream(audioStream), &error)) << error;
  }
  return writes;
}

struct Tag {
  uint8_t type;
  uint32_t timestamp;
  std::vector<uint8_t> data;
};

// Every write must hold whole tags, each with its size trailer.
std::vector<Tag> TagsOf(const std::vector<uint8_t>& bytes, size_t offset) {
  std::vector<Tag> tags;
  while (offset < bytes.size()) {
    const uint8_t* p = &bytes[offset];
    const uint32_t size = bytes.size() - offset >= 15 ? Be24(p + 1) : 0;
    EXPECT_LE(offset + size + 15, bytes.size()) << "tag cut at the end of a write";
    if (offset + size + 15 > bytes.size()) break;
    EXPECT_EQ(Be32(p + 11 + size), size + 11);
    tags.push_back({p[0], Be24(p + 4) | (uint32_t{p[7]} << 24), std::vector<uint8_t>(p + 11, p + 11 + size)});
    offset += size + 15;
  }
  return tags;
}

TEST(StreamOutputTest, FlvHeaderWriteHoldsMetadataAndBothDecoderConfigurations) {
  const Writes writes = Produce(25);
  ASSERT_GT(writes.size(), 25u);
  const std::vector<uint8_t>& head = writes[0];
  ASSERT_GE(head.size(), 13u);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 3), "FLV");
  EXPECT_EQ(Be32(&head[5]), 9u);
  const std::vector<Tag> tags = TagsOf(head, 13);
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].type, 18);
  EXPECT_EQ(tags[1].type, 8);
  EXPECT_EQ(tags[1].data[0] * 256 + tags[1].data[1], 0xAF00);  // AAC sequence header
  EXPECT_EQ(tags[2].type, 9);
  EXPECT_EQ(tags[2].data[0] * 256 + tags[2].data[1], 0x1700);  // AVC sequence header
  EXPECT_LT(tags[2].data.size() + 15, 512u) << "the reader keeps a small first key-frame tag in the header";
  EXPECT_LT(head.size(), 4096u);

  std::vector<uint32_t> keyTimes;
  int videoTags = 0;
  for (size_t i = 1; i < writes.size(); ++i) {
    for (const Tag& tag : TagsOf(writes[i], 0)) {
      if (tag.type != 9) continue;
      ++videoTags;
      EXPECT_EQ(tag.data[1], 1);  // coded frames only, no repeated configuration
      if (tag.data[0] == 0x17) keyTimes.push_back(tag.timestamp);
    }
  }
  EXPECT_EQ(videoTags, 25);
  EXPECT_EQ(keyTimes, (std::vector<uint32_t>{0, 1000, 2000}));
}

}  // namespace
}  // namespace converter
