#include "converter/SnapshotConverter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "converter/VideoEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace converter {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool ReadFrame(const std::string& path, size_t frameBytes, std::vector<uint8_t>* frame, std::string* error) {
  File file(fopen(path.c_str(), "rb"));
  if (!file) {
    *error = "cannot open '" + path + "': " + strerror(errno);
    return false;
  }
  frame->resize(frameBytes);
  const size_t got = fread(frame->data(), 1, frameBytes, file.get());
  if (got < frameBytes) {
    *error = "'" + path + "' holds " + std::to_string(got) + " bytes, a frame needs " + std::to_string(frameBytes);
    return false;
  }
  return true;
}

}  // namespace

bool ConvertSnapshot(const ConverterCommand& command, std::string* error) {
  const VideoInput& in = *command.video;
  const int outWidth = command.outWidth ? command.outWidth : in.width;
  const int outHeight = command.outHeight ? command.outHeight : in.height;
  if (!command.overwrite && access(command.outputPath.c_str(), F_OK) == 0) {
    *error = "'" + command.outputPath + "' already exists (no -y)";
    return false;
  }
  std::vector<uint8_t> raw;
  if (!ReadFrame(in.path, static_cast<size_t>(in.width) * static_cast<size_t>(in.height) * 2, &raw, error))
    return false;

  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!codec) {
    *error = "no JPEG encoder in this build of libavcodec";
    return false;
  }
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> encoder(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  if (!encoder || !frame || !packet) {
    *error = "out of memory";
    return false;
  }
  encoder->width = outWidth;
  encoder->height = outHeight;
  encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * 3;
  int rc = avcodec_open2(encoder.get(), codec, nullptr);
  if (rc < 0) {
    *error = "cannot open the JPEG encoder: " + AvErrorText(rc);
    return false;
  }
  frame->format = AV_PIX_FMT_YUVJ420P;
  frame->width = outWidth;
  frame->height = outHeight;
  if ((rc = av_frame_get_buffer(frame.get(), 0)) < 0) {
    *error = "frame buffer: " + AvErrorText(rc);
    return false;
  }
  SwsContext* scaler = sws_getContext(in.width, in.height, AV_PIX_FMT_YUYV422, outWidth, outHeight,
                                      AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!scaler) {
    *error = "cannot set up the scaler";
    return false;
  }
  const uint8_t* srcPlanes[1] = {raw.data()};
  const int srcStrides[1] = {in.width * 2};
  sws_scale(scaler, srcPlanes, srcStrides, 0, in.height, frame->data, frame->linesize);
  sws_freeContext(scaler);
  frame->pts = 0;

  if ((rc = avcodec_send_frame(encoder.get(), frame.get())) < 0 ||
      (rc = avcodec_send_frame(encoder.get(), nullptr)) < 0 ||
      (rc = avcodec_receive_packet(encoder.get(), packet.get())) < 0) {
    *error = "encoding the picture: " + AvErrorText(rc);
    return false;
  }

  const std::string partPath = command.outputPath + ".part";
  {
    File out(fopen(partPath.c_str(), "wb"));
    if (!out) {
      *error = "cannot create '" + partPath + "': " + strerror(errno);
      return false;
    }
    const size_t size = static_cast<size_t>(packet->size);
    if (fwrite(packet->data, 1, size, out.get()) != size || fflush(out.get()) != 0) {
      *error = "writing '" + partPath + "': " + strerror(errno);
      out.reset();
      unlink(partPath.c_str());
      return false;
    }
  }
  if (rename(partPath.c_str(), command.outputPath.c_str()) != 0) {
    *error = "cannot rename '" + partPath + "' to '" + command.outputPath + "': " + strerror(errno);
    unlink(partPath.c_str());
    return false;
  }
  return true;
}

}  // namespace converter
