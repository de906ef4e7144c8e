#pragma once
// CStreamDataBuffer: a package buffer with a stream parser on top. After each receive the
// parser knows the stream's header, where the first key frame lies in the newest package
// and which of its bytes form whole tags, so live senders can start a viewer with header +
// key frame and then forward every package by reference.
//
// Who may include it: media/ (convertors, live senders, HTTP server) and capture/ (clips).
// The parse and the accessors run on the converter connection's completion thread, one
// receive at a time (the accessors inside the convertor's distribution step, right after
// ParseReceived). GetFLVHistoryClip may run on any thread; it only walks the package set
// under the lock.
#include <cstdint>

#include "media/PackageDataBuffer.h"

class CStreamDataBuffer : public CPackageDataBuffer {
 public:
  static constexpr int kHeaderCapacity = 4096;
  static constexpr int kCarryCapacity = 32;

  CStreamDataBuffer();
  ~CStreamDataBuffer() override;

  // The stream header (file header, metadata, maybe a small first key frame).
  virtual char* GetHeader(int* length);
  // The newest package's first key frame (null if none) and the bytes from it to the end
  // of the package's whole tags.
  virtual char* GetKeyFrame(int* length);
  // The newest package's whole-tag bytes, including bytes carried over from the previous
  // package (placed in its headroom).
  virtual char* GetPackageData(int* length);
  // The package the results above point into (the shared reference of a no-copy send).
  virtual StreamPackage* GetCurrentPackage();
  // data/length must be the current package's received bytes (GetData after CommitWrite):
  // the parser may write up to 11 carried bytes in front of data. Returns 1 when the
  // package was accepted in the streaming state, 0 when more data is needed, -1 when the
  // stream is not acceptable (the connection should be closed).
  virtual int ParseStream(char* data, int length) = 0;
  // Back to the start of a new stream (converter restarted).
  virtual void ResetParser();

  // ParseStream, then on 1 records the key frame in the current package (keyFrame, and
  // length from it). What the convertor calls for each receive.
  int ParseReceived(char* data, int length);

  // Writes the header and the stored packages from the first key frame at or after
  // startTick up to endTick (shifted by that key frame's delay) to file; a null file means
  // <program directory>historyClip.flv. Returns 1 when written, 0 when the file cannot be
  // created.
  int GetFLVHistoryClip(uint32_t startTick, uint32_t endTick, const char* file);

  int ParserState() const { return m_nState; }
  int CarryCount() const { return m_nCarry; }

 protected:
  void ClearResults();

  // Header area, zero-terminated behind its fill (the log messages print it as text).
  char m_header[kHeaderCapacity + 1] = {};
  int m_nHeaderLength = 0;

  char* m_pKeyFrame = nullptr;
  int m_nKeyFrameLength = 0;
  char* m_pPackageData = nullptr;
  int m_nPackageLength = 0;
  StreamPackage* m_pResultPackage = nullptr;
  // End of the last whole tag in the result package, relative to its data; kUntracked
  // when the parser does not know tags.
  static constexpr int kUntracked = -2;
  int m_nTagsEnd = kUntracked;

  int m_nState = 1;         // 1 file header, 2 metadata, 3 first key frame, 4 streaming
  int64_t m_nScanOffset = 0;
  char m_carry[kCarryCapacity] = {};
  int m_nCarry = 0;
};
