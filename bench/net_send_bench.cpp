// One server pushing packages to N viewers: shared-reference sends through the completion
// sockets (one pushing thread plus the proactor's fixed pool) against plain blocking send
// calls of the same bytes from one thread per connection. Receivers are identical in both:
// one blocking reader per connection on loopback, in a child process (see Receivers).
//
//   net_send_bench --benchmark_counters_tabular=true
// Compare bytes_per_second of BM_SharedReferenceSend/N with BM_BlockingSend/N.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IOCPServerSocket.h"
#include "platform/completion/CompletionPort.h"

namespace {

constexpr size_t kPackageSize = size_t{64} * 1024;
constexpr int kPackagesPerRound = 64;  // 4 MiB per connection and round
constexpr int kRing = 16;              // packages in circulation, as a stream buffer keeps them

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// CPU seconds of the sending process (all its threads: senders, proactor; the receivers
// run in a child).
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

// The viewers' end: one reading thread per connection, in a child process that leads a
// session of its own. Viewers normally sit on other machines; here they share the two cores,
// and as threads of the sending process they would preempt the one pushing thread on every
// segment it hands them. In a session of their own they are a scheduling group of their own
// (autogroup), and the rusage counters of this process hold the sending side only. The
// parent sends the byte total to wait for over a pipe and gets one byte back when it arrived.
class Receivers {
 public:
  void Start(const std::vector<int>& fds) {
    int request[2] = {-1, -1};
    int reply[2] = {-1, -1};
    if (pipe2(request, O_CLOEXEC) != 0 || pipe2(reply, O_CLOEXEC) != 0) std::abort();
    m_child = fork();
    if (m_child < 0) std::abort();
    if (m_child == 0) {
      setsid();
      // Only the receiving ends and the two pipe ends stay open in the child: a copy of a
      // server socket here would keep its connection alive after the parent closed it.
      std::vector<int> keep(fds);
      keep.push_back(request[0]);
      keep.push_back(reply[1]);
      for (int fd = 3; fd < 4096; ++fd) {
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) close(fd);
      }
      RunChild(fds, request[0], reply[1]);
      _exit(0);
    }
    close(request[0]);
    close(reply[1]);
    m_request = request[1];
    m_reply = reply[0];
  }
  void Expect(uint64_t bytes) {
    m_expected += bytes;
    if (write(m_request, &m_expected, sizeof(m_expected)) != sizeof(m_expected)) std::abort();
  }
  void Wait() {
    char done = 0;
    if (read(m_reply, &done, 1) != 1) std::abort();
  }
  // The connections must be shut down first so the readers see the end.
  void Join() {
    close(m_request);
    int status = 0;
    waitpid(m_child, &status, 0);
    close(m_reply);
  }

 private:
  static void RunChild(const std::vector<int>& fds, int request, int reply) {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> target{~0ull};
    std::mutex lock;
    std::condition_variable cv;
    std::vector<std::thread> threads;
    threads.reserve(fds.size());
    for (int fd : fds) {
      threads.emplace_back([&, fd] {
        std::vector<char> buffer(size_t{256} * 1024);
        for (;;) {
          const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
          if (n <= 0) return;
          if (received.fetch_add(static_cast<uint64_t>(n)) + static_cast<uint64_t>(n) >= target.load()) {
            std::lock_guard<std::mutex> guard(lock);
            cv.notify_all();
          }
        }
      });
    }
    uint64_t total = 0;
    while (read(request, &total, sizeof(total)) == sizeof(total)) {
      {
        std::unique_lock<std::mutex> guard(lock);
        target.store(total);
        cv.wait(guard, [&] { return received.load() >= total; });
      }
      const char done = 1;
      if (write(reply, &done, 1) != 1) break;
    }
    for (auto& thread : threads) thread.join();
  }

  pid_t m_child = -1;
  int m_request = -1;
  int m_reply = -1;
  uint64_t m_expected = 0;
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
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
    receivers.Expect(static_cast<uint64_t>(viewers) * kPackagesPerRound * kPackageSize);
    for (int p = 0; p < kPackagesPerRound; ++p) {
      Package& package = ring[next];
      next = (next + 1) % kRing;
      package.WaitUntilUnreferenced();  // the slowest viewer is done with this slot
      const platform::completion::PostBatch batch;
      for (auto& session : sessions)
        session->Send(package.bytes.data(), static_cast<int>(kPackageSize), &package);
    }
    receivers.Wait();
  }
  const double gib = static_cast<double>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize / (1u << 30);
  state.counters["cpu_s_per_GiB"] = (ProcessCpuSeconds() - cpuBefore) / gib;
  state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize));
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
  if (bind(server, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0 || listen(server, 64) != 0) {
    state.SkipWithError("listen failed");
    close(server);
    return;
  }
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
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
    receivers.Expect(static_cast<uint64_t>(viewers) * kPackagesPerRound * kPackageSize);
    std::vector<std::thread> threads;
    threads.reserve(senders.size());
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
  state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * viewers * kPackagesPerRound * kPackageSize));
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
