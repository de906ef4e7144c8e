#pragma once
// CStreamConvertorSession: one pooled loopback connection from a converter process. The
// converter announces itself with its process id (4 bytes, little-endian; OR 0x1000000 on
// its audio connection); the session then pairs with the convertor that started that
// process. On the video connection the encoded stream is received straight into the
// convertor's stream buffer and handed to it; the audio connection only carries raw audio
// out and keeps its greeting buffer.
//
// Who may include it: media/ (convertors, the camera HTTP server that arms the pool),
// capture/ (the window manager sizes the pool) and tests. Threads: ProcessRecvBuffer on completion threads; OnDestroy on whichever thread
// closes the connection; ForgetConvertor on the thread deleting a convertor; the pool
// functions at the bottom on the server thread.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/IOCPServerSocket.h"

class CStreamConvertor;

class CStreamConvertorSession : public CIOCPServerSocket {
 public:
  static constexpr uint32_t kAudioKeyBit = 0x1000000;
  static constexpr int kGreetingBytes = 4;

  CStreamConvertorSession();
  ~CStreamConvertorSession() override;

  int ProcessRecvBuffer() override;
  void OnDestroy() override;

  // Unpairs the session from convertor (if paired with it) and waits until no call into
  // the convertor is running on this session. For a convertor that is being deleted; never
  // from the convertor's own callbacks.
  void ForgetConvertor(CStreamConvertor* convertor);
  // Calls ForgetConvertor on every session that exists.
  static void ForgetConvertorEverywhere(CStreamConvertor* convertor);

  CStreamConvertor* GetConvertor() const { return m_pConvertor.load(); }
  bool IsWaitingForGreeting() const { return m_bWaiting.load(); }
  uint32_t GetSessionKey() const { return m_nSessionKey.load(); }
  CDataBuffer* GetGreetingBuffer() const { return m_pGreeting; }

 private:
  int ProcessGreeting();

  std::atomic<CStreamConvertor*> m_pConvertor{nullptr};
  std::atomic<bool> m_bWaiting{true};
  CDataBuffer* m_pGreeting;  // owned through the socket's receive buffer slot when unpaired
  std::atomic<uint32_t> m_nSessionKey{0};
  // Held while this session calls into its convertor (greeting, received data, session end),
  // so a convertor being deleted can wait those calls out.
  std::recursive_mutex m_pairLock;
};

// The program's converter listener and its pool of converter sessions (static storage,
// never destroyed). The server thread:
//   start:       ConvertorListener().Listen(port, INADDR_LOOPBACK), SetConvertorListenPort(port)
//   arm:         ArmConvertorSessions()          (listener set + AcceptFrom on every session)
//   every 10 s:  MaintainConvertorSessions()
//   stop:        ConvertorListener().DestorySocket()   (the pooled sessions stay)
// The pool starts with kConvertorSessionCount sessions; ReserveConvertorSessions (the
// user-interface thread, once the channels' convertors are open) grows it to the
// converter connections in use plus two for a converter that restarts, and arms the new
// sessions when the pool is armed. Sessions are never removed.
constexpr int kConvertorSessionCount = 15;
CIOCPSocket& ConvertorListener();
int ConvertorSessionCount();
CStreamConvertorSession* ConvertorSession(int index);  // null outside the pool
// Returns how many sessions posted their accept.
int ArmConvertorSessions();
void MaintainConvertorSessions();
// Makes the pool hold sessions for `connections` converter connections; returns its size.
int ReserveConvertorSessions(int connections);
