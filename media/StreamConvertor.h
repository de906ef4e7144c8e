#pragma once
// CStreamConvertor: owns one converter process. It builds the command line, starts the
// process, pairs with the process's loopback connections (the process id greeting, see
// CStreamConvertorSession), paces raw frames to the frame rate, parses the encoded stream
// into its stream buffer, hands each new package to its viewers (CFileDispatcher) and
// starts a new process when the video connection ends. C3GPStreamConvertor does the same
// for the length-prefixed 3GP output.
//
// Who may include it: capture/ (the frame dispatcher that owns two per channel), media/
// (the camera HTTP server, converter sessions) and tests.
// Threads:
//   ConvertSourceVideoData / ConvertSourceAudioData  the channel's capture thread
//   OnConvertedData, OnSessionClosed, AttachSession  completion threads (OnSessionClosed
//                                                    also any thread that closes a session)
//   AddViewer / RemoveViewer                         completion threads of viewer sessions
//   Open                                             the creator's thread, then completion
//                                                    threads on restarts
//   destructor                                       the creator, after capture stopped
// The viewer set has its own lock; the session pointers another; parsing and the parser
// reset a third.
//
// Raw frames. The capture service's frame memory is only valid until its callback returns
// (the source re-queues it on the next read), while sends complete later on completion
// threads. ConvertSourceVideoFrame sends a frame the caller already copied (the channel
// copies each frame once for both its convertors and its snapshots) by reference;
// ConvertSourceVideoData copies the frame into a frame of the convertor's own first. Repeats
// are sent from the same copy, which is reused only when no queued send points into it.
// Audio blocks are small and sent as copies.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "media/FramePacer.h"
#include "media/RawFramePool.h"
#include "net/SendPackage.h"

class CFileDispatcher;
class CStreamConvertorSession;
class CStreamDataBuffer;
struct StreamPackage;

// Set by the server thread once the program's stop began: a converter whose connection
// ends then is not started again, since nothing would accept it any more.
void SetConvertorsStopping(bool stopping);

class CStreamConvertor {
 public:
  // Type fields: bits 8..15 container, bits 16..23 audio.
  static constexpr int kContainerFLV = 4;
  static constexpr int kContainer3GP = 5;
  static constexpr int kContainerAAC = 10;
  static constexpr int kAudioWith = 2;
  static constexpr uint32_t kAudioKeyBit = 0x1000000;
  // Sends of raw video allowed in the video connection's queue before frames are refused.
  static constexpr int kMaxPendingSends = 15;
  static constexpr int kStreamCapacity = 8192;
  static constexpr int kStreamHeadroom = 32;

  CStreamConvertor(int type, int frameRate, int resolutionIndex);
  virtual ~CStreamConvertor();
  CStreamConvertor(const CStreamConvertor&) = delete;
  CStreamConvertor& operator=(const CStreamConvertor&) = delete;

  // Starts a converter process (see the command lines in the .cpp) and registers its
  // process id. Returns 1 when a process was started, 0 otherwise.
  virtual int Open();
  // One receive of encoded stream from the video connection: 1 go on, 0 close it.
  virtual int OnConvertedData(char* data, int length);
  // The stream buffer's current package while a video connection exists, else null.
  virtual StreamPackage* GetCurrentPackage();
  // The receive buffer for a paired session: the stream buffer, null for audio keys.
  virtual CStreamDataBuffer* GetStream(uint32_t sessionKey);

  // 1 when the frame was queued (also when the pacer dropped it), 0 when not sent.
  int ConvertSourceVideoData(const char* data, int length);
  // The same for a frame whose sends pin it (its count), without a copy of the convertor's.
  int ConvertSourceVideoFrame(RawFrame* frame);
  int ConvertSourceAudioData(const char* data, int length);

  void AddViewer(CFileDispatcher* viewer);
  void RemoveViewer(CFileDispatcher* viewer);

  // With rest on, the converter runs only while a viewer watches: without viewers the
  // convertor stops it (or does not start it) and holds the frames back; a new viewer gets
  // a new converter at the next frame and its first key-frame record about a second later.
  // Capture thread, before Open.
  void SetRestsUnwatched(bool rests) { m_bRestsUnwatched = rests; }
  bool IsResting() const { return m_bResting.load(std::memory_order_relaxed); }

  // A session whose greeting carried one of this convertor's keys.
  void AttachSession(CStreamConvertorSession* session, uint32_t sessionKey);
  void OnSessionClosed(CStreamConvertorSession* session);

  int GetHistoryClip(uint32_t startTick, uint32_t endTick, const char* file);
  uint32_t ConvertedBytes() const { return m_nConvertedBytes.load(std::memory_order_relaxed); }
  CStreamDataBuffer* StreamBuffer() const { return m_pStream; }

  int Type() const { return m_nType; }
  int FrameRate() const { return m_nFrameRate; }
  uint32_t ProcessId() const { return m_nProcessId; }
  const char* CommandLine() const { return m_szCommandLine; }
  CStreamConvertorSession* VideoSession();
  CStreamConvertorSession* AudioSession();
  size_t ViewerCount();

  // The one-shot snapshot: converts a raw YUYV frame file into a JPEG (waits up to 10 s).
  // outputSize null or empty keeps the input size. Returns 0.
  static int ConvertYUV2JPG(int resolutionIndex, const char* inputFile, const char* outputFile,
                            const char* outputSize);
  // The "-s" value of a resolution index ("" for unknown indexes).
  static const char* ResolutionText(int resolutionIndex);

 protected:
  // Starts commandLine (none when empty), registers its process id (and the audio key when
  // withAudioKey) and logs the open. Returns 1 when a process was started.
  int StartProcess(bool withAudioKey);
  // True (and the convertor resting) when a convertor that rests is opened without viewers:
  // no converter is to be started.
  bool StaysAtRest();
  // Registers (pid, this) and, when withAudioKey, (pid | 0x1000000, this); drops the
  // previous process's keys first. Returns what the last registration returned.
  void* RegisterProcess(uint32_t pid, bool withAudioKey);
  // Drops the keys the current process would greet with.
  void UnregisterKeys();
  // Cancels the session's queued sends and its receive, and gives it back to the pool.
  static void HardClose(CStreamConvertorSession* session);
  void RestartSessions();

  CStreamConvertorSession* m_pVideoSession = nullptr;
  CStreamConvertorSession* m_pAudioSession = nullptr;
  std::set<CFileDispatcher*> m_viewers;
  // Recursive: a viewer's send can close its connection, whose end detaches the viewer on
  // the same thread while the distribution holds the lock.
  std::recursive_mutex m_viewerLock;
  int m_nType;
  int m_nFrameRate;
  int m_nResolutionIndex;
  CStreamDataBuffer* m_pStream = nullptr;
  std::atomic<uint32_t> m_nConvertedBytes{0};  // read by the statistics on other threads
  CFramePacer m_framePacer;

  // Guards the session pointers. Recursive: closing a session from a send failure ends
  // in OnSessionClosed on the same thread.
  std::recursive_mutex m_sessionLock;
  // A video session closed by RestartSessions that still had sends queued: its end must
  // still start a new converter.
  CStreamConvertorSession* m_pClosingVideoSession = nullptr;
  // Serialises parsing with the parser reset of a restart (which may run on another thread).
  std::mutex m_streamLock;
  char m_szCommandLine[1024] = {};
  uint32_t m_nProcessId = 0;
  bool m_bAudioKeyRegistered = false;

 private:
  // shared null: copy data into a frame of m_ownFrames once the pacer wants it sent.
  int SendVideo(const char* data, int length, RawFrame* shared);
  // Capture thread: stops the converter when the last viewer left, starts one when a viewer
  // came; true while there is none to feed.
  bool Rests();
  // Ends the converter's connections at once; the process ends when it sees them go.
  void StopConverter();

  bool m_bRestsUnwatched = false;
  std::atomic<size_t> m_nViewerCount{0};
  std::atomic<bool> m_bResting{false};

  CRawFramePool m_ownFrames{kMaxPendingSends + 1};  // capture thread only
};

class C3GPStreamConvertor : public CStreamConvertor {
 public:
  C3GPStreamConvertor(int type, int frameRate, int resolutionIndex);
  ~C3GPStreamConvertor() override;
  int Open() override;
};
