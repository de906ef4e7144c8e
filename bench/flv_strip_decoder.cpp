// The viewer end of the latency benchmark (media_latency_bench.py): reads an FLV byte stream
// on standard input as it arrives, decodes every H.264 picture the moment its tag is whole
// and prints the frame index spelled by the test scene's strip, one line per picture,
// flushed at once. The tags are split here rather than by libavformat, and the decoder
// runs single-threaded with low delay, so nothing holds a picture back waiting for the next.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kStripRow = 476;  // the middle of the strip that starts at row 472
constexpr int kStripLeft = 64;
constexpr int kCellWidth = 16;

uint32_t Big(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

uint32_t StripIndex(const AVFrame* frame) {
  if (frame->height <= kStripRow || frame->width < kStripLeft + 32 * kCellWidth) return 0xFFFFFFFFu;
  const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(kStripRow) * frame->linesize[0];
  uint32_t index = 0;
  for (int bit = 0; bit < 32; ++bit) {
    if (row[kStripLeft + bit * kCellWidth + kCellWidth / 2] > 128) index |= 1u << bit;
  }
  return index;
}

class CDecoder {
 public:
  ~CDecoder() {
    avcodec_free_context(&m_codec);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
  }

  // The AVC decoder configuration record from the sequence header tag.
  bool Open(const uint8_t* config, size_t length) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    m_codec = codec ? avcodec_alloc_context3(codec) : nullptr;
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!m_codec || !m_frame || !m_packet) return false;
    m_codec->extradata = static_cast<uint8_t*>(av_mallocz(length + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!m_codec->extradata) return false;
    std::copy(config, config + length, m_codec->extradata);
    m_codec->extradata_size = static_cast<int>(length);
    m_codec->thread_count = 1;
    m_codec->flags |= AV_CODEC_FLAG_LOW_DELAY;
    return avcodec_open2(m_codec, codec, nullptr) == 0;
  }

  bool IsOpen() const { return m_codec && avcodec_is_open(m_codec); }

  bool Decode(const uint8_t* data, size_t length) {
    if (av_new_packet(m_packet, static_cast<int>(length)) < 0) return false;
    std::copy(data, data + length, m_packet->data);
    const int rc = avcodec_send_packet(m_codec, m_packet);
    av_packet_unref(m_packet);
    if (rc < 0) return true;  // a damaged picture is skipped; the next key frame recovers
    while (avcodec_receive_frame(m_codec, m_frame) == 0) {
      printf("%u\n", StripIndex(m_frame));
      fflush(stdout);
      av_frame_unref(m_frame);
    }
    return true;
  }

 private:
  AVCodecContext* m_codec = nullptr;
  AVFrame* m_frame = nullptr;
  AVPacket* m_packet = nullptr;
};

}  // namespace

int main() {
  std::vector<uint8_t> buf;
  size_t pos = 0;
  bool headerDone = false;
  CDecoder decoder;
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = read(0, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buf.insert(buf.end(), chunk, chunk + n);
    if (!headerDone) {
      if (buf.size() < 9) continue;
      const size_t skip = Big(&buf[5], 4) + 4;  // header, then the first previous-tag size
      if (buf.size() < skip) continue;
      pos = skip;
      headerDone = true;
    }
    while (buf.size() - pos >= 11) {
      const uint8_t* tag = &buf[pos];
      const size_t size = Big(tag + 1, 3);
      if (buf.size() - pos < 11 + size + 4) break;
      const uint8_t* body = tag + 11;
      // Video, AVC: byte 1 is the packet type (0 configuration, 1 picture), 2..4 the
      // composition offset, then the payload.
      if ((tag[0] & 0x1F) == 9 && size > 5 && (body[0] & 0x0F) == 7) {
        if (body[1] == 0 && !decoder.IsOpen()) {
          if (!decoder.Open(body + 5, size - 5)) {
            fprintf(stderr, "flv_strip_decoder: cannot open the H.264 decoder\n");
            return 1;
          }
        } else if (body[1] == 1 && decoder.IsOpen()) {
          if (!decoder.Decode(body + 5, size - 5)) return 1;
        }
      }
      pos += 11 + size + 4;
    }
    if (pos > 0) {
      buf.erase(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(pos));
      pos = 0;
    }
  }
  return 0;
}
