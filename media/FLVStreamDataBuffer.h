#pragma once
// CFLVStreamDataBuffer: the stream buffer of the FLV converter. Follows the tag structure:
// header steps (file header, metadata, first key frame) and then the streaming step that
// marks the first key frame of each package and carries a cut tag header to the next one.
//
// Who may include it: media/ (the FLV convertor) and tests. Threads as CStreamDataBuffer.
#include "media/StreamDataBuffer.h"

class CFLVStreamDataBuffer : public CStreamDataBuffer {
 public:
  // Key-frame tags (data + 15) smaller than this go into the header.
  static constexpr int kSmallKeyFrame = 512;

  int ParseStream(char* data, int length) override;

  // What the tag reader found at one position.
  enum class TagRead { Short, Incomplete, Complete };
  struct Tag {
    TagRead read = TagRead::Short;
    int type = 0;
    bool keyFrame = false;
  };
  // Reads the tag at *offset of base[0, available): short (fewer than 12 bytes, offset
  // unchanged), else the offset moves past tag + previous-tag-size and the tag is
  // incomplete when that lies beyond available. Pure; never reads outside the range.
  static Tag ReadTag(const char* base, int64_t available, int64_t* offset);

 private:
  // States 1..3. Returns 1 (header complete, *data/*length now the bytes behind it),
  // 0 (more needed) or -1 (reject).
  int HeaderStep(char** data, int* length);
  // State 4. Always 1, or -1 when data is not package memory with room for the carry.
  int StreamingStep(char* data, int length);
};
