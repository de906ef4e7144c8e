#include "converter/StreamOutput.h"

#include "converter/VideoEncoder.h"
#include "platform/ByteOrder.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace converter {
namespace {
constexpr int kIoBufferBytes = 64 * 1024;
constexpr size_t kLengthBytes = 4;
}  // namespace

CStreamOutput::~CStreamOutput() {
  if (m_format) avformat_free_context(m_format);
  if (m_io) {
    av_freep(&m_io->buffer);
    avio_context_free(&m_io);
  }
}

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int CStreamOutput::CollectBytes(void* opaque, const uint8_t* data, int size) {
#else
int CStreamOutput::CollectBytes(void* opaque, uint8_t* data, int size) {
#endif
  auto* self = static_cast<CStreamOutput*>(opaque);
  self->m_pending.insert(self->m_pending.end(), data, data + size);
  return size;
}

bool CStreamOutput::Open(OutputMode mode, Writer writer, std::string* error) {
  m_mode = mode;
  m_writer = std::move(writer);
  m_pending.assign(kLengthBytes, 0);
  const char* muxer = mode == OutputMode::LiveFlv ? "flv" : "3gp";
  int rc = avformat_alloc_output_context2(&m_format, nullptr, muxer, nullptr);
  if (rc < 0 || !m_format) {
    *error = std::string("no ") + muxer + " muxer: " + AvErrorText(rc);
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  m_io = avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, &CStreamOutput::CollectBytes, nullptr);
  if (!buffer || !m_io) {
    av_free(buffer);
    *error = "out of memory";
    return false;
  }
  m_io->seekable = 0;
  m_format->pb = m_io;
  m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
  return true;
}

int CStreamOutput::AddStream(const AVCodecContext* encoder, std::string* error) {
  AVStream* stream = avformat_new_stream(m_format, nullptr);
  if (!stream) {
    *error = "out of memory";
    return -1;
  }
  const int rc = avcodec_parameters_from_context(stream->codecpar, encoder);
  if (rc < 0) {
    *error = "stream parameters: " + AvErrorText(rc);
    return -1;
  }
  stream->time_base = encoder->time_base;
  return stream->index;
}

bool CStreamOutput::EnsureHeader(std::string* error) {
  if (m_headerWritten) return true;
  AVDictionary* options = nullptr;
  if (m_mode == OutputMode::PacketStream)
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  const int rc = avformat_write_header(m_format, &options);
  av_dict_free(&options);
  if (rc < 0) {
    *error = "writing the stream header: " + AvErrorText(rc);
    m_dead = true;
    return false;
  }
  m_headerWritten = true;
  return Deliver(error);
}

bool CStreamOutput::WritePacket(AVPacket* packet, const AVCodecContext* encoder, int streamIndex,
                                std::string* error) {
  if (m_dead) {
    *error = "output already failed";
    return false;
  }
  if (!EnsureHeader(error)) return false;
  AVStream* stream = m_format->streams[streamIndex];
  packet->stream_index = streamIndex;
  av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
  const int rc = av_write_frame(m_format, packet);
  if (rc < 0) {
    *error = "muxing: " + AvErrorText(rc);
    m_dead = true;
    return false;
  }
  return Deliver(error);
}

bool CStreamOutput::Finish(std::string* error) {
  if (m_dead || !m_headerWritten) return !m_dead;
  const int rc = av_write_trailer(m_format);
  if (rc < 0) {
    *error = "writing the trailer: " + AvErrorText(rc);
    m_dead = true;
    return false;
  }
  return Deliver(error);
}

bool CStreamOutput::Deliver(std::string* error) {
  avio_flush(m_io);
  const size_t length = m_pending.size() - kLengthBytes;
  if (length == 0) return true;
  const uint8_t* start = m_pending.data() + kLengthBytes;
  size_t total = length;
  if (m_mode == OutputMode::PacketStream) {
    platform::WriteLE32(m_pending.data(), static_cast<uint32_t>(length));
    start = m_pending.data();
    total = length + kLengthBytes;
  }
  const bool ok = m_writer(start, total);
  m_pending.resize(kLengthBytes);
  if (!ok) {
    *error = "the program did not take the output";
    m_dead = true;
    return false;
  }
  m_bytesDelivered += total;
  ++m_piecesDelivered;
  return true;
}

}  // namespace converter
