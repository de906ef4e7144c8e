#pragma once
// Raw capture audio (unsigned 8-bit or signed 16-bit little-endian PCM, any block size) in,
// AAC packets out: resampled to the output rate and channel count and encoded in whole
// encoder frames; samples short of a frame wait for the next block.
//
// Used by the converter's single thread only.
#include <cstdint>
#include <string>

#include "converter/ConverterCommand.h"
#include "converter/VideoEncoder.h"

struct SwrContext;
struct AVAudioFifo;

namespace converter {

class CAudioEncoder {
 public:
  CAudioEncoder() = default;
  ~CAudioEncoder();
  CAudioEncoder(const CAudioEncoder&) = delete;
  CAudioEncoder& operator=(const CAudioEncoder&) = delete;

  bool Open(const AudioInput& input, int outSampleRate, int outChannels, std::string* error);

  // The timeline starts at startPts (in output samples) for the first block fed. The
  // encoder's priming delay is added, so that its first packet is not stamped before 0.
  void SetStartPts(int64_t startPts);

  bool Feed(const uint8_t* data, size_t length, const PacketSink& sink, std::string* error);

  const AVCodecContext* Context() const { return m_codec; }

 private:
  bool EncodeFrames(const PacketSink& sink, std::string* error);

  AVCodecContext* m_codec = nullptr;
  SwrContext* m_resampler = nullptr;
  AVAudioFifo* m_fifo = nullptr;
  AVFrame* m_frame = nullptr;
  AVPacket* m_packet = nullptr;
  uint8_t** m_converted = nullptr;  // resampler output, planar, m_convertedCapacity samples
  int m_convertedCapacity = 0;
  size_t m_bytesPerInputSample = 1;  // all channels of one sample instant
  uint8_t m_partial[4] = {};         // bytes of a sample instant split between two blocks
  size_t m_partialCount = 0;
  int64_t m_nextPts = 0;
};

}  // namespace converter
