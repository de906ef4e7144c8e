#pragma once
// CPacketStreamDataBuffer: the stream buffer of the 3GP converter, whose output is records
// of a 4-byte little-endian length followed by that many bytes. The parser tracks record
// boundaries across packages; the first boundary in a package is its "key frame".
//
// The first record of a run (the 3GP converter's initialisation segment: file type and
// movie boxes) is also kept, with its length field, as the stream's header, so that a
// viewer who joins later gets it first; without it no fragment that follows can be played.
//
// Who may include it: media/ (the 3GP convertor) and tests. Threads as CStreamDataBuffer.
#include <cstdint>

#include "media/StreamDataBuffer.h"

class CPacketStreamDataBuffer : public CStreamDataBuffer {
 public:
  int ParseStream(char* data, int length) override;
  // The first record once it arrived whole; nothing before that.
  char* GetHeader(int* length) override;
  void ResetParser() override;

 private:
  void CaptureFirstRecord(const char* data, int length);

  unsigned char m_lengthField[4] = {};
  bool m_headerDone = false;
  bool m_firstBoundarySeen = false;
};
