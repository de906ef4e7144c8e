// A program that faults on demand, for the crash plug-in and the watchdog tests.
//   crash_fault_host <plug-in path | -> <mode> [trigger file]
// Modes: null, div, abort, ill (fault at once), two (two threads fault together),
// idle (a busy and an idle thread; a null write once the trigger file exists).
// Before a fault it prints "tid=<hex> fn=<hex>" (the faulting thread, its function).
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using FaultFn = void (*)();

pid_t Tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void Announce(FaultFn fn) {
  printf("tid=%x fn=%lx\n", static_cast<unsigned>(Tid()), reinterpret_cast<unsigned long>(fn));
  fflush(stdout);
}

// The faults are the point here: the sanitizers must not report them first.
__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWrite() {
  volatile int* volatile target = nullptr;
  *target = 1;
}

volatile int g_zero = 0;
volatile int g_sink = 0;
__attribute__((noinline, no_sanitize("address", "undefined"))) void DivideByZero() { g_sink = 7 / g_zero; }

__attribute__((noinline)) void IllegalInstruction() { asm volatile("ud2"); }

__attribute__((noinline)) void Abort() { abort(); }

pthread_barrier_t g_together;

void* FaultTogether(void*) {
  Announce(&NullWrite);
  pthread_barrier_wait(&g_together);
  NullWrite();
  return nullptr;
}

std::atomic<pid_t> g_busyTid{0};
std::atomic<pid_t> g_idleTid{0};

void* Busy(void*) {
  g_busyTid.store(Tid());
  for (;;) usleep(500);
}

void* Idle(void* fd) {
  g_idleTid.store(Tid());
  char byte;
  while (read(*static_cast<int*>(fd), &byte, 1) > 0) {
  }
  return nullptr;
}

void IdleThenFault(const char* trigger) {
  static int never[2];
  if (pipe(never) != 0) return;
  pthread_t busy;
  pthread_t idle;
  pthread_create(&busy, nullptr, Busy, nullptr);
  pthread_create(&idle, nullptr, Idle, &never[0]);
  while (g_busyTid.load() == 0 || g_idleTid.load() == 0) usleep(1000);
  printf("busy=%x idle=%x\nready\n", static_cast<unsigned>(g_busyTid.load()), static_cast<unsigned>(g_idleTid.load()));
  fflush(stdout);
  struct stat info {};
  while (stat(trigger, &info) != 0) usleep(20000);
  Announce(&NullWrite);
  NullWrite();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s <plug-in path | -> <null|div|abort|ill|two|idle> [trigger file]\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "-") != 0 && !dlopen(argv[1], RTLD_NOW)) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  const std::string mode = argv[2];
  const struct {
    const char* name;
    FaultFn fn;
  } kFaults[] = {{"null", NullWrite}, {"div", DivideByZero}, {"abort", Abort}, {"ill", IllegalInstruction}};
  for (const auto& fault : kFaults) {
    if (mode == fault.name) {
      Announce(fault.fn);
      fault.fn();
    }
  }
  if (mode == "two") {
    pthread_barrier_init(&g_together, nullptr, 2);
    pthread_t first;
    pthread_t second;
    pthread_create(&first, nullptr, FaultTogether, nullptr);
    pthread_create(&second, nullptr, FaultTogether, nullptr);
    pthread_join(first, nullptr);
    pthread_join(second, nullptr);
  } else if (mode == "idle" && argc > 3) {
    IdleThenFault(argv[3]);
  }
  return 3;  // no fault happened
}
