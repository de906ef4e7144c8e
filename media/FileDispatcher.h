#pragma once
// CFileDispatcher: the live sender of one viewer connection. Starts the viewer with the
// stream header and the newest key frame, then forwards every later package by reference
// (no copy); can also wrap ADTS audio frames into FLV audio tags.
//
// Who may include it: media/ (convertors call SendLive, the HTTP server's request session
// derives from it and binds it to itself) and capture/. Bind runs on the connection's
// thread when it starts serving; SendLive on the completion thread that parsed the
// package (inside the convertor's distribution step, under its viewer lock);
// SendAudioFrame on whichever thread owns the audio. One caller at a time.
#include <cstdint>

class CIOCPSocket;
class CStreamDataBuffer;

class CFileDispatcher {
 public:
  CFileDispatcher();
  CFileDispatcher(const CFileDispatcher&) = delete;
  CFileDispatcher& operator=(const CFileDispatcher&) = delete;

  // The socket's copying Send; 0 without a socket.
  virtual int SendRaw(const char* data, int length);
  // One AAC frame with its 7-byte ADTS header, sent as an FLV audio tag built in place:
  // the caller's buffer needs 6 writable bytes before data and 4 after data + length.
  // Returns the new number of audio tags sent (unchanged for a frame shorter than 7 bytes).
  virtual int SendAudioFrame(char* data, int length);
  // The next part of the live stream from source. Returns 1 when something was queued,
  // 0 when there was nothing to send (waiting for a key frame, empty package, a viewer
  // behind), -1 when the socket refused a send. A viewer whose queue is over its limits
  // (ViewerQueue.h) skips packages and goes on from the next key frame. Closing a stalled
  // one is left to its socket's maintenance: here the convertor's viewer lock is held,
  // and closing detaches from both convertors of the channel.
  virtual int SendLive(CStreamDataBuffer* source);
  virtual ~CFileDispatcher();

  // Starts over for a (re)used connection; audio timestamps count from now.
  void Bind(CIOCPSocket* socket);

  int LiveCount() const { return m_nLiveCount; }
  int AudioCount() const { return m_nAudioCount; }
  bool IsBehind() const { return m_bBehind; }
  CIOCPSocket* BoundSocket() const { return m_pSocket; }

 protected:
  int32_t m_nHeaderTemplateSent = 0;
  int32_t m_nLiveCount = 0;
  int32_t m_nAudioCount = 0;
  uint32_t m_nStartTick = 0;
  CIOCPSocket* m_pSocket = nullptr;
  unsigned char m_audioTagHeader[13] = {};
  bool m_bBehind = false;  // skipping packages until the viewer's queue moves and a key frame comes
};
