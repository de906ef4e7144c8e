// One server pushing packages to N viewers: shared-reference sends through the completion
// sockets (one pushing thread plus the proactor's fixed pool) against plain blocking send
// calls of the same bytes from one thread per connection. Receivers are identical in both:
// one blocking reader per connection on loopback.
//
//   net_send_bench --benchmark_counters_tabular=true
// Compare bytes_per_second of BM_SharedReferenceSend/N with BM_BlockingSend/N.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IOCPServerSocket.h"

namespace {

constexpr size_t kPackageSize = 64 * 1024;
constexpr int kPackagesPerRound = 64;  // 4 MiB per connection and round
constexpr int kRing = 16;              // packages in circulation, as a stream buffer keeps them

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// CPU seconds of the whole process (all threads: senders, proactor, receivers).
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One reading thread per connection; counts bytes and wakes the waiter at the target.
class Receivers {
 public:
  void Start(const std::vector<int>& fds) {
    for (int fd : fds) {
      m_threads.emplace_back([this, fd] {
        std::vector<char> buffer(256 * 1024);
        for (;;) {
          const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
          if (n <= 0) return;
          if (m_received.fetch_add(static_cast<uint64_t>(n)) + static_cast<uint64_t>(n) >= m_target.load()) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_cv.notify_all();
          }
        }
      });
    }
  }
  void Expect(uint64_t bytes) { m_target.store(m_received.load() + bytes); }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_cv.wait(lock, [this] { return m_received.load() >= m_target.load(); });
  }
  // The connections must be shut down first so the readers see the end.
  void Join() {
    for (auto& thread : m_threads) thread.join();
  }

 private:
  std::atomic<uint64_t> m_received{0};
  std::atomic<uint64_t> m_target{~0ull};
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::vector<std::thread> m_threads;
};

class Viewer : public CIOCPServerSocket {
 public:
  ~Viewer() override { Retire(); }
  int ProcessRecvBuffer() override {
    m_pRecvBuffer->Reset();
    return 1;
  }
};

struct Package : SharedReference {
  std::string bytes = std::string(kPackageSize, 'p');
};

void BM_SharedReferenceSend(benchmark::State& state) {
  const int viewers = static_cast<int>(state.range(0));
  CIOCPSocket listener;
  if (listener.Listen(0, INADDR_LOOPBACK) != 1) {
    state.SkipWithError("listen failed");
    return;
  }
  std::vector<std::unique_ptr<Viewer>> sessions;
  std::vector<int> clients;
  for (int i = 0; i < viewers; ++i) {
    sessions.push_back(std::make_unique<Viewer>());
    sessions.back()->SetListener(&listener);
    sessions.back()->SetIdleLimit(-1);
    sessions.back()->AcceptFrom();
    const int fd = Connect(PortOf(listener.GetSocket()));
    send(fd, "?", 1, 0);  // completes the accept
    clients.push_back(fd);
  }
  for (auto& session : sessions) {
    while (session->GetState() != CIOCPSocket::kConnected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Receivers receivers;
  receivers.Start(clients);
  std::vector<Package> ring(kRing);
  int next = 0;

  const double cpuBefore = ProcessCpuSeconds();
  for (auto _ : state) {
    receivers.Expect(static_cast<uint64_t>(viewers) * kPackagesPerRound * kPackageSize);
    for (int p = 0; p < kPackagesPerRound; ++p) {
      Package& package = ring[next];
      next = (next + 1) % kRing;
      package.WaitUntilUnreferenced();  // the slowest viewer is done with this slot
      for (auto& session : sessions)
        session->Send(package.bytes.data(), static_cast<int>(kPackageSize), &package);
    }
    receivers.Wait();
  }
  const double gib = static_cast<double>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize / (1u << 30);
  state.counters["cpu_s_per_GiB"] = (ProcessCpuSeconds() - cpuBefore) / gib;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize);
  state.counters["sender_threads"] = 1 + 4;  // the pushing thread plus the proactor's pool

  for (auto& package : ring) package.WaitUntilUnreferenced();
  for (auto& session : sessions) session->Retire();
  for (int fd : clients) shutdown(fd, SHUT_RDWR);
  receivers.Join();
  for (int fd : clients) close(fd);
  listener.Retire();
}

void BM_BlockingSend(benchmark::State& state) {
  const int viewers = static_cast<int>(state.range(0));
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in any = Loopback(0);
  bind(server, reinterpret_cast<const sockaddr*>(&any), sizeof(any));
  listen(server, 64);
  std::vector<int> clients;
  std::vector<int> senders;
  for (int i = 0; i < viewers; ++i) {
    clients.push_back(Connect(PortOf(server)));
    senders.push_back(accept(server, nullptr, nullptr));
  }
  Receivers receivers;
  receivers.Start(clients);
  std::vector<Package> ring(kRing);

  const double cpuBefore = ProcessCpuSeconds();
  for (auto _ : state) {
    receivers.Expect(static_cast<uint64_t>(viewers) * kPackagesPerRound * kPackageSize);
    std::vector<std::thread> threads;
    for (int fd : senders) {
      threads.emplace_back([fd, &ring] {
        for (int p = 0; p < kPackagesPerRound; ++p) {
          const std::string& bytes = ring[p % kRing].bytes;
          size_t sent = 0;
          while (sent < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
    receivers.Wait();
  }
  const double gib = static_cast<double>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize / (1u << 30);
  state.counters["cpu_s_per_GiB"] = (ProcessCpuSeconds() - cpuBefore) / gib;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize);
  state.counters["sender_threads"] = viewers;

  for (int fd : senders) shutdown(fd, SHUT_RDWR);
  receivers.Join();
  for (int fd : senders) close(fd);
  for (int fd : clients) close(fd);
  close(server);
}

BENCHMARK(BM_SharedReferenceSend)->Arg(1)->Arg(15)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockingSend)->Arg(1)->Arg(15)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
