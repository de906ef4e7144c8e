#pragma once
// This is an internal header of platform/completion, do not include it from elsewhere.
// Use platform/completion/CompletionPort.h.
//
// Layout of the proactor:
//   - a table from descriptor to Entry (one per socket the proactor knows), guarded by
//     m_tableLock; an Entry leaves the table when its socket is closed but lives on while
//     completions of it are still queued;
//   - per Entry, m_lock guards its operation queues and every system call on its
//     descriptor, and m_laneLock guards its queue of finished operations (its lane);
//   - a fixed pool of threads waits on one epoll instance; a thread that gets an event
//     makes the system calls under the entry's lock, then, with no lock held, runs the
//     lanes it scheduled. Lanes scheduled outside the pool (an operation that finished
//     inside the posting call) go to the ready queue, at once or when the poster's
//     PostBatch closes, and an eventfd wakes a pool thread for them. A lane is run by one thread at a time (m_scheduled).
//   - a thread running routines is busy: the lanes it has not run yet, and those its
//     routine schedules, go to the ready queue, and a sleeping thread is woken for them
//     when every awake thread is busy, so one slow routine delays only its own socket.
// Lock order: listener Entry::m_lock -> accepted Entry::m_lock -> Entry::m_laneLock ->
// m_readyLock. m_tableLock is never held while taking another lock.
#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/completion/CompletionPort.h"

namespace platform::completion::detail {

struct Entry;

enum class OpKind { Accept, Connect, Recv, Send };

struct Op {
  OpKind kind = OpKind::Recv;
  Overlapped* overlapped = nullptr;
  CompletionRoutine routine = nullptr;
  char* buffer = nullptr;
  uint32_t length = 0;
  uint32_t done = 0;  // bytes transferred so far
  // Accept: the socket that receives the connection, and the address areas' sizes.
  std::shared_ptr<Entry> target;
  uint32_t localLength = 0;
  uint32_t remoteLength = 0;
  sockaddr_in remote{};
  // Connect: set once the connection is up and the data is being written.
  bool connected = false;
};

struct Finished {
  CompletionRoutine routine;
  Overlapped* overlapped;
  uint32_t status;
  uint32_t bytes;
};

struct Entry : std::enable_shared_from_this<Entry> {
  int m_fd = -1;
  uint32_t m_generation = 0;

  std::mutex m_lock;
  CompletionRoutine m_routine = nullptr;
  bool m_closed = false;
  bool m_registered = false;  // added to epoll (for the current file description)
  bool m_connected = false;
  uint32_t m_connectTick = 0;
  std::deque<Op> m_reads;    // receives, and an accept waiting for its first data
  std::deque<Op> m_writes;   // a connect first if any, then sends, in posting order
  std::deque<Op> m_accepts;  // accepts waiting on this listening socket
  std::weak_ptr<Entry> m_acceptingFrom;  // listener holding an accept into this socket

  std::mutex m_laneLock;
  std::deque<Finished> m_finished;
  bool m_scheduled = false;  // in the ready queue or being run by a worker
};

class Proactor {
 public:
  static Proactor& Instance();

  bool Bind(int fd, CompletionRoutine routine);
  int Accept(int listenFd, int acceptFd, void* buffer, uint32_t receiveLength,
             uint32_t localLength, uint32_t remoteLength, Overlapped* overlapped);
  int Connect(int fd, const sockaddr_in& target, const void* data, uint32_t length,
              Overlapped* overlapped);
  int Recv(int fd, void* buffer, uint32_t length, Overlapped* overlapped);
  int Send(int fd, const void* data, uint32_t length, Overlapped* overlapped);
  int Cancel(int fd);
  int Close(int fd);
  int ConnectTime(int fd, uint32_t* seconds);
  Stats GetStats();
  // Queues the lanes a closing PostBatch held back, with at most one wake-up.
  void PushReady(std::vector<std::shared_ptr<Entry>>& lanes);

 private:
  Proactor();
  bool EnqueueReady(std::shared_ptr<Entry> lane);

  std::shared_ptr<Entry> Find(int fd);
  std::shared_ptr<Entry> FindOrCreate(int fd);
  int QueueTransfer(int fd, OpKind kind, char* buffer, uint32_t length, Overlapped* overlapped);

  // All of these run with entry.m_lock held.
  int Register(Entry& entry);
  void DriveAccepts(Entry& listener);
  void DriveReads(Entry& entry);
  void DriveWrites(Entry& entry);
  void CancelAll(Entry& entry);
  void Complete(Entry& lane, const Op& op, uint32_t status, uint32_t bytes);
  // Removes the accept that targets `entry` from its listener, with no lock held.
  void WithdrawAccept(const std::shared_ptr<Entry>& entry);

  void PushReady(std::shared_ptr<Entry> lane);
  void Wake();
  bool TakeOneReadyOrSleep(std::vector<std::shared_ptr<Entry>>& local);
  void HandleEvent(const epoll_event& event);
  void TakeReady(std::vector<std::shared_ptr<Entry>>& local);
  void RunLane(const std::shared_ptr<Entry>& lane);
  // Around running one lane: offers the thread's other lanes to the pool.
  void BeginBusy(std::vector<std::shared_ptr<Entry>>& local);
  void EndBusy();
  void WorkLoop();

  int m_epoll = -1;
  int m_wakeFd = -1;  // eventfd: lanes queued from outside the pool
  std::mutex m_tableLock;
  std::unordered_map<int, std::shared_ptr<Entry>> m_table;
  uint32_t m_nextGeneration = 1;

  std::mutex m_readyLock;
  std::deque<std::shared_ptr<Entry>> m_ready;
  bool m_wakePending = false;  // an eventfd wake-up is on its way to a pool thread
  int m_awakeThreads = 0;      // pool threads between epoll_wait calls
  int m_busyThreads = 0;       // of those, the ones running routines

  std::atomic<int> m_operations{0};
  std::vector<std::thread> m_threads;
};

}  // namespace platform::completion::detail
