#pragma once
// Raw YUYV frames in, H.264 packets out: scales to the output size, converts to 4:2:0 and
// encodes with low-latency settings and one key frame per second, so that a viewer who
// joins, or an alarm clip that starts at the first key frame after its start, waits at
// most a second for a picture.
//
// Used by the converter's single thread only.
#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

struct SwsContext;

namespace converter {

// Receives each encoded packet (timestamps in the encoder's time base); false stops the
// encoder's caller.
using PacketSink = std::function<bool(AVPacket* packet, const AVCodecContext* encoder)>;

class CVideoEncoder {
 public:
  CVideoEncoder() = default;
  ~CVideoEncoder();
  CVideoEncoder(const CVideoEncoder&) = delete;
  CVideoEncoder& operator=(const CVideoEncoder&) = delete;

  // preset: libx264's speed preset ("veryfast" for the main stream).
  bool Open(int inWidth, int inHeight, int outWidth, int outHeight, int frameRate, const char* preset,
            std::string* error);

  // One whole frame of inWidth * inHeight * 2 bytes, shown at pts (in frames).
  bool Encode(const uint8_t* yuyv, int64_t pts, const PacketSink& sink, std::string* error);

  const AVCodecContext* Context() const { return m_codec; }
  size_t InputFrameBytes() const { return static_cast<size_t>(m_inWidth) * static_cast<size_t>(m_inHeight) * 2; }
  const char* EncoderName() const;

 private:
  bool Drain(const PacketSink& sink, std::string* error);

  AVCodecContext* m_codec = nullptr;
  AVFrame* m_frame = nullptr;
  AVPacket* m_packet = nullptr;
  SwsContext* m_scaler = nullptr;
  int m_inWidth = 0;
  int m_inHeight = 0;
};

// Text of an FFmpeg error code.
std::string AvErrorText(int code);

}  // namespace converter
