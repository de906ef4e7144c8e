#include "converter/VideoEncoder.h"

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace converter {

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

CVideoEncoder::~CVideoEncoder() {
  avcodec_free_context(&m_codec);
  av_frame_free(&m_frame);
  av_packet_free(&m_packet);
  sws_freeContext(m_scaler);
}

const char* CVideoEncoder::EncoderName() const { return m_codec ? m_codec->codec->name : ""; }

bool CVideoEncoder::Open(int inWidth, int inHeight, int outWidth, int outHeight, int frameRate, const char* preset,
                         std::string* error) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  const bool x264 = codec != nullptr;
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) {
    *error = "no H.264 encoder in this build of libavcodec";
    return false;
  }
  m_inWidth = inWidth;
  m_inHeight = inHeight;
  m_codec = avcodec_alloc_context3(codec);
  m_frame = av_frame_alloc();
  m_packet = av_packet_alloc();
  if (!m_codec || !m_frame || !m_packet) {
    *error = "out of memory";
    return false;
  }
  m_codec->width = outWidth;
  m_codec->height = outHeight;
  m_codec->pix_fmt = AV_PIX_FMT_YUV420P;
  m_codec->time_base = AVRational{1, frameRate};
  m_codec->framerate = AVRational{frameRate, 1};
  m_codec->gop_size = frameRate;
  m_codec->keyint_min = frameRate;
  m_codec->max_b_frames = 0;
  m_codec->thread_count = 1;
  // Both containers carry the parameter sets once, in their headers.
  m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (x264) {
    av_opt_set(m_codec->priv_data, "preset", preset, 0);
    av_opt_set(m_codec->priv_data, "tune", "zerolatency", 0);
    av_opt_set(m_codec->priv_data, "profile", "baseline", 0);
    av_opt_set(m_codec->priv_data, "crf", "25", 0);
    // Key frames exactly once a second: scene cuts would move the cadence viewers rely on.
    av_opt_set(m_codec->priv_data, "x264-params", "scenecut=0:repeat-headers=0", 0);
  }
  int rc = avcodec_open2(m_codec, codec, nullptr);
  if (rc < 0) {
    *error = std::string("cannot open encoder ") + codec->name + ": " + AvErrorText(rc);
    return false;
  }
  m_frame->format = AV_PIX_FMT_YUV420P;
  m_frame->width = outWidth;
  m_frame->height = outHeight;
  rc = av_frame_get_buffer(m_frame, 0);
  if (rc < 0) {
    *error = "frame buffer: " + AvErrorText(rc);
    return false;
  }
  m_scaler = sws_getContext(inWidth, inHeight, AV_PIX_FMT_YUYV422, outWidth, outHeight,
                            AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!m_scaler) {
    *error = "cannot set up the scaler";
    return false;
  }
  return true;
}

bool CVideoEncoder::Encode(const uint8_t* yuyv, int64_t pts, const PacketSink& sink, std::string* error) {
  int rc = av_frame_make_writable(m_frame);
  if (rc < 0) {
    *error = "frame not writable: " + AvErrorText(rc);
    return false;
  }
  const uint8_t* srcPlanes[1] = {yuyv};
  const int srcStrides[1] = {m_inWidth * 2};
  sws_scale(m_scaler, srcPlanes, srcStrides, 0, m_inHeight, m_frame->data, m_frame->linesize);
  m_frame->pts = pts;
  rc = avcodec_send_frame(m_codec, m_frame);
  if (rc < 0) {
    *error = "encoding video: " + AvErrorText(rc);
    return false;
  }
  return Drain(sink, error);
}

bool CVideoEncoder::Drain(const PacketSink& sink, std::string* error) {
  for (;;) {
    const int rc = avcodec_receive_packet(m_codec, m_packet);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) {
      *error = "encoding video: " + AvErrorText(rc);
      return false;
    }
    const bool ok = sink(m_packet, m_codec);
    av_packet_unref(m_packet);
    if (!ok) return false;
  }
}

}  // namespace converter
