#pragma once
// CIOCPSocket: a long-lived socket object driven by completion callbacks; the base of the
// accepting (CIOCPServerSocket) and connecting (CIOCPClientSocket) sockets, and used as is
// for listening sockets.
//
// Who may include it: net/ and the servers and clients built on it (media/, remote/).
//
// Life. The object is made once and reused: its system socket is created, closed and
// created again as connections come and go. Pooled objects are never deleted while the
// program runs. Every completion arrives in OnIoCompletion on a worker thread of the
// completion port and is dispatched to the virtual operations below; completions of one
// object are delivered one at a time.
//
// Threads. Send, Close, CloseIfIdle and DestorySocket may be called from any thread.
// Maintenance and Dump run on the server thread and read the fields without a lock.
// ProcessRecvBuffer and OnDestroy run on a worker thread (OnDestroy also on whichever
// thread closes the socket, ProcessRecvBuffer also on the thread that resumes a held
// receive; never two at once). Never delete a socket from inside its own handlers.
//
// Deleting (tests, shutdown). The destructor calls Retire(): it stops the object from
// re-arming, closes the socket and waits until every completion of it was delivered. A
// subclass whose handlers use its own members calls Retire() first in its destructor.
//
// Log records begin with the object's id in brackets; levels: 10 debug, 40 error.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/DataBuffer.h"
#include "net/SendPackage.h"

class CIOCPSocket {
 public:
  enum State : int32_t { kClosed = 0, kAccepting = 1, kConnected = 2, kConnecting = 3 };
  static constexpr int kInvalidSocket = -1;
  static constexpr int kDefaultIdleLimit = 60;  // seconds

  CIOCPSocket();
  CIOCPSocket(const CIOCPSocket&) = delete;
  CIOCPSocket& operator=(const CIOCPSocket&) = delete;

  // Virtual operations, in slot order.

  // Handles the bytes of one receive (they are in the receive buffer). Returns 0 to have
  // the connection closed, non-zero to keep receiving.
  virtual int ProcessRecvBuffer();
  // Closes once the queued sends are done; no new sends are accepted meanwhile.
  virtual void Close();
  // Closes now if nothing is in flight, else when the last send completes.
  virtual void CloseIfIdle();
  // Called while the system socket is being closed, once per connection.
  virtual void OnDestroy();
  // Periodic housekeeping, from the server thread.
  virtual void Maintenance();
  virtual ~CIOCPSocket();
  // Makes the object ready for its next use after the system socket was closed.
  virtual void Recycle();
  // One line of state on the console.
  virtual void Dump();
  // A held receive was resumed (see HoldReceive): posts the next receive.
  virtual void OnReceiveResumed();

  // Creates the buffers if missing and, when there is no system socket, a TCP/IPv4 one;
  // clears the closing flag. Returns 1, or 0 when no socket could be created.
  int CreateSocket();
  // Listens on port at address (host order; 0 for any) with a backlog of 200 and binds
  // the socket to the completion routine. Returns 1 or 0.
  int Listen(uint16_t port, uint32_t address);
  // Queues data[0, length) (length -1: the string length) as one write. With a shared
  // reference the bytes are sent in place and must stay unchanged until the write
  // completed; without, they are copied. Returns 1 when queued, 0 when refused (closing)
  // or failed. A length of 0 queues nothing and returns 1.
  int Send(const char* data, int length, SharedReference* shared);
  int Send(const char* data, int length);
  // Closes the system socket; safe to call repeatedly and from any thread.
  void DestorySocket();
  // A connection exists (state not closed) and no write is in flight.
  bool CanClose() const;
  // Posts the next receive into the receive buffer's free space (connected state only).
  int PostRecv();

  // Holding the receive. A ProcessRecvBuffer that will answer a request later calls
  // HoldReceive() and keeps the id: no receive is posted when it returns. Whoever has the
  // answer calls ResumeReceive(id), from any thread; once both have happened,
  // OnReceiveResumed() runs on the thread that came second. A new connection drops a hold.
  uint32_t HoldReceive();
  void ResumeReceive(uint32_t hold);
  // What follows a ProcessRecvBuffer result: Close on 0, else the next receive unless held.
  void FinishReceive(int result);
  // A request is being answered later (time-outs for requests should not run meanwhile).
  bool IsReceiveHeld() const { return (m_hold.load() & 0xFFFFFFFFu) != 0; }

  // Bytes of queued sends not completed yet, and how long the send queue has not moved:
  // ms since a send last completed or since the queue filled from empty; 0 when empty.
  int64_t GetQueuedBytes() const { return m_nQueuedBytes.load(); }
  uint32_t SendStallMs() const;
  // A connection whose sends have not moved for this long is closed by Maintenance at
  // once, queued sends cancelled (negative: never, the default).
  void SetSendStallLimit(int ms) { m_nSendStallLimitMs.store(ms); }

  // Stops the object from re-arming (accept, connect), closes it and waits until all of
  // its completions were delivered. Not from the object's own handlers.
  void Retire();

  static void OnIoCompletion(uint32_t status, uint32_t bytes, platform::completion::Overlapped* overlapped);

  int GetId() const { return m_nId; }
  int GetSocket() const { return m_hSocket.load(); }
  int GetState() const { return m_nState.load(); }
  int GetPending() const { return m_nPending.load(); }
  bool IsClosing() const { return m_bClosing.load(); }
  uint32_t GetRecvBytes() const { return m_nRecvBytes; }
  const sockaddr_in& GetLocalAddress() const { return m_localAddr; }
  const sockaddr_in& GetRemoteAddress() const { return m_remoteAddr; }
  CDataBuffer* GetRecvBuffer() const { return m_pRecvBuffer; }
  CDataBuffer* GetSendBuffer() const { return m_pSendBuffer; }
  // The socket owns (and deletes) whatever buffer it holds when it is destroyed.
  void SetRecvBuffer(CDataBuffer* buffer) { m_pRecvBuffer = buffer; }
  void SetIdleLimit(int seconds) { m_nIdleLimit = seconds; }
  int GetIdleLimit() const { return m_nIdleLimit; }
  // Last activity, on the tick counter; and whole seconds since then.
  void StampTimestamp();
  uint32_t GetTimestamp() const { return m_timestamp.load(); }
  uint32_t SecondsSinceTimestamp() const;

 protected:
  // Queues a package made from the template (pending is counted first).
  int NetWrite(SendPackage* package);
  // Bookkeeping for one started / one delivered operation (Retire waits for them).
  void BeginOperation();
  void EndOperation();
  // CreateSocket with m_handleLock already held; refuses once the object is retired.
  int CreateSocketLocked();

  const int m_nId;
  std::atomic<int> m_hSocket{kInvalidSocket};
  CDataBuffer* m_pRecvBuffer = nullptr;
  CDataBuffer* m_pSendBuffer = nullptr;
  SendPackage m_recvPackage;
  SendPackage m_sendTemplate;
  uint32_t m_nRecvBytes = 0;
  uint32_t m_nSentBytes = 0;
  std::atomic<int32_t> m_nState{kClosed};
  sockaddr_in m_localAddr{};
  sockaddr_in m_remoteAddr{};
  std::atomic<uint32_t> m_timestamp{0};
  int m_nIdleLimit = kDefaultIdleLimit;
  std::atomic<int32_t> m_nPending{0};
  std::atomic<bool> m_bClosing{false};
  std::atomic<int64_t> m_nQueuedBytes{0};
  std::atomic<uint32_t> m_sendProgressTick{0};
  std::atomic<int> m_nSendStallLimitMs{-1};
  std::atomic<uint64_t> m_hold{0};  // hold id << 32 | parties still to finish
  std::atomic<uint32_t> m_nHoldSerial{0};

  // Held while the handle is read to post an operation and while it is swapped out, so
  // an operation never reaches a descriptor number that was closed and reused meanwhile.
  std::mutex m_handleLock;

 private:
  void HandleCompletion(uint32_t status, uint32_t bytes, SendPackage* package);
  void FinishWrite(SendPackage* package, uint32_t bytes);

  std::atomic<int> m_nOutstanding{0};
  bool m_bRetired = false;
};
