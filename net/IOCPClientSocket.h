#pragma once
// CIOCPClientSocket: a reusable socket that connects to a server and sends a prepared
// request as part of the connect.
//
// Who may include it: net/ and the request clients built on it (remote/). SetTarget,
// SetRequestData and ConnectTo run on the thread that starts a request; the completion
// handlers run on worker threads; Maintenance on the server thread.
//
// Cycle: closed -> ConnectTo -> connecting -> connected (the request went out with the
// connect) -> closed -> Recycle hands the object back to its registry, if it has one.
#include <atomic>

#include "net/IOCPSocket.h"

class CSessionRegistry;

class CIOCPClientSocket : public CIOCPSocket {
 public:
  static constexpr uint16_t kDefaultPort = 80;
  static constexpr uint32_t kInactiveSeconds = 60;

  CIOCPClientSocket() = default;
  ~CIOCPClientSocket() override;

  // "host" or "host:port"; the port is 80 when absent or out of range. Resolves the host
  // (Resolve); on failure the previous target stays.
  void SetTarget(const char* hostText);
  // A host starting with a non-zero number is a dotted address; anything else is looked
  // up by name and its first IPv4 address used. Returns 1, or 0 when the lookup failed.
  int Resolve(const char* host, uint16_t port);
  // Replaces the request bytes sent with the next connect.
  void SetRequestData(const char* data, int length);
  // Creates the socket, connects it to the target and sends the request with the connect.
  // Returns 1 when the connect is under way.
  int ConnectTo();

  // A connection silent for more than 60 s is closed and made again (the request is sent
  // again).
  void Maintenance() override;
  // Hands the object back to its registry (which may give it out again later).
  void Recycle() override;

  CSessionRegistry* GetRegistry() const { return m_pRegistry.load(); }
  void SetRegistry(CSessionRegistry* registry) { m_pRegistry.store(registry); }
  const sockaddr_in& GetTargetAddress() const { return m_targetAddr; }
  uint16_t GetTargetPort() const { return m_nTargetPort; }
  const char* GetRequest() const { return m_pRequest; }
  int GetRequestLength() const { return m_nRequestLength; }

 protected:
  int m_nRequestLength = 0;
  char* m_pRequest = nullptr;  // owned, from new[]
  sockaddr_in m_targetAddr{};
  uint16_t m_nTargetPort = 0;
  std::atomic<CSessionRegistry*> m_pRegistry{nullptr};
};
