#include "platform/capture/FileSource.h"

#include <unistd.h>

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "infra/Logger.h"

namespace platform::capture {

namespace {
std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}
}  // namespace

// Decodes the file's best video stream frame by frame, rewinding at the end.
class CFileDecoder {
 public:
  ~CFileDecoder() {
    sws_freeContext(m_scaler);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
  }

  bool Open(const std::string& path, uint32_t* microSecPerFrame) {
    int rc = avformat_open_input(&m_format, path.c_str(), nullptr, nullptr);
    if (rc < 0) return Fail("avformat_open_input", rc);
    if ((rc = avformat_find_stream_info(m_format, nullptr)) < 0) return Fail("avformat_find_stream_info", rc);
    const AVCodec* codec = nullptr;
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (m_stream < 0) return Fail("av_find_best_stream", m_stream);
    m_codec = avcodec_alloc_context3(codec);
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (m_codec == nullptr || m_frame == nullptr || m_packet == nullptr) return Fail("alloc", AVERROR(ENOMEM));
    if ((rc = avcodec_parameters_to_context(m_codec, m_format->streams[m_stream]->codecpar)) < 0)
      return Fail("avcodec_parameters_to_context", rc);
    if ((rc = avcodec_open2(m_codec, codec, nullptr)) < 0) return Fail("avcodec_open2", rc);
    AVRational rate = av_guess_frame_rate(m_format, m_format->streams[m_stream], nullptr);
    if (rate.num > 0 && rate.den > 0) {
      double fps = av_q2d(rate);
      if (fps >= 1.0 && fps <= 60.0) *microSecPerFrame = static_cast<uint32_t>(std::lround(1000000.0 / fps));
    }
    return true;
  }

  // Decodes the next picture into `out` (640x480 YUYV). 1: done; 0: the file ended (the
  // decoder is rewound); -1: failure.
  int Next(uint8_t* out) {
    for (;;) {
      int rc = avcodec_receive_frame(m_codec, m_frame);
      if (rc == 0) {
        bool ok = Convert(out);
        av_frame_unref(m_frame);
        if (!ok) return -1;
        return 1;
      }
      if (rc == AVERROR_EOF) return Rewind() ? 0 : -1;
      if (rc != AVERROR(EAGAIN)) {
        Fail("avcodec_receive_frame", rc);
        return -1;
      }
      if (m_draining) {
        // EAGAIN after a flush packet should not happen; treat as end of file.
        return Rewind() ? 0 : -1;
      }
      rc = av_read_frame(m_format, m_packet);
      if (rc == AVERROR_EOF) {
        m_draining = true;
        avcodec_send_packet(m_codec, nullptr);
        continue;
      }
      if (rc < 0) {
        Fail("av_read_frame", rc);
        return -1;
      }
      if (m_packet->stream_index == m_stream) {
        rc = avcodec_send_packet(m_codec, m_packet);
        // A damaged packet is skipped; the decoder resynchronises on the next key frame.
        if (rc < 0 && rc != AVERROR(EAGAIN)) LogAtLevel(LOG_DEBUG, "CFileDecoder::Next skipped a packet: %s\n", AvError(rc).c_str());
      }
      av_packet_unref(m_packet);
    }
  }

 private:
  bool Fail(const char* call, int code) {
    Log("CFileDecoder %s: %s\n", call, AvError(code).c_str());
    return false;
  }

  bool Rewind() {
    m_draining = false;
    int rc = av_seek_frame(m_format, m_stream, 0, AVSEEK_FLAG_BACKWARD);
    if (rc < 0) rc = avformat_seek_file(m_format, -1, INT64_MIN, 0, 0, 0);
    if (rc < 0) return Fail("av_seek_frame", rc);
    avcodec_flush_buffers(m_codec);
    return true;
  }

  bool Convert(uint8_t* out) {
    if (m_frame->width <= 0 || m_frame->height <= 0) return false;
    // At the capture size the fast flag selects swscale's plain interleave (chroma rows
    // repeated, as a webcam's own 4:2:2 would carry them): a sixth of the bilinear path's time.
    const bool sameSize = m_frame->width == kFrameWidth && m_frame->height == kFrameHeight;
    m_scaler = sws_getCachedContext(m_scaler, m_frame->width, m_frame->height,
                                    static_cast<AVPixelFormat>(m_frame->format), kFrameWidth, kFrameHeight,
                                    AV_PIX_FMT_YUYV422, sameSize ? SWS_FAST_BILINEAR : SWS_BILINEAR, nullptr,
                                    nullptr, nullptr);
    if (m_scaler == nullptr) return Fail("sws_getCachedContext", AVERROR(EINVAL));
    uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
    int strides[4] = {kFrameWidth * 2, 0, 0, 0};
    int rows = sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, m_frame->height, planes, strides);
    return rows == kFrameHeight;
  }

  AVFormatContext* m_format = nullptr;
  AVCodecContext* m_codec = nullptr;
  AVFrame* m_frame = nullptr;
  AVPacket* m_packet = nullptr;
  SwsContext* m_scaler = nullptr;
  int m_stream = -1;
  bool m_draining = false;
};

CFileSource::CFileSource(std::string path)
    : m_path(std::move(path)), m_frame(static_cast<size_t>(kFrameWidth) * kFrameHeight * 2) {}

CFileSource::~CFileSource() = default;

bool CFileSource::Open() {
  m_decoder = std::make_unique<CFileDecoder>();
  if (!m_decoder->Open(m_path, &m_microSecPerFrame)) {
    Log("CFileSource::Open %s: no decodable video\n", m_path.c_str());
    m_decoder.reset();
    return false;
  }
  return true;
}

bool CFileSource::StartStreaming() {
  if (!m_decoder) return false;
  m_start = std::chrono::steady_clock::now();
  m_nextFrame = 0;
  return true;
}

ReadResult CFileSource::Read(CaptureSample* sample, bool /*wantAudio*/, CCaptureStopSignal& stop,
                             uint32_t* dropped) {
  using namespace std::chrono;
  const uint64_t elapsedUs = static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now() - m_start).count());
  if (elapsedUs > (m_nextFrame + 1) * m_microSecPerFrame) {
    uint64_t due = elapsedUs / m_microSecPerFrame;
    *dropped += static_cast<uint32_t>(due - m_nextFrame);
    m_nextFrame = due;  // the skipped pictures are not decoded either: the clip just jumps
  }
  // Decode before waiting, so the frame goes out on time.
  int got = m_decoder->Next(m_frame.data());
  if (got == 0) got = m_decoder->Next(m_frame.data());  // the first picture after a rewind
  if (got != 1) {
    Log("CFileSource::Read %s: decoding failed, capture ends\n", m_path.c_str());
    return ReadResult::Failed;
  }
  const uint64_t dueUs = m_nextFrame * m_microSecPerFrame;
  if (!stop.WaitUntil(m_start + microseconds(dueUs))) return ReadResult::Stopped;
  sample->kind = CaptureSample::Kind::Video;
  sample->data = m_frame.data();
  sample->length = static_cast<uint32_t>(m_frame.size());
  sample->timeMs = static_cast<uint32_t>(dueUs / 1000);
  ++m_nextFrame;
  return ReadResult::Sample;
}

bool CFileBackend::Describe(int index, std::string* name, std::string* version) {
  if (index != 0 || access(m_path.c_str(), R_OK) != 0) return false;
  size_t slash = m_path.rfind('/');
  *name = "File " + (slash == std::string::npos ? m_path : m_path.substr(slash + 1));
  unsigned v = avformat_version();
  *version = "libavformat " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
             std::to_string(v & 0xFF);
  return true;
}

std::unique_ptr<CCaptureSource> CFileBackend::Open(int index) {
  if (index != 0) return nullptr;
  auto source = std::make_unique<CFileSource>(m_path);
  if (!source->Open()) return nullptr;
  return source;
}

}  // namespace platform::capture
