#pragma once
// The container side of a stream: muxes encoded packets and hands the bytes to a writer,
// never to a file.
//
//   LiveFlv       "flv" muxer; every packet's bytes go to the writer as they are (one
//                 write per packet, so the program sees each frame as soon as it is made).
//   PacketStream  "3gp" muxer, fragmented (empty moov, one fragment per key frame); every
//                 flushed piece is one record: 4-byte little-endian length, then the bytes.
//                 The first record is the initialisation segment (ftyp + moov), every later
//                 one a whole fragment (moof + mdat), so the records' payloads concatenated
//                 form a playable file.
//
// The header is written lazily, with the first packet, so nothing is written to the
// program before it has sent input (it reads the greeting on its own and would drop bytes
// that arrive together with it).
//
// Used by the converter's single thread only; the writer is called on that thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "converter/ConverterCommand.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace converter {

class CStreamOutput {
 public:
  // Returns false when the bytes could not be delivered; the output is then dead.
  using Writer = std::function<bool(const uint8_t* data, size_t length)>;

  CStreamOutput() = default;
  ~CStreamOutput();
  CStreamOutput(const CStreamOutput&) = delete;
  CStreamOutput& operator=(const CStreamOutput&) = delete;

  // mode: LiveFlv or PacketStream.
  bool Open(OutputMode mode, Writer writer, std::string* error);

  // Adds a stream for an opened encoder; returns its index, -1 on failure. All streams
  // must be added before the first packet.
  int AddStream(const AVCodecContext* encoder, std::string* error);

  // Packet timestamps are in the encoder's time base.
  bool WritePacket(AVPacket* packet, const AVCodecContext* encoder, int streamIndex, std::string* error);

  // Writes the trailer (for a file-like end; a live stream simply stops).
  bool Finish(std::string* error);

  uint64_t BytesDelivered() const { return m_bytesDelivered; }
  uint64_t PiecesDelivered() const { return m_piecesDelivered; }

 private:
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  static int CollectBytes(void* opaque, const uint8_t* data, int size);
#else
  static int CollectBytes(void* opaque, uint8_t* data, int size);
#endif
  bool EnsureHeader(std::string* error);
  bool Deliver(std::string* error);

  OutputMode m_mode = OutputMode::LiveFlv;
  Writer m_writer;
  AVFormatContext* m_format = nullptr;
  AVIOContext* m_io = nullptr;
  std::vector<uint8_t> m_pending;  // 4 bytes reserved for the record length, then the bytes
  bool m_headerWritten = false;
  bool m_dead = false;
  uint64_t m_bytesDelivered = 0;
  uint64_t m_piecesDelivered = 0;
};

}  // namespace converter
