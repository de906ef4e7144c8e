#pragma once
// CSessionRegistry: keeps the request sockets that are busy and the ones that finished and
// may serve another request after a rest. It never deletes a socket.
//
// Who may include it: net/ and the request managers derived from it (remote/). Any thread:
// requests start on the caller's thread, releases come from worker threads, the sweep
// runs on the server thread. One lock guards both collections; sockets are closed outside
// it.
#include <atomic>
#include <list>
#include <mutex>
#include <set>

class CIOCPClientSocket;

class CSessionRegistry {
 public:
  static constexpr int kDefaultIdleLimit = 15;        // seconds of silence before a sweep closes
  static constexpr uint32_t kReuseRestSeconds = 16;  // a released socket rests this long

  CSessionRegistry() = default;
  CSessionRegistry(const CSessionRegistry&) = delete;
  CSessionRegistry& operator=(const CSessionRegistry&) = delete;
  // Forgets both collections; the sockets themselves belong to whoever made them.
  virtual ~CSessionRegistry();
  // Closes (CloseIfIdle) every busy socket silent for more than the idle limit.
  virtual void Sweep();

  // A socket just made for a request (its registry pointer set, its timestamp stamped).
  void AddInUse(CIOCPClientSocket* socket);
  // From the socket's Recycle: if it was in use, it moves to the end of the reusable list.
  void Release(CIOCPClientSocket* socket);
  // The oldest reusable socket once it has rested 16 s (now in use again, pointing back to
  // this registry), or null; the caller then makes a new one.
  CIOCPClientSocket* GetReuseSession();

  int GetIdleLimit() const { return m_nIdleLimit; }
  int InUseCount();
  int ReusableCount() const { return m_nReusable.load(); }

 protected:
  int m_nIdleLimit = kDefaultIdleLimit;
  std::mutex m_lock;
  std::multiset<CIOCPClientSocket*> m_inUse;
  std::list<CIOCPClientSocket*> m_reusable;
  std::atomic<int> m_nReusable{0};
};
