#include "crash/plugin/CrashHandler.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "crash/plugin/DumpCache.h"
#include "crash/plugin/DumpCommand.h"
#include "crash/plugin/ExceptionCode.h"

extern char** environ;

namespace crashkit {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSlots = 8;
constexpr long long kHandlerWaitMs = 180000;
constexpr unsigned kKeepAliveSeconds = 60;
constexpr uint32_t kWaitTimedOut = 258;
constexpr size_t kAltStackSize = 64 * 1024;

struct FaultSlot {
  std::atomic<int> claimed{0};
  std::atomic<bool> ready{false};  // its handler thread runs
  std::atomic<uint32_t> posted{0};  // futex word: the slot's thread has a fault to report
  std::atomic<uint32_t> done{0};  // futex word
  std::atomic<pid_t> handlerTid{0};
  FaultContext fault;
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

char g_toolDir[PATH_MAX];
std::atomic<int> g_activeHandlers{0};
pthread_mutex_t g_spawnLock = PTHREAD_MUTEX_INITIALIZER;
pid_t g_installedPid = 0;  // a forked child has no handler threads
FaultSlot g_slots[kSlots];
alignas(16) char g_altStack[kAltStackSize];

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void WriteAll(const char* text, size_t length) {
  while (length > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void WriteDecimal(uint32_t value) {
  char text[12];
  size_t at = sizeof text;
  do {
    text[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  WriteAll(text + at, sizeof text - at);
}

long long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

uint32_t* FutexWord(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// 0 when the handler thread ended, the "timed out" result when it did not in time.
uint32_t WaitForHandler(FaultSlot& slot) {
  const long long start = MonotonicMs();
  while (slot.done.load() == 0) {
    const long long left = kHandlerWaitMs - (MonotonicMs() - start);
    if (left <= 0) return kWaitTimedOut;
    const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    syscall(SYS_futex, FutexWord(slot.done), FUTEX_WAIT_PRIVATE, 0u, &wait, nullptr, 0);
  }
  return 0;
}

// A fault on one of our own threads must not wait for itself.
bool IsOwnThread(pid_t tid) {
  for (FaultSlot& slot : g_slots) {
    if (slot.handlerTid.load() == tid) return true;
  }
  return false;
}

FaultSlot* ClaimSlot() {
  for (FaultSlot& slot : g_slots) {
    int expected = 0;
    if (slot.ready.load() && slot.claimed.compare_exchange_strong(expected, 1)) return &slot;
  }
  return nullptr;
}

void CopyRegisters(const void* context, FaultContext& fault) {
  const greg_t* g = static_cast<const ucontext_t*>(context)->uc_mcontext.gregs;
  const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI, REG_RBP, REG_RIP, REG_RSP};
  for (int i = 0; i < 9; ++i) fault.regs[i] = static_cast<uint64_t>(g[order[i]]);
}

void CrashSignalHandler(int signo, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const pid_t tid = CurrentTid();
  FaultSlot* slot = IsOwnThread(tid) || getpid() != g_installedPid ? nullptr : ClaimSlot();
  if (slot) {
    slot->fault.pid = getpid();
    slot->fault.tid = tid;
    slot->fault.code = ExceptionCodeFor(signo, info ? info->si_code : 0);
    CopyRegisters(context, slot->fault);
    // Counted from the fault on, so that a handler that finishes first keeps the process
    // alive for one whose thread has not been woken yet.
    g_activeHandlers.fetch_add(1);
    slot->posted.store(1);
    syscall(SYS_futex, FutexWord(slot->posted), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    WriteDecimal(WaitForHandler(*slot));
  }
  // The fault's own signal ends the process, so that its parent sees what happened: the
  // default action is back, and the signal, blocked while this handler runs, is taken on
  // return.
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigaction(signo, &byDefault, nullptr);
  syscall(SYS_tgkill, getpid(), tid, signo);
  errno = savedErrno;
}

// The script beside the library, else "../DebugTools/Crashkit.sh", which then stays the
// tool directory for every later fault. Called under the spawn lock.
void LocateScript(char* script, size_t size) {
  snprintf(script, size, "%s/Crashkit.sh", g_toolDir);
  const int fd = open(script, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return;
  }
  char fallbackDir[PATH_MAX];
  const char* slash = strrchr(g_toolDir, '/');
  const int parentLength = slash ? static_cast<int>(slash - g_toolDir) : 0;
  snprintf(fallbackDir, sizeof fallbackDir, "%.*s/DebugTools", parentLength, g_toolDir);
  char fallback[PATH_MAX + 16];
  snprintf(fallback, sizeof fallback, "%s/Crashkit.sh", fallbackDir);
  if (access(fallback, F_OK) == 0) {
    snprintf(g_toolDir, sizeof g_toolDir, "%s", fallbackDir);
    snprintf(script, size, "%s", fallback);
  }
}

void RunShell(const char* command) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signo : kFatalSignals) sigaddset(&defaults, signo);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char sh[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, "/bin/sh", nullptr, &attr, argv, environ) == 0) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawnattr_destroy(&attr);
}

// One thread per slot, started with the handler and waiting for its fault: a fault may come
// while the faulting thread holds the dynamic loader's lock (inside dlopen), and creating a
// thread then would wait for that lock for good.
void* DumpThreadProc(void* argument) {
  FaultSlot& slot = *static_cast<FaultSlot*>(argument);
  slot.handlerTid.store(CurrentTid());
  while (slot.posted.load() == 0)
    syscall(SYS_futex, FutexWord(slot.posted), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr, 0);
  {
    pthread_mutex_lock(&g_spawnLock);
    char script[PATH_MAX + 16];
    LocateScript(script, sizeof script);
    char command[kDumpCommandSize];
    FormatDumpCommand(command, sizeof command, script, slot.fault);
    char line[kDumpCommandSize + 64];
    const int length = snprintf(line, sizeof line, "exception cache(tid=%d, errCode=%x)\n%s\n",
                                static_cast<int>(CurrentTid()), slot.fault.code, command);
    if (length > 0) WriteAll(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    if (chdir(g_toolDir) == 0 || g_toolDir[0] == '\0') RunShell(command);
    pthread_mutex_unlock(&g_spawnLock);
  }
  if (g_activeHandlers.fetch_sub(1) - 1 > 0) sleep(kKeepAliveSeconds);
  slot.done.store(1);
  syscall(SYS_futex, FutexWord(slot.done), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  return nullptr;
}

bool InstallHandler() {
  g_installedPid = getpid();
  // The handler threads take no signal: a fatal signal sent from outside must reach a
  // thread that can report it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int started = 0;
  for (FaultSlot& slot : g_slots) {
    pthread_t thread;
    if (pthread_create(&thread, &attr, DumpThreadProc, &slot) != 0) break;
    pthread_setname_np(thread, "tCrashkit");
    slot.ready.store(true);
    ++started;
  }
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started == 0) return false;

  // A stack overflow on the loading thread still reaches the handler. Another runtime's
  // alternate stack (a sanitizer's) is kept.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t ours{};
    ours.ss_sp = g_altStack;
    ours.ss_size = sizeof g_altStack;
    sigaltstack(&ours, nullptr);
  }
  struct sigaction action {};
  action.sa_sigaction = CrashSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signo : kFatalSignals) sigaction(signo, &action, nullptr);
  return true;
}

}  // namespace

bool StartUp(const char* libraryPath) {
  snprintf(g_toolDir, sizeof g_toolDir, "%s", libraryPath);
  g_activeHandlers.store(0);
  char* slash = strrchr(g_toolDir, '/');
  if (!slash) {
    g_toolDir[0] = '\0';
    return false;
  }
  *slash = '\0';
  ClearDumpCache(g_toolDir);
  return InstallHandler();
}

const char* ToolDirectory() { return g_toolDir; }

}  // namespace crashkit
