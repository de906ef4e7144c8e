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

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kRate = 10;

using Writes = std::vector<std::vector<uint8_t>>;

[[maybe_unused]] const int kQuietLibraries = (av_log_set_level(AV_LOG_ERROR), 0);

uint32_t Be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | Be24(p + 1); }
uint32_t Le32(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24); }

std::vector<uint8_t> Frame(int index) {
  std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 2);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &frame[(static_cast<size_t>(y) * kWidth + x) * 2];
      p[0] = static_cast<uint8_t>((x + y + index * 7) & 0xff);
      p[1] = 128;
    }
  return frame;
}

Writes Produce(OutputMode mode, bool withAudio, int frames, int outWidth, int outHeight) {
  Writes writes;
  CStreamOutput output;
  std::string error;
  EXPECT_TRUE(output.Open(mode, [&](const uint8_t* d, size_t n) {
    writes.emplace_back(d, d + n);
    return true;
  }, &error)) << error;
  CAudioEncoder audio;
  int audioStream = -1;
  if (withAudio) {
    AudioInput in;
    in.sampleRate = 11025;
    EXPECT_TRUE(audio.Open(in, 44100, 1, &error)) << error;
    audioStream = output.AddStream(audio.Context(), &error);
  }
  CVideoEncoder video;
  EXPECT_TRUE(video.Open(kWidth, kHeight, outWidth, outHeight, kRate, "veryfast", &error)) << error;
  const int videoStream = output.AddStream(video.Context(), &error);
  EXPECT_GE(videoStream, 0) << error;
  EXPECT_TRUE(writes.empty()) << "nothing may be sent before the first packet";

  const auto toStream = [&](int index) {
    return [&output, index, &error](AVPacket* p, const AVCodecContext* c) {
      return output.WritePacket(p, c, index, &error);
    };
  };
  std::vector<uint8_t> block(1103);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(128 + (i % 20) * 4);
  for (int i = 0; i < frames; ++i) {
    const std::vector<uint8_t> frame = Frame(i);
    EXPECT_TRUE(video.Encode(frame.data(), i, toStream(videoStream), &error)) << error;
    if (withAudio) {
      EXPECT_TRUE(audio.Feed(block.data(), block.size(), toStream(audioStream), &error)) << error;
    }
  }
  return writes;
}

struct Tag {
  uint8_t type;
  uint32_t timestamp;
  std::vector<uint8_t> data;
};

std::vector<Tag> TagsOf(const std::vector<uint8_t>& bytes, size_t offset) {
  std::vector<Tag> tags;
  while (offset < bytes.size()) {
    EXPECT_GE(bytes.size() - offset, 15u);
    if (bytes.size() - offset < 15) break;
    const uint8_t* p = &bytes[offset];
    const uint32_t size = Be24(p + 1);
    EXPECT_LE(offset + size + 15, bytes.size()) << "tag cut at the end of a write";
    if (offset + size + 15 > bytes.size()) break;
    EXPECT_EQ(Be32(p + 11 + size), size + 11);
    tags.push_back({p[0], Be24(p + 4) | (uint32_t{p[7]} << 24), std::vector<uint8_t>(p + 11, p + 11 + size)});
    offset += size + 15;
  }
  return tags;
}

TEST(StreamOutputTest, FlvHeaderWriteHoldsMetadataAndBothDecoderConfigurations) {
  const Writes writes = Produce(OutputMode::LiveFlv, true, 25, kWidth, kHeight);
  ASSERT_GT(writes.size(), 25u);
  const std::vector<uint8_t>& head = writes[0];
  ASSERT_GE(head.size(), 13u);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 3), "FLV");
  EXPECT_EQ(Be32(&head[5]), 9u);
  const std::vector<Tag> tags = TagsOf(head, 13);
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].type, 18);
  EXPECT_EQ(tags[1].type, 8);
  EXPECT_EQ(tags[1].data[0], 0xAF);
  EXPECT_EQ(tags[1].data[1], 0);  // AAC sequence header
  EXPECT_EQ(tags[2].type, 9);
  EXPECT_EQ(tags[2].data[0], 0x17);
  EXPECT_EQ(tags[2].data[1], 0);  // AVC sequence header
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

TEST(StreamOutputTest, PacketStreamRecordsAreInitialisationThenFragments) {
  const Writes writes = Produce(OutputMode::PacketStream, true, 31, 352, 288);
  ASSERT_EQ(writes.size(), 4u);
  for (size_t i = 0; i < writes.size(); ++i) {
    const std::vector<uint8_t>& record = writes[i];
    ASSERT_GE(record.size(), 12u);
    EXPECT_EQ(Le32(record.data()), record.size() - 4) << "record " << i;
    std::vector<std::string> boxes;
    for (size_t at = 4; at + 8 <= record.size();) {
      const uint32_t size = Be32(&record[at]);
      boxes.emplace_back(record.begin() + static_cast<long>(at) + 4, record.begin() + static_cast<long>(at) + 8);
      ASSERT_GE(size, 8u);
      at += size;
      EXPECT_LE(at, record.size()) << "box cut in record " << i;
    }
    if (i == 0) {
      EXPECT_EQ(boxes, (std::vector<std::string>{"ftyp", "moov"}));
    } else {
      EXPECT_EQ(boxes, (std::vector<std::string>{"moof", "mdat"})) << "record " << i;
    }
  }
}

}  // namespace
}  // namespace converter
