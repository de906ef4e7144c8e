// A program that faults on demand, for the crash plug-in and the watchdog tests.
//   crash_fault_host <plug-in path | -> <null|div|abort|ill|two|idle> [trigger file]
// "two": two threads fault together; "idle": a busy and an idle thread, then a null write
// once the trigger file exists. Before a fault it prints "tid=<hex> fn=<hex>".
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using FaultFn = void (*)();

unsigned Tid() { return static_cast<unsigned>(syscall(SYS_gettid)); }
void Announce(FaultFn fn) { printf("tid=%x fn=%lx\n", Tid(), reinterpret_cast<unsigned long>(fn)); }

// The faults are the point here: the sanitizers must not report them first.
__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWrite() {
  volatile int* volatile target = nullptr;
  *target = 1;
}

volatile int g_zero = 0, g_sink = 0;
__attribute__((noinline, no_sanitize("address", "undefined"))) void DivideByZero() { g_sink = 7 / g_zero; }
__attribute__((noinline)) void IllegalInstruction() { asm volatile("ud2"); }
__attribute__((noinline)) void Abort() { abort(); }

pthread_barrier_t g_together;
std::atomic<unsigned> g_tids[2];  // busy, idle

void* FaultTogether(void*) {
  Announce(&NullWrite);
  pthread_barrier_wait(&g_together);
  NullWrite();
  return nullptr;
}

// Slot 0 wakes every half millisecond; slot 1 blocks for good.
void* BusyOrIdle(void* slot) {
  const bool busy = slot == nullptr;
  g_tids[busy ? 0 : 1].store(Tid());
  for (;;) busy ? usleep(500) : pause();
}

void StartThreads(void* (*fn)(void*), void* second) {
  pthread_t thread;
  pthread_create(&thread, nullptr, fn, nullptr);
  pthread_create(&thread, nullptr, fn, second);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::string(argv[1]) != "-" && !dlopen(argv[1], RTLD_NOW))) return 2;
  setvbuf(stdout, nullptr, _IONBF, 0);  // each line out before a fault
  const std::string mode = argv[2];
  for (const auto& [name, fn] : {std::pair<std::string, FaultFn>{"null", NullWrite}, {"div", DivideByZero},
                                 {"abort", Abort}, {"ill", IllegalInstruction}})
    if (mode == name) { Announce(fn); fn(); }
  if (mode == "two") {
    pthread_barrier_init(&g_together, nullptr, 2);
    StartThreads(FaultTogether, nullptr);
    pause();
  } else if (mode == "idle" && argc > 3) {
    StartThreads(BusyOrIdle, &g_tids);
    while (g_tids[0].load() == 0 || g_tids[1].load() == 0) usleep(1000);
    printf("busy=%x idle=%x\nready\n", g_tids[0].load(), g_tids[1].load());
    for (struct stat info {}; stat(argv[3], &info) != 0;) usleep(20000);
    Announce(&NullWrite);
    NullWrite();
  }
  return 3;  // no fault happened
}
