#pragma once
// CIOCPServerSocket: a pooled socket that waits for one connection on a listening socket
// (accept with first data), serves it, and accepts again once it closed.
//
// Who may include it: net/ and the servers built on it (media/: camera requests, converter
// sessions). AcceptFrom and Maintenance run on the server thread; the rest as CIOCPSocket.
//
// Cycle: closed -> AcceptFrom -> accepting (the first bytes complete the accept) ->
// connected -> closed by the peer, an error, the idle limit or Close -> Recycle accepts
// again at once (or maintenance does, 3 s later, when that failed).
#include "net/IOCPSocket.h"

class CIOCPServerSocket : public CIOCPSocket {
 public:
  static constexpr uint32_t kDeadSocketRetrySeconds = 3;
  static constexpr uint32_t kFirstDataSeconds = 31;
  static constexpr uint32_t kNotConnected = 0xFFFFFFFF;

  CIOCPServerSocket() = default;
  ~CIOCPServerSocket() override;

  void SetListener(CIOCPSocket* listener) { m_pListener = listener; }
  CIOCPSocket* GetListener() const { return m_pListener; }
  // Creates the socket and posts an accept with first data on the listener. Returns 1
  // when posted, 0 without a listener, without buffer room or when the post failed.
  int AcceptFrom();

  // Every 10 s from the server loop: re-arms a dead socket, closes a connection that sent
  // nothing for 31 s and one that was idle beyond the idle limit.
  void Maintenance() override;
  void Recycle() override;

  // Whole seconds since a connection was accepted into this socket (it may still wait for
  // its first data), or kNotConnected before that. Any thread.
  uint32_t GetConnectSeconds() const;

 protected:
  CIOCPSocket* m_pListener = nullptr;
};
