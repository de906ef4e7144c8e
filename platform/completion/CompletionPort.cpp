#include "platform/completion/CompletionPort.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Thread.h"
#include "platform/Tick.h"
#include "platform/completion/CompletionPortInternal.h"

namespace platform::completion {
namespace detail {
namespace {

constexpr int kWorkerCount = 4;
constexpr uint64_t kWakeMarker = ~0ull;

// Lanes a pool thread scheduled while handling events; it runs them itself right after,
// which saves the hand-over to another thread. Null on threads outside the pool.
thread_local std::vector<std::shared_ptr<Entry>>* t_localLanes = nullptr;
// Set while a pool thread runs routines: what they schedule must not wait behind them.
thread_local bool t_busy = false;
// Lanes scheduled on a thread outside the pool while a PostBatch is open on it.
thread_local int t_batchDepth = 0;
thread_local std::vector<std::shared_ptr<Entry>> t_batchLanes;
// A worker hands a busy lane back to the queue after this many routines, so one chatty
// socket cannot hold a worker for ever.
constexpr int kLaneBatch = 16;

uint32_t StatusFromErrno(int error) {
  switch (error) {
    case ECONNRESET:
    case EPIPE: return kStatusConnectionReset;
    case ECONNREFUSED: return kStatusConnectionRefused;
    case ECONNABORTED: return kStatusConnectionAborted;
    case ETIMEDOUT: return kStatusIoTimeout;
    case ENETUNREACH:
    case ENETDOWN: return kStatusNetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN: return kStatusHostUnreachable;
    case ENOTCONN: return kStatusInvalidConnection;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE: return kStatusInsufficientResources;
    default: return kStatusUnsuccessful;
  }
}

// Errors of a non-blocking connect that the caller learns through the completion, as it
// would for a connection that failed later.
bool IsConnectOutcome(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
         error == ETIMEDOUT || error == ECONNRESET;
}

bool IsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) >= 0; }

void StoreAddresses(const Entry& entry, const Op& op) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(entry.m_fd, reinterpret_cast<sockaddr*>(&local), &length);
  char* area = op.buffer + op.length;
  std::memcpy(area, &local, sizeof(local));
  std::memcpy(area + op.localLength, &op.remote, sizeof(op.remote));
}

}  // namespace

Proactor& Proactor::Instance() {
  // Never destroyed: workers may still run routines while the process exits.
  static Proactor* instance = new Proactor();
  return *instance;
}

Proactor::Proactor() {
  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event wake{};
  wake.events = EPOLLIN | EPOLLET;
  wake.data.u64 = kWakeMarker;
  epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &wake);
  for (int i = 1; i <= kWorkerCount; ++i)
    m_threads.push_back(platform::StartNamedThread("tIoWorker" + std::to_string(i), [this] { WorkLoop(); }));
  for (auto& thread : m_threads) thread.detach();
}

std::shared_ptr<Entry> Proactor::Find(int fd) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto it = m_table.find(fd);
  return it == m_table.end() ? nullptr : it->second;
}

std::shared_ptr<Entry> Proactor::FindOrCreate(int fd) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto& slot = m_table[fd];
  if (!slot) {
    slot = std::make_shared<Entry>();
    slot->m_fd = fd;
    slot->m_generation = m_nextGeneration++;
    if (m_nextGeneration == 0) m_nextGeneration = 1;
  }
  return slot;
}

int Proactor::Register(Entry& entry) {
  if (entry.m_registered) return 0;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = (static_cast<uint64_t>(entry.m_generation) << 32) | static_cast<uint32_t>(entry.m_fd);
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, entry.m_fd, &event) != 0) {
    if (errno != EEXIST || epoll_ctl(m_epoll, EPOLL_CTL_MOD, entry.m_fd, &event) != 0) return errno;
  }
  entry.m_registered = true;
  return 0;
}

void Proactor::Complete(Entry& lane, const Op& op, uint32_t status, uint32_t bytes) {
  bool schedule = false;
  {
    std::lock_guard<std::mutex> guard(lane.m_laneLock);
    lane.m_finished.push_back(Finished{op.routine, op.overlapped, status, bytes});
    if (!lane.m_scheduled) lane.m_scheduled = schedule = true;
  }
  if (!schedule) return;
  if (t_localLanes != nullptr && !t_busy) t_localLanes->push_back(lane.shared_from_this());
  else if (t_batchDepth > 0) t_batchLanes.push_back(lane.shared_from_this());
  else PushReady(lane.shared_from_this());
}

// With m_readyLock held; tells whether a pool thread must be woken for the lane.
bool Proactor::EnqueueReady(std::shared_ptr<Entry> lane) {
  m_ready.push_back(std::move(lane));
  // A pool thread that is awake and not busy looks here before it sleeps again (WorkLoop),
  // and one wake-up in flight is enough: a thread turning busy wakes the next one.
  const bool wake = m_awakeThreads == m_busyThreads && !m_wakePending;
  if (wake) m_wakePending = true;
  return wake;
}

void Proactor::PushReady(std::shared_ptr<Entry> lane) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(m_readyLock);
    wake = EnqueueReady(std::move(lane));
  }
  if (wake) Wake();
}

void Proactor::PushReady(std::vector<std::shared_ptr<Entry>>& lanes) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(m_readyLock);
    for (auto& lane : lanes) wake = EnqueueReady(std::move(lane)) || wake;
  }
  lanes.clear();
  if (wake) Wake();
}

void Proactor::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof(one));
}

void Proactor::DriveAccepts(Entry& listener) {
  while (!listener.m_accepts.empty()) {
    Op& front = listener.m_accepts.front();
    std::shared_ptr<Entry> target = front.target;
    std::lock_guard<std::mutex> targetGuard(target->m_lock);
    if (target->m_closed) {
      Op op = std::move(front);
      listener.m_accepts.pop_front();
      target->m_acceptingFrom.reset();
      Complete(*target, op, kStatusCancelled, 0);
      continue;
    }
    sockaddr_in remote{};
    socklen_t length = sizeof(remote);
    const int fd = accept4(listener.m_fd, reinterpret_cast<sockaddr*>(&remote), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // EAGAIN: wait for the next connection. Out of descriptors: leave the connection in
      // the backlog rather than fail the accept and be re-posted in a tight loop.
      return;
    }
    Op op = std::move(front);
    listener.m_accepts.pop_front();
    target->m_acceptingFrom.reset();
    // The accepted connection takes over the pre-made socket's descriptor number, which
    // is what its owner already holds; the pre-made socket itself is closed by dup3.
    if (dup3(fd, target->m_fd, O_CLOEXEC) < 0) {
      const int error = errno;
      close(fd);
      Complete(*target, op, StatusFromErrno(error), 0);
      continue;
    }
    close(fd);
    target->m_registered = false;
    target->m_connected = true;
    target->m_connectTick = platform::GetTickCount();
    op.remote = remote;
    if (op.length == 0) {
      StoreAddresses(*target, op);
      Complete(*target, op, kStatusSuccess, 0);
      continue;
    }
    target->m_reads.push_front(std::move(op));
    if (const int error = Register(*target); error != 0) {
      Op failed = std::move(target->m_reads.front());
      target->m_reads.pop_front();
      Complete(*target, failed, StatusFromErrno(error), 0);
      continue;
    }
    DriveReads(*target);
  }
}

void Proactor::DriveReads(Entry& entry) {
  while (!entry.m_reads.empty()) {
    Op& front = entry.m_reads.front();
    const ssize_t n = recv(entry.m_fd, front.buffer, front.length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    const int error = errno;
    Op op = std::move(front);
    entry.m_reads.pop_front();
    if (n < 0) {
      Complete(entry, op, StatusFromErrno(error), 0);
      continue;
    }
    if (op.kind == OpKind::Accept) StoreAddresses(entry, op);
    Complete(entry, op, kStatusSuccess, static_cast<uint32_t>(n));
  }
}

void Proactor::DriveWrites(Entry& entry) {
  while (!entry.m_writes.empty()) {
    Op& front = entry.m_writes.front();
    if (front.kind == OpKind::Connect && !front.connected) {
      int error = 0;
      socklen_t length = sizeof(error);
      if (getsockopt(entry.m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error == 0) {
        sockaddr_in peer{};
        length = sizeof(peer);
        if (getpeername(entry.m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
          if (errno == ENOTCONN) return;  // still connecting
          error = errno;
        }
      }
      if (error != 0) {
        Op op = std::move(front);
        entry.m_writes.pop_front();
        Complete(entry, op, StatusFromErrno(error), 0);
        continue;
      }
      front.connected = true;
      entry.m_connected = true;
      entry.m_connectTick = platform::GetTickCount();
    }
    if (front.done < front.length) {
      const ssize_t n = send(entry.m_fd, front.buffer + front.done, front.length - front.done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n < 0) {
        const int error = errno;
        Op op = std::move(front);
        entry.m_writes.pop_front();
        Complete(entry, op, StatusFromErrno(error), op.done);
        continue;
      }
      front.done += static_cast<uint32_t>(n);
      if (front.done < front.length) continue;
    }
    Op op = std::move(front);
    entry.m_writes.pop_front();
    Complete(entry, op, kStatusSuccess, op.done);
  }
}

void Proactor::CancelAll(Entry& entry) {
  for (Op& op : entry.m_reads) Complete(entry, op, kStatusCancelled, 0);
  for (Op& op : entry.m_writes) Complete(entry, op, kStatusCancelled, op.done);
  for (Op& op : entry.m_accepts) {
    std::lock_guard<std::mutex> guard(op.target->m_lock);
    op.target->m_acceptingFrom.reset();
    Complete(*op.target, op, kStatusCancelled, 0);
  }
  entry.m_reads.clear();
  entry.m_writes.clear();
  entry.m_accepts.clear();
}

void Proactor::WithdrawAccept(const std::shared_ptr<Entry>& entry) {
  std::shared_ptr<Entry> listener;
  {
    std::lock_guard<std::mutex> guard(entry->m_lock);
    listener = entry->m_acceptingFrom.lock();
  }
  if (!listener) return;
  std::lock_guard<std::mutex> listenerGuard(listener->m_lock);
  for (auto it = listener->m_accepts.begin(); it != listener->m_accepts.end(); ++it) {
    if (it->target != entry) continue;
    Op op = std::move(*it);
    listener->m_accepts.erase(it);
    std::lock_guard<std::mutex> guard(entry->m_lock);
    entry->m_acceptingFrom.reset();
    Complete(*entry, op, kStatusCancelled, 0);
    return;
  }
}

bool Proactor::Bind(int fd, CompletionRoutine routine) {
  const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0) {
    errno = EBADF;
    return false;
  }
  if (routine == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  auto entry = FindOrCreate(fd);
  std::lock_guard<std::mutex> guard(entry->m_lock);
  entry->m_routine = routine;
  return true;
}

int Proactor::Accept(int listenFd, int acceptFd, void* buffer, uint32_t receiveLength,
                     uint32_t localLength, uint32_t remoteLength, Overlapped* overlapped) {
  if (overlapped == nullptr || buffer == nullptr || localLength < 32 || remoteLength < 32) return EINVAL;
  auto listener = Find(listenFd);
  if (!listener || !IsOpen(acceptFd) || acceptFd == listenFd) return EBADF;
  auto target = FindOrCreate(acceptFd);
  std::lock_guard<std::mutex> guard(listener->m_lock);
  if (listener->m_closed) return EBADF;
  if (listener->m_routine == nullptr) return EINVAL;
  {
    std::lock_guard<std::mutex> targetGuard(target->m_lock);
    if (target->m_closed) return EBADF;
    if (!target->m_acceptingFrom.expired() || target->m_connected) return EISCONN;
    target->m_acceptingFrom = listener;
  }
  Op op;
  op.kind = OpKind::Accept;
  op.overlapped = overlapped;
  op.routine = listener->m_routine;
  op.buffer = static_cast<char*>(buffer);
  op.length = receiveLength;
  op.target = target;
  op.localLength = localLength;
  op.remoteLength = remoteLength;
  if (const int error = Register(*listener); error != 0) {
    std::lock_guard<std::mutex> targetGuard(target->m_lock);
    target->m_acceptingFrom.reset();
    return error;
  }
  m_operations.fetch_add(1);
  listener->m_accepts.push_back(std::move(op));
  DriveAccepts(*listener);
  return 0;
}

int Proactor::Connect(int fd, const sockaddr_in& target, const void* data, uint32_t length,
                      Overlapped* overlapped) {
  if (overlapped == nullptr || (length > 0 && data == nullptr)) return EINVAL;
  auto entry = Find(fd);
  if (!entry) return EBADF;
  std::lock_guard<std::mutex> guard(entry->m_lock);
  if (entry->m_closed) return EBADF;
  if (entry->m_routine == nullptr) return EINVAL;
  if (entry->m_connected || !entry->m_writes.empty()) return EISCONN;
  if (const int error = Register(*entry); error != 0) return error;
  Op op;
  op.kind = OpKind::Connect;
  op.overlapped = overlapped;
  op.routine = entry->m_routine;
  op.buffer = static_cast<char*>(const_cast<void*>(data));
  op.length = length;
  const int result = connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  const int error = result == 0 ? 0 : errno;
  if (error != 0 && error != EINPROGRESS) {
    if (!IsConnectOutcome(error)) return error;
    m_operations.fetch_add(1);
    Complete(*entry, op, StatusFromErrno(error), 0);
    return 0;
  }
  m_operations.fetch_add(1);
  entry->m_writes.push_back(std::move(op));
  DriveWrites(*entry);
  return 0;
}

int Proactor::Recv(int fd, void* buffer, uint32_t length, Overlapped* overlapped) {
  return QueueTransfer(fd, OpKind::Recv, static_cast<char*>(buffer), length, overlapped);
}

int Proactor::Send(int fd, const void* data, uint32_t length, Overlapped* overlapped) {
  return QueueTransfer(fd, OpKind::Send, static_cast<char*>(const_cast<void*>(data)), length, overlapped);
}

// Receives and sends queue the same way; each direction is driven only by the operation at
// the head of its queue, so several in flight complete in order.
int Proactor::QueueTransfer(int fd, OpKind kind, char* buffer, uint32_t length, Overlapped* overlapped) {
  if (overlapped == nullptr || buffer == nullptr || length == 0) return EINVAL;
  auto entry = Find(fd);
  if (!entry) return EBADF;
  std::lock_guard<std::mutex> guard(entry->m_lock);
  if (entry->m_closed) return EBADF;
  if (entry->m_routine == nullptr) return EINVAL;
  if (const int error = Register(*entry); error != 0) return error;
  Op op;
  op.kind = kind;
  op.overlapped = overlapped;
  op.routine = entry->m_routine;
  op.buffer = buffer;
  op.length = length;
  m_operations.fetch_add(1);
  auto& queue = kind == OpKind::Recv ? entry->m_reads : entry->m_writes;
  queue.push_back(std::move(op));
  if (queue.size() == 1) {
    if (kind == OpKind::Recv) DriveReads(*entry);
    else DriveWrites(*entry);
  }
  return 0;
}

int Proactor::Cancel(int fd) {
  auto entry = Find(fd);
  if (!entry) return IsOpen(fd) ? 0 : EBADF;
  {
    std::lock_guard<std::mutex> guard(entry->m_lock);
    CancelAll(*entry);
  }
  WithdrawAccept(entry);
  return 0;
}

int Proactor::Close(int fd) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    auto it = m_table.find(fd);
    if (it != m_table.end()) {
      entry = std::move(it->second);
      m_table.erase(it);
    }
  }
  if (!entry) return close(fd) == 0 ? 0 : errno;
  int result = 0;
  {
    std::lock_guard<std::mutex> guard(entry->m_lock);
    entry->m_closed = true;
    CancelAll(*entry);
    {
      std::lock_guard<std::mutex> laneGuard(entry->m_laneLock);
      for (Finished& finished : entry->m_finished) finished.status = kStatusCancelled;
    }
    if (entry->m_registered) epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    if (close(fd) != 0) result = errno;
  }
  WithdrawAccept(entry);
  return result;
}

int Proactor::ConnectTime(int fd, uint32_t* seconds) {
  if (seconds == nullptr) return EINVAL;
  auto entry = Find(fd);
  if (!entry) {
    if (!IsOpen(fd)) return EBADF;
    *seconds = kNotConnected;
    return 0;
  }
  std::lock_guard<std::mutex> guard(entry->m_lock);
  *seconds = entry->m_connected ? (platform::GetTickCount() - entry->m_connectTick) / 1000u : kNotConnected;
  return 0;
}

Stats Proactor::GetStats() {
  Stats stats;
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    stats.sockets = static_cast<int>(m_table.size());
  }
  stats.operations = m_operations.load();
  return stats;
}

void Proactor::HandleEvent(const epoll_event& event) {
  const int fd = static_cast<int>(event.data.u64 & 0xFFFFFFFFu);
  const auto generation = static_cast<uint32_t>(event.data.u64 >> 32);
  auto entry = Find(fd);
  if (!entry || entry->m_generation != generation) return;
  std::lock_guard<std::mutex> guard(entry->m_lock);
  if (entry->m_closed) return;
  if (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) {
    DriveAccepts(*entry);
    DriveReads(*entry);
  }
  if (event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) DriveWrites(*entry);
}

void Proactor::TakeReady(std::vector<std::shared_ptr<Entry>>& local) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(m_wakeFd, &count, sizeof(count));
  std::lock_guard<std::mutex> guard(m_readyLock);
  m_wakePending = false;
  if (m_ready.empty()) return;
  local.push_back(std::move(m_ready.front()));
  m_ready.pop_front();
}

void Proactor::BeginBusy(std::vector<std::shared_ptr<Entry>>& local) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(m_readyLock);
    ++m_busyThreads;
    for (auto& lane : local) m_ready.push_back(std::move(lane));
    if (!m_ready.empty() && m_awakeThreads == m_busyThreads && !m_wakePending) wake = m_wakePending = true;
  }
  local.clear();
  t_busy = true;
  if (wake) Wake();
}

void Proactor::EndBusy() {
  t_busy = false;
  std::lock_guard<std::mutex> guard(m_readyLock);
  --m_busyThreads;
}

bool Proactor::TakeOneReadyOrSleep(std::vector<std::shared_ptr<Entry>>& local) {
  std::lock_guard<std::mutex> guard(m_readyLock);
  if (m_ready.empty()) {
    --m_awakeThreads;
    return false;
  }
  local.push_back(std::move(m_ready.front()));
  m_ready.pop_front();
  return true;
}

void Proactor::RunLane(const std::shared_ptr<Entry>& lane) {
  for (int delivered = 0;; ++delivered) {
    Finished finished{};
    {
      std::lock_guard<std::mutex> guard(lane->m_laneLock);
      if (lane->m_finished.empty()) {
        lane->m_scheduled = false;
        return;
      }
      if (delivered == kLaneBatch) break;
      finished = lane->m_finished.front();
      lane->m_finished.pop_front();
    }
    finished.routine(finished.status, finished.bytes, finished.overlapped);
    m_operations.fetch_sub(1);
  }
  // Still busy after a batch: back to the queue, where any pool thread may continue it.
  PushReady(lane);
}

void Proactor::WorkLoop() {
  std::vector<std::shared_ptr<Entry>> local;
  t_localLanes = &local;
  epoll_event events[32];
  for (;;) {
    const int n = epoll_wait(m_epoll, events, 32, -1);
    {
      std::lock_guard<std::mutex> guard(m_readyLock);
      ++m_awakeThreads;
    }
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kWakeMarker) TakeReady(local);
      else HandleEvent(events[i]);
    }
    // No proactor lock is held here, so the routines may call back in freely. Lanes
    // queued meanwhile are taken before sleeping again, which saves their wake-ups.
    do {
      while (!local.empty()) {
        std::shared_ptr<Entry> lane = std::move(local.back());
        local.pop_back();
        BeginBusy(local);
        RunLane(lane);
        EndBusy();
      }
    } while (TakeOneReadyOrSleep(local));
  }
}

}  // namespace detail

PostBatch::PostBatch() {
  if (detail::t_localLanes == nullptr) ++detail::t_batchDepth;
}

PostBatch::~PostBatch() {
  if (detail::t_localLanes != nullptr || --detail::t_batchDepth > 0) return;
  if (!detail::t_batchLanes.empty()) detail::Proactor::Instance().PushReady(detail::t_batchLanes);
}

bool BindIoCompletionCallback(int fd, CompletionRoutine routine) {
  return detail::Proactor::Instance().Bind(fd, routine);
}

int AcceptEx(int listenFd, int acceptFd, void* buffer, uint32_t receiveLength,
             uint32_t localAddressLength, uint32_t remoteAddressLength, Overlapped* overlapped) {
  return detail::Proactor::Instance().Accept(listenFd, acceptFd, buffer, receiveLength, localAddressLength,
                                             remoteAddressLength, overlapped);
}

void GetAcceptExSockaddrs(const void* buffer, uint32_t receiveLength, uint32_t localAddressLength,
                          uint32_t /*remoteAddressLength*/, sockaddr_in* local, sockaddr_in* remote) {
  const char* area = static_cast<const char*>(buffer) + receiveLength;
  if (local != nullptr) std::memcpy(local, area, sizeof(*local));
  if (remote != nullptr) std::memcpy(remote, area + localAddressLength, sizeof(*remote));
}

int ConnectEx(int fd, const sockaddr_in& target, const void* data, uint32_t length, Overlapped* overlapped) {
  return detail::Proactor::Instance().Connect(fd, target, data, length, overlapped);
}

int Recv(int fd, void* buffer, uint32_t length, Overlapped* overlapped) {
  return detail::Proactor::Instance().Recv(fd, buffer, length, overlapped);
}

int Send(int fd, const void* data, uint32_t length, Overlapped* overlapped) {
  return detail::Proactor::Instance().Send(fd, data, length, overlapped);
}

int CancelIo(int fd) { return detail::Proactor::Instance().Cancel(fd); }

int CloseSocket(int fd) { return detail::Proactor::Instance().Close(fd); }

int GetConnectTime(int fd, uint32_t* seconds) { return detail::Proactor::Instance().ConnectTime(fd, seconds); }

Stats GetStats() { return detail::Proactor::Instance().GetStats(); }

}  // namespace platform::completion
