#pragma once
// CPacketStreamDataBuffer: the stream buffer of the 3GP converter, whose output is records
// of a 4-byte little-endian length followed by that many bytes. The parser tracks record
// boundaries across packages; the first boundary in a package is its "key frame".
//
// Who may include it: media/ (the 3GP convertor) and tests. Threads as CStreamDataBuffer.
#include <cstdint>

#include "media/StreamDataBuffer.h"

class CPacketStreamDataBuffer : public CStreamDataBuffer {
 public:
  int ParseStream(char* data, int length) override;
  void ResetParser() override;

 private:
  unsigned char m_lengthField[4] = {};
};
